// Every dialog and message box the window opens goes through this interface,
// so the tests can answer them. QtShellDialogs is the real one.
#pragma once

#include <stdexcept>
#include <string>

#include <QString>

class QWidget;

namespace shell {

// A failure of the file-open dialog, as number and description.
struct DialogError : std::runtime_error {
    DialogError(int number, const std::string& description) : std::runtime_error(description), number(number) {}
    int number;
};

// The dialog raises this when the picked names do not fit in its answer.
inline constexpr int kTooManyFilesError = 20476;

class ShellDialogs {
public:
    virtual ~ShellDialogs() = default;

    // The multi-select file-open dialog with the given filter ("Name
    // (patterns)|patterns|..."). The answer is "" when cancelled, one full
    // path, or the folder and the picked names, each ended by a NUL.
    // Throws DialogError.
    virtual std::string openFiles(QWidget* owner, const std::string& filter) = 0;
    // The folder-only dialog; "" when cancelled.
    virtual std::string browseForFolder(QWidget* owner, const std::string& title) = 0;
    // A modal message box; returns AnswerOk, AnswerYes or AnswerNo.
    virtual int message(QWidget* owner, const std::string& text, const std::string& title, int style) = 0;
    // Opens a document or address with its associated program.
    virtual void openDocument(const std::string& target) = 0;
};

// A "Name (patterns)|patterns|..." filter as Qt's file dialog wants it:
// "Name (patterns);;...". Off Windows "*.*" becomes "*", every file.
QString QtNameFilters(const std::string& filter);

class QtShellDialogs : public ShellDialogs {
public:
    std::string openFiles(QWidget* owner, const std::string& filter) override;
    std::string browseForFolder(QWidget* owner, const std::string& title) override;
    int message(QWidget* owner, const std::string& text, const std::string& title, int style) override;
    void openDocument(const std::string& target) override;
};

}  // namespace shell
