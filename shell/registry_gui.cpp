#include "shell/registry_gui.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QUrl>

#include "conversion/RunView.h"

std::string BrowseForFolder(QWidget* owner, const std::string& title) {
    QString folder = QFileDialog::getExistingDirectory(
        owner, QString::fromStdString(title), QString(),
        QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    if (folder.isEmpty()) return std::string();
    folder = QDir::toNativeSeparators(QDir::cleanPath(folder));
    return folder.toStdString();
}

void OpenDocument(const std::string& text) {
    if (text.empty()) return;
    QString target = QString::fromStdString(text);
    QUrl url(target, QUrl::StrictMode);
    // A bare path (or a Windows drive letter, which parses as a scheme) is a file.
    if (!url.isValid() || url.scheme().size() < 2) url = QUrl::fromLocalFile(target);
    QDesktopServices::openUrl(url);
}

int ShowMessageBox(QWidget* owner, const std::string& text, const std::string& title, int style) {
    QMessageBox box(owner);
    box.setWindowTitle(QString::fromStdString(title));
    // Our texts break lines with CR LF; the box wants bare line feeds.
    box.setText(QString::fromStdString(text).replace(QLatin1String("\r\n"), QLatin1String("\n")));
    switch (style) {
    case conversion::StyleQuestion:
        box.setIcon(QMessageBox::Question);
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::Yes);
        break;
    case conversion::StyleExclamation:
        box.setIcon(QMessageBox::Warning);
        break;
    case conversion::StyleInformation:
        box.setIcon(QMessageBox::Information);
        break;
    default:
        box.setIcon(QMessageBox::NoIcon);
        break;
    }
    if (style != conversion::StyleQuestion) box.setStandardButtons(QMessageBox::Ok);
    int answer = box.exec();
    if (answer == QMessageBox::Yes) return AnswerYes;
    if (answer == QMessageBox::No) return AnswerNo;
    return AnswerOk;
}
