#include "conversion/ConversionRun.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include "common/modMain.h"
#include "common/registry.h"
#include "conversion/MailMessage.h"
#include "conversion/Splitter.h"

namespace conversion {

const char* const kAppTitle = "Osmark Vellary Converter";
const char* const kAsterisks =
    "***************************************************************************";

namespace {

constexpr const char* kCRLF = "\r\n";
constexpr size_t kFailuresShown = 5;

#ifdef _WIN32
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';
#endif

// Thrown from a yield once the window has been closed: the run unwinds at once.
struct StopRun {};

// Lets the window handle its events; unwinds the run once the window is closed.
void yieldTo(RunView& view) {
    view.yield();
    if (view.stopRequested()) throw StopRun{};
}

std::string errnoText(int e) { return std::strerror(e); }

// Writes the message text and one CR LF into a new file (an existing one is
// replaced). False, with `error`, when the file cannot be written whole.
//
// An existing file is overwritten and then cut to length rather than opened
// with O_TRUNC: ext4 flushes a file emptied by truncation to disk when it is
// closed, which would make every replaced or reused file a synchronous write.
bool writeMessageFile(const std::string& path, std::string_view text, std::string* error) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = errnoText(errno);
        return false;
    }
    iovec parts[2] = {{const_cast<char*>(text.data()), text.size()},
                      {const_cast<char*>(kCRLF), 2}};
    int first = 0;
    while (first < 2) {
        ssize_t n = ::writev(fd, parts + first, 2 - first);
        if (n < 0) {
            if (errno == EINTR) continue;
            *error = errnoText(errno);
            ::close(fd);
            ::unlink(path.c_str());  // a cut-off message file is no result
            return false;
        }
        size_t done = size_t(n);
        while (first < 2 && done >= parts[first].iov_len) {
            done -= parts[first].iov_len;
            ++first;
        }
        if (first < 2) {
            parts[first].iov_base = static_cast<char*>(parts[first].iov_base) + done;
            parts[first].iov_len -= done;
        }
    }
    if (::ftruncate(fd, off_t(text.size() + 2)) != 0) {
        *error = errnoText(errno);
        ::close(fd);
        ::unlink(path.c_str());
        return false;
    }
    if (::close(fd) != 0) {
        *error = errnoText(errno);
        ::unlink(path.c_str());
        return false;
    }
    return true;
}

}  // namespace

std::string CompletionText() {
    return std::string(kAsterisks) + kCRLF + "Your messages from Vellary files has been successfully exported." +
           kCRLF + kAsterisks + kCRLF;
}

std::string PstCompletionText() {
    return std::string(kAsterisks) + kCRLF +
           "Your messages from Vellary files has been successfully exported to Outlook (.pst) file." + kCRLF +
           kAsterisks + kCRLF +
           "Start Outlook and open converted pst file by clicking File -> Open -> Outlook Data File. And it all done !";
}

std::string StoreFailureText() {
    return std::string("Outlook Session Creation Error !") + kCRLF +
           "Check if Outlook is installed and configured." + kCRLF +
           "If Outlook 2010 (64 Bit) is installed, then please try to re-install it as Outlook 2010 (32 Bit)." +
           kCRLF + "For more details visit this link : " +
           "https://support.microsoft.com/en-us/office/"
           "choose-between-the-64-bit-or-32-bit-version-of-office-2dee7807-8f95-4d0c-b5fe-6c6f49b8d261";
}

std::string FailureSummary(const RunOutcome& o) {
    auto plural = [](long long n, const char* one, const char* many) {
        return std::to_string(n) + " " + (n == 1 ? one : many);
    };
    std::string text = "Not converted: " + plural(o.mailboxesFailed, "mailbox", "mailboxes") + ", " +
                       plural(o.messagesFailed, "message", "messages") + ".";
    size_t shown = 0;
    for (const auto& f : o.failures) {
        if (shown == kFailuresShown) break;
        text += kCRLF + f.path + ": " + f.cause;
        ++shown;
    }
    if (o.failures.size() > shown)
        text += std::string(kCRLF) + "... and " + std::to_string(o.failures.size() - shown) + " more.";
    return text;
}

// ---- one mailbox -----------------------------------------------------------

