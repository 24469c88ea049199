#include "shell/ShellDialogs.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QStringList>

#include "shell/registry_gui.h"
#include "sources/AddFiles.h"

namespace shell {

// "Vellary Files (*.*)|*.*|MBOX Files (...)|*.mbox;*.mbx" as Qt's name filters:
// each description with its patterns in brackets, separated by ";;".
QString QtNameFilters(const std::string& filter) {
    QStringList parts = QString::fromStdString(filter).split('|');
    QStringList filters;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        QString description = parts[i];
        int bracket = description.indexOf('(');
        if (bracket >= 0) description = description.left(bracket).trimmed();
        QString patterns = parts[i + 1];
        patterns.replace(';', ' ');
#ifndef _WIN32
        // "*.*" means every file on Windows; here it would skip names without a dot.
        if (patterns == QLatin1String("*.*")) patterns = QStringLiteral("*");
#endif
        filters << QStringLiteral("%1 (%2)").arg(description, patterns);
    }
    return filters.join(QStringLiteral(";;"));
}

std::string QtShellDialogs::openFiles(QWidget* owner, const std::string& filter) {
    QStringList picked = QFileDialog::getOpenFileNames(owner, QString(), QString(), QtNameFilters(filter));
    if (picked.isEmpty()) return std::string();
    if (picked.size() > sources::kMaxFilesAtATime) throw DialogError(kTooManyFilesError, "too many files picked");
    if (picked.size() == 1) return QDir::toNativeSeparators(picked.front()).toStdString();

    // Several files: the folder, then the names, each ended by a NUL. The
    // dialog picks within one folder; a name from elsewhere is given relative
    // to it, so folder, separator and name still make its path.
    QDir folder = QFileInfo(picked.front()).absoluteDir();
    std::string answer = QDir::toNativeSeparators(folder.absolutePath()).toStdString();
    answer.push_back('\0');
    for (const QString& path : picked) {
        answer += QDir::toNativeSeparators(folder.relativeFilePath(path)).toStdString();
        answer.push_back('\0');
    }
    return answer;
}

std::string QtShellDialogs::browseForFolder(QWidget* owner, const std::string& title) {
    return BrowseForFolder(owner, title);
}

int QtShellDialogs::message(QWidget* owner, const std::string& text, const std::string& title, int style) {
    return ShowMessageBox(owner, text, title, style);
}

void QtShellDialogs::openDocument(const std::string& target) { OpenDocument(target); }

}  // namespace shell
