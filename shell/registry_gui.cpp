#include "shell/registry_gui.h"

#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QStandardPaths>
#include <QMessageBox>
#include <QUrl>

#include "conversion/RunView.h"

FolderDialog::FolderDialog(QWidget* owner, const QString& title) : QFileDialog(owner, title, startFolder()) {
    setFileMode(QFileDialog::Directory);
    // Our own dialog, so the empty-field rule holds on every platform.
    setOptions(QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks | QFileDialog::DontUseNativeDialog);
    // The dialog re-enables its Choose button as it updates; an empty field
    // disables it again after each of those updates.
    if (auto* field = findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) {
        auto update = [this, field] {
            if (auto* box = findChild<QDialogButtonBox*>(QStringLiteral("buttonBox")))
                if (QPushButton* choose = box->button(QDialogButtonBox::Open))
                    if (field->text().trimmed().isEmpty()) choose->setEnabled(false);
        };
        connect(field, &QLineEdit::textChanged, this, update);
        connect(this, &QFileDialog::directoryEntered, this, update);
        update();
    }
}

void FolderDialog::accept() {
    auto* field = findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    if (field && field->text().trimmed().isEmpty()) return;  // stays open
    QFileDialog::accept();
}

QString FolderDialog::startFolder() {
    QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    if (!desktop.isEmpty() && QFileInfo(desktop).isDir()) return desktop;
    return QDir::homePath();
}

std::string BrowseForFolder(QWidget* owner, const std::string& title) {
    FolderDialog dialog(owner, QString::fromStdString(title));
    if (dialog.exec() != QDialog::Accepted) return std::string();
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty() || chosen.front().isEmpty()) return std::string();
    return QDir::toNativeSeparators(QDir::cleanPath(chosen.front())).toStdString();
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
        case conversion::StyleExclamation: box.setIcon(QMessageBox::Warning); break;
        case conversion::StyleInformation: box.setIcon(QMessageBox::Information); break;
        default: box.setIcon(QMessageBox::NoIcon); break;
    }
    if (style != conversion::StyleQuestion) box.setStandardButtons(QMessageBox::Ok);
    int answer = box.exec();
    if (answer == QMessageBox::Yes) return AnswerYes;
    if (answer == QMessageBox::No) return AnswerNo;
    return AnswerOk;
}