namespace {

// Receives the messages of one mailbox from the splitter and writes them out.
class MessageWriter : public SplitterSink {
public:
    MessageWriter(RunView& view, TargetForm form, StoreSteps* steps, RunOutcome& outcome,
                  std::string mailboxFolder, std::string mailboxName, int row, int rowCount,
                  void (*fail)(void*, const std::string&, const std::string&), void* failContext)
        : view_(view), form_(form), steps_(steps), outcome_(outcome),
          mailboxFolder_(std::move(mailboxFolder)), mailboxName_(std::move(mailboxName)), row_(row),
          rowCount_(rowCount), fail_(fail), failContext_(failContext),
          spareFile_(mailboxFolder_ + kSeparator + ".vellary-spare.eml") {}

    ~MessageWriter() override {
        if (haveSpare_) ::unlink(spareFile_.c_str());
    }

    void yield() override { yieldTo(view_); }

    // Writes one message file "email-" n ".eml" (or ".emlx"), and for the two
    // Outlook forms hands it to the store.
    void emitMessage(std::string_view text, int n, LineMode mode) override {
        const bool lineMode = mode == LineMode::Normal;
        const char* extension = form_ == TargetForm::Emlx ? ".emlx" : ".eml";
        std::string messageFile = mailboxFolder_ + kSeparator + "email-" + std::to_string(n) + extension;
        std::string error;
        if (haveSpare_) {
            // The last message file's inode, put aside when it was done with,
            // becomes this one's (see retire()).
            if (::rename(spareFile_.c_str(), messageFile.c_str()) != 0) ::unlink(spareFile_.c_str());
            haveSpare_ = false;
        }
        bool written = writeMessageFile(messageFile, text, &error);
        if (!written) fail_(failContext_, messageFile, error);
        if (lineMode) {
            yield();
            if (written) {
                MailMessage messageObject;
                if (messageObject.Load(messageFile)) messageObject.Save(messageFile);
            }
            view_.setProgressCaption("Saved " + std::to_string(n) + " Email Messages...");
        }
        bool stored = written;
        if (written && steps_ && (form_ == TargetForm::Pst || form_ == TargetForm::Msg)) {
            stored = steps_->importMessage(messageFile, mailboxName_, mailboxFolder_, n, &error);
            // A message that did not make it keeps its file, the only copy
            // left, and the failure report names it.
            if (stored)
                retire(messageFile);
            else
                fail_(failContext_, messageFile, error);
        }
        if (stored) {
            ++outcome_.messagesSaved;
            view_.noteMessageSaved(row_, rowCount_, outcome_.messagesSaved);
        }
        if (!lineMode) {
            yield();
            view_.setProgressCaption("Saved " + std::to_string(n) + " Email Messages...");
        }
    }

private:
    // Deletes a temporary message file. On a file system without a journal,
    // making a new file right after deleting one costs a scan past every
    // recently freed inode, so a run that made and deleted one file per
    // message would slow down with every message. The file is renamed to a
    // hidden spare name instead, and the next message file takes over its
    // inode; the spare is deleted when the mailbox is done.
    void retire(const std::string& messageFile) {
        if (::rename(messageFile.c_str(), spareFile_.c_str()) == 0)
            haveSpare_ = true;
        else
            ::unlink(messageFile.c_str());
    }

    RunView& view_;
    TargetForm form_;
    StoreSteps* steps_;
    RunOutcome& outcome_;
    std::string mailboxFolder_;
    std::string mailboxName_;
    int row_;
    int rowCount_;
    void (*fail_)(void*, const std::string&, const std::string&);
    void* failContext_;
    std::string spareFile_;
    bool haveSpare_ = false;
};

void yieldThrough(void* context) {
    auto* view = static_cast<RunView*>(context);
    view->yield();
}

}  // namespace

// ---- the run ---------------------------------------------------------------

ConversionRun::ConversionRun(RunView& view, RunRequest request)
    : view_(view), request_(std::move(request)) {}

ConversionRun::~ConversionRun() = default;

void ConversionRun::fail(const std::string& path, const std::string& cause, bool mailbox) {
    if (mailbox)
        ++outcome_.mailboxesFailed;
    else
        ++outcome_.messagesFailed;
    outcome_.failures.push_back({path, cause});
    view_.noteFailure(path, cause);
}

