// What the conversion run needs of the window that drives it. The window, the
// command-line converter and the tests each give the run one of these, so all
// of them drive the same code.
#pragma once

#include <string>

namespace conversion {

// Message box styles in use.
enum MessageStyle : int {
    StylePlain = 0,         // OK, no icon
    StyleQuestion = 36,     // question icon, Yes and No
    StyleExclamation = 48,  // exclamation icon, OK
    StyleInformation = 64,  // information icon, OK
};

class RunView {
public:
    virtual ~RunView() = default;

    // The folder dialog; "" when the user cancels.
    virtual std::string browseForFolder(const std::string& title) = 0;

    virtual void setConvertEnabled(bool enabled) = 0;
    // Sets OptEML, OptEMLX, OptPST and OptMSG to unselected, in that order.
    virtual void clearTargetForm() = 0;

    // The grid's current row follows the run.
    virtual void setCurrentRow(int row) = 0;
    virtual void setMailboxCaption(const std::string& text) = 0;     // LblProgessCurrent
    virtual void setSourceFileCaption(const std::string& text) = 0;  // LblIMMFile
    virtual void setProgressCaption(const std::string& text) = 0;    // LblProgress

    // A modal message box.
    virtual void showMessage(const std::string& text, const std::string& title, int style) = 0;

    // Lets the window handle its events. Called often (before every line in
    // line mode): the view decides how often it really pumps, so a call must
    // be cheap when it does not.
    virtual void yield() = 0;

    // True once the window has been closed: the run stops at the next yield,
    // finishing any open store first.
    virtual bool stopRequested() const { return false; }

    // One failure, as it happens (the command line names each on stderr).
    virtual void noteFailure(const std::string& path, const std::string& cause) {
        (void)path;
        (void)cause;
    }
    // One message written (the command line's progress line).
    virtual void noteMessageSaved(int mailboxIndex, int mailboxCount, long long totalSaved) {
        (void)mailboxIndex;
        (void)mailboxCount;
        (void)totalSaved;
    }
};

}  // namespace conversion
