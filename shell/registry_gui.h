// The window-system half of the `registry` helpers: the folder picker, the
// opening of a document with its associated program, and the modal message
// box. Shell layer; the widget-free helpers live in common/registry.h.
#pragma once

#include <string>

#include <QFileDialog>

class QWidget;

// A folder-only dialog over `owner` with `title`; the chosen folder's path
// without a trailing separator (except a root), or "" when cancelled.
std::string BrowseForFolder(QWidget* owner, const std::string& title);

// The dialog BrowseForFolder shows. It opens at the desktop (the home folder
// when there is no desktop folder), never at the folder last used, and its
// Choose button takes nothing while the folder field is empty: a quick Enter
// would otherwise pick whatever folder the dialog happens to show.
class FolderDialog : public QFileDialog {
public:
    FolderDialog(QWidget* owner, const QString& title);
    void accept() override;
    // Where the dialog opens.
    static QString startFolder();
};

// Opens a document, folder or web address with its associated program,
// without waiting; "" does nothing and failures are not reported. A text that
// is not a URL is taken as a local path.
void OpenDocument(const std::string& text);

// Answers of ShowMessageBox.
enum MessageAnswer : int { AnswerOk = 1, AnswerYes = 6, AnswerNo = 7 };

// A modal message box over `owner`. `style` is one of conversion::MessageStyle:
// 0 OK, 36 question with Yes (default) and No, 48 exclamation with OK, 64
// information with OK.
int ShowMessageBox(QWidget* owner, const std::string& text, const std::string& title, int style);