RunOutcome ConversionRun::execute() {
    outcome_ = RunOutcome{};
    if (request_.form == TargetForm::None) {
        view_.showMessage("Please select a option to convert file(s).", kAppTitle, StyleInformation);
        return outcome_;
    }
    std::string outputFolder = view_.browseForFolder("Choose Folder to Save...");
    if (outputFolder.empty()) return outcome_;
    if (outputFolder.back() != kSeparator) outputFolder += kSeparator;
    outcome_.started = true;

    const bool storeForm = request_.form == TargetForm::Pst || request_.form == TargetForm::Msg;
    auto endWithStoreFailure = [&] {
        outcome_.storeFailure = true;
        std::string text = StoreFailureText();
        if (steps_ && !steps_->failure().empty()) {
            // What our store library met, so the user can mend it.
            text += std::string(kCRLF) + kCRLF + steps_->failure();
            view_.noteFailure("store", steps_->failure());
        }
        view_.showMessage(text, "Outlook Error", StyleInformation);
        view_.setConvertEnabled(true);
        view_.clearTargetForm();
        return outcome_;
    };

    try {
        yieldTo(view_);
        view_.setConvertEnabled(false);

        if (storeForm) {
            steps_ = MakeStoreSteps(request_.form, request_.singleStore, yieldThrough, &view_);
            if (steps_ && !steps_->openRunStore(outputFolder)) return endWithStoreFailure();
        }

        // A list with no rows still has its one empty row.
        std::vector<std::string> rows = request_.rows;
        if (rows.empty()) rows.push_back("");
        const int rowCount = int(rows.size());
        for (int i = 0; i < rowCount; ++i) {
            view_.setCurrentRow(i);
            yieldTo(view_);
            view_.setMailboxCaption("Mailbox " + std::to_string(i + 1) + " (of " + std::to_string(rowCount) + ") ");
            if (!convertRow(i, rowCount, rows[i], outputFolder)) return endWithStoreFailure();
        }

        if (steps_) steps_->closeRunStore();
    } catch (const StopRun&) {
        // The window is closing: whatever store is open is finished so its
        // file stays whole; nothing more is shown.
        if (steps_) steps_->abandon();
        outcome_.stopped = true;
        return outcome_;
    }
    steps_.reset();

    const bool failed = outcome_.mailboxesFailed > 0 || outcome_.messagesFailed > 0;
    const int style = failed ? StyleExclamation : StyleInformation;
    std::string text = request_.form == TargetForm::Pst ? PstCompletionText() : CompletionText();
    if (failed) {
        if (request_.form == TargetForm::Pst) text += kCRLF;
        text += FailureSummary(outcome_);
    }
    view_.showMessage(text, kAppTitle, style);
    view_.setConvertEnabled(true);
    view_.clearTargetForm();
    return outcome_;
}

bool ConversionRun::convertRow(int row, int rowCount, const std::string& rowText, const std::string& outputFolder) {
    const std::string sourcePath = NormaliseSourcePath(rowText);
    const std::string mailboxFolder = outputFolder + PathWithoutRoot(sourcePath);
    const std::string sourceFileName = FileNameOfPath(sourcePath);
    const std::string mailboxName =
        ReplaceAll(TrimBlanks(ReplaceAll(TrimBlanks(sourceFileName), ".mbox", "")), ".MBOX", "");
    view_.setSourceFileCaption(sourceFileName);

    if (steps_) {
        if (!steps_->openMailboxStore(outputFolder, mailboxName)) return false;
        steps_->addMailboxFolder(mailboxName);
    }
    view_.setSourceFileCaption(sourceFileName);
    yieldTo(view_);

    auto closeMailbox = [&] {
        yieldTo(view_);
        if (steps_) steps_->closeMailboxStore();
    };

    // An empty row (the empty list) has nothing to read and is no failure.
    if (sourcePath.empty()) {
        closeMailbox();
        return true;
    }

    std::string error;
    if (!EnsureFolderPath(mailboxFolder, &error)) {
        fail(mailboxFolder, "cannot create the folder: " + error, true);
        closeMailbox();
        return true;
    }
    yieldTo(view_);

    // Opened and read once, so a pipe loses nothing to the probe.
    MailboxSource source;
    if (!source.open(sourcePath, &error)) {
        fail(sourcePath, error, true);
        closeMailbox();
        return true;
    }
    MessageWriter writer(
        view_, request_.form, steps_.get(), outcome_, mailboxFolder, mailboxName, row, rowCount,
        [](void* self, const std::string& path, const std::string& cause) {
            static_cast<ConversionRun*>(self)->fail(path, cause, false);
        },
        this);
    MailboxSplitter splitter(writer);
    bool readOk = false;
    try {
        readOk = splitter.split(source, &error);
    } catch (const std::bad_alloc&) {
        error = "cannot read the mailbox: out of memory";
    }
    if (!readOk) fail(sourcePath, error, true);
    closeMailbox();
    return true;
}

}  // namespace conversion
