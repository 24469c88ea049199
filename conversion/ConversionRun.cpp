#include "conversion/ConversionRun.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>

#include "common/OutputFiles.h"
#include "common/Platform.h"
#include "common/registry.h"
#include "conversion/MailMessage.h"
#include "conversion/ReadAhead.h"
#include "conversion/Splitter.h"

namespace conversion {

const char* const kAppTitle = "Osmark Vellary Converter";
const char* const kNoMessagesFound = "no messages found";
const char* const kAsterisks = "***************************************************************************";

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

// Writes the message text and one CR LF at the start of an open file and
// cuts the file to that length. False, with `error`, when it is not written
// whole.
//
// An existing file is overwritten and then cut to length rather than opened
// with O_TRUNC: ext4 flushes a file emptied by truncation to disk when it is
// closed, which would make every replaced or reused file a synchronous write.
bool writeMessageText(int fd, std::string_view text, std::string* error) {
    if (RewindFile(fd) != 0) {
        *error = errnoText(errno);
        return false;
    }
    iovec parts[2] = {{const_cast<char*>(text.data()), text.size()}, {const_cast<char*>(kCRLF), 2}};
    int first = 0;
    while (first < 2) {
        ssize_t n = WriteGather(fd, parts + first, 2 - first);
        if (n < 0) {
            if (errno == EINTR) continue;
            *error = errnoText(errno);
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
    if (SetFileLength(fd, text.size() + 2) != 0) {
        *error = errnoText(errno);
        return false;
    }
    return true;
}

// Writes one message file `name` in `folder` (an existing regular file is
// replaced; a link there is refused, not followed).
bool writeMessageFile(const FolderHandle& folder, const std::string& name, std::string_view text, std::string* error) {
    int fd = OpenOutputFile(folder, name, OutputOpen::Replace, error);
    if (fd < 0) return false;
    bool ok = writeMessageText(fd, text, error);
    if (CloseFile(fd) != 0 && ok) {
        *error = errnoText(errno);
        ok = false;
    }
    if (!ok) RemoveFileIn(folder, name);  // a cut-off message file is no result
    return ok;
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
    return std::string("Outlook Session Creation Error !") + kCRLF + "Check if Outlook is installed and configured." +
           kCRLF + "If Outlook 2010 (64 Bit) is installed, then please try to re-install it as Outlook 2010 (32 Bit)." +
           kCRLF + "For more details visit this link : " +
           "https://support.microsoft.com/en-us/office/"
           "choose-between-the-64-bit-or-32-bit-version-of-office-2dee7807-8f95-4d0c-b5fe-6c6f49b8d261";
}

std::string FailureSummary(const RunOutcome& o) {
    auto plural = [](long long n, const char* one, const char* many) {
        return std::to_string(n) + " " + (n == 1 ? one : many);
    };
    std::string text = "Not converted: " + plural(o.mailboxesFailed, "mailbox", "mailboxes") + ", " +
                       plural(o.messagesFailed, "message", "messages");
    if (o.storesUnfinished > 0) text += ", " + plural(o.storesUnfinished, "store", "stores") + " not finished";
    text += ".";
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

// How far the store forms read ahead: at most this many messages between
// the splitter and the store, their texts this many bytes in all. A message
// of more than kReadAheadAlone bytes goes through alone: the ones before it
// are saved first and it is read on the run's thread, so that a mailbox of
// large messages peaks no higher than with no read-ahead (read two at a
// time, messages of 3 MB raised the peak from 17 to 21 MB). The smaller
// ones are handed over in memory; only a large one goes through a working
// file, which the import maps rather than copies. Sixteen messages rather
// than four keep both threads busy through runs of costly messages (those
// with attachments) and let the worker sleep less often: a 150 MB mailbox to
// .pst took 0.32 s instead of 0.42 (32 gained nothing, 64 lost).
constexpr size_t kReadAheadMessages = 16;
constexpr size_t kReadAheadBytes = size_t(2) << 20;
constexpr size_t kReadAheadAlone = size_t(1) << 20;

// Receives the messages of one mailbox from the splitter and writes them out.
//
// The store forms hand each message file to a ReadAhead, which parses it on
// a second thread while this one goes on splitting, and save the messages
// into the store in order as they come back. What the view is told of a
// message (its failures, the progress caption, the saved count) waits until
// the message is in the store, and is then told in the order it would have
// been without the read-ahead.
class MessageWriter : public SplitterSink {
public:
    MessageWriter(RunView& view, TargetForm form, StoreSteps* steps, RunOutcome& outcome, const FolderHandle& folder,
                  std::string mailboxFolder, std::string mailboxName, std::string fileTag, int row, int rowCount,
                  void (*fail)(void*, const std::string&, const std::string&), void* failContext)
        : view_(view), form_(form), steps_(steps), outcome_(outcome), folder_(folder),
          mailboxFolder_(std::move(mailboxFolder)), mailboxName_(std::move(mailboxName)), fileTag_(std::move(fileTag)),
          row_(row), rowCount_(rowCount), fail_(fail), failContext_(failContext) {}

    ~MessageWriter() override {
        // The run is stopping (or done): messages not yet saved are dropped
        // (with their working files, if any), once the worker has let go of
        // them.
        ahead_.reset();
        for (Slot& slot : slots_) dropSlot(slot);
    }

    // Messages the splitter found, written or not.
    int messagesFound() const { return messagesFound_; }

    void yield() override { yieldTo(view_); }

    // Writes one message file: "email-" n ".eml" (or ".emlx") for the EML
    // and EMLX forms; the two Outlook forms hand the message to the store,
    // in memory or (a large one) through a working file of the run's own.
    void emitMessage(std::string_view text, int n, LineMode mode) override {
        ++messagesFound_;
        const bool lineMode = mode == LineMode::Normal;
        if (steps_ && (form_ == TargetForm::Pst || form_ == TargetForm::Msg)) {
            emitToStore(text, n, lineMode);
            return;
        }
        std::string error;
        std::string name = "email-" + std::to_string(n) + (form_ == TargetForm::Emlx ? ".emlx" : ".eml");
        std::string messageFile = mailboxFolder_ + kSeparator + name;
        const bool written = writeMessageFile(folder_, name, text, &error);
        if (!written) fail_(failContext_, messageFile, error);
        if (lineMode) {
            yield();
            if (written) {
                MailMessage messageObject;
                if (messageObject.Load(messageFile)) messageObject.Save(messageFile);
            }
            view_.setProgressCaption("Saved " + std::to_string(n) + " Email Messages...");
        }
        if (written) {
            ++outcome_.messagesSaved;
            view_.noteMessageSaved(row_, rowCount_, outcome_.messagesSaved);
        }
        if (!lineMode) {
            yield();
            view_.setProgressCaption("Saved " + std::to_string(n) + " Email Messages...");
        }
    }

    // Saves the messages still on their way to the store.
    void finishAll() {
        while (!pending_.empty()) finishOldest();
    }

private:
    // A message between the splitter and the store.
    struct Pending {
        int n = 0;
        bool lineMode = false;
        size_t bytes = 0;
        bool written = false;  // its working file, or memory, holds it
        bool queued = false;   // its bytes went to the read-ahead, not a file
        int slot = -1;
        std::string file;   // its working file's path
        std::string error;  // why it was not written
    };

    void emitToStore(std::string_view text, int n, bool lineMode) {
        Pending p;
        p.n = n;
        p.lineMode = lineMode;
        p.bytes = text.size();
        // Room first: with this one, no more messages and bytes in flight
        // than the read-ahead allows (a long message waits for all).
        while (!pending_.empty() && (pending_.size() >= kReadAheadMessages ||
                                     pendingBytes_ + p.bytes > kReadAheadBytes || p.bytes > kReadAheadAlone))
            finishOldest();
        const bool alone = p.bytes > kReadAheadAlone;
        if (!alone) {
            // Up to kReadAheadBytes in all, the messages wait in memory: a
            // working file per message would cost a write and a read of
            // every byte, and its creation, on the run's thread. A file is
            // written only for a message the store refuses (keepText).
            if (!ahead_) ahead_ = std::make_unique<ReadAhead>(*steps_);
            // The bytes a working file would hold: the text and a CR LF.
            ahead_->push(takeText(text, kCRLF));
            p.written = p.queued = true;
            // The mail component would load the message and save it back
            // to its own file unchanged: with no file, there is nothing to do.
            if (lineMode) yield();
        } else {
            p.written = writeWorkingFile(text, n, &p.slot, &p.file, &p.error);
            // The store reads the message back from its file: the splitter's
            // copy would be one more message-sized buffer held through the
            // import.
            releaseText();
            if (lineMode) {
                yield();
                if (p.written) {
                    MailMessage messageObject;
                    if (messageObject.Load(p.file)) messageObject.Save(p.file);
                }
            }
        }
        pendingBytes_ += p.bytes;
        pending_.push_back(std::move(p));
        if (alone) finishOldest();
        // What the worker has read already goes into the store now.
        while (!pending_.empty() && (!pending_.front().queued || ahead_->frontReady())) finishOldest();
        if (!lineMode) yield();
    }

    // Puts the oldest message in flight into the store (waiting for the
    // worker to have read it) and tells the view what became of it.
    void finishOldest() {
        Pending p = std::move(pending_.front());
        pending_.pop_front();
        pendingBytes_ -= p.bytes;
        const std::string caption = "Saved " + std::to_string(p.n) + " Email Messages...";
        if (!p.written) fail_(failContext_, p.file, p.error);
        if (p.lineMode) view_.setProgressCaption(caption);
        bool stored = false;
        if (p.written) {
            store::Message read;
            std::string error;
            AppendStrings::Taken text;
            if (p.queued) {
                ReadAhead::Result result = ahead_->takeFront();
                stored = result.ok;
                read = std::move(result.message);
                error = std::move(result.error);
                text = std::move(result.text);
            } else {
                stored = steps_->readMessage(p.file, read, &error);
            }
            if (stored) stored = steps_->saveMessage(std::move(read), mailboxName_, mailboxFolder_, p.n, &error);
            // A message that did not make it keeps a file, the only copy of
            // it the run made, and the failure report names it.
            if (stored) {
                if (!p.queued) slots_[size_t(p.slot)].busy = false;
            } else if (p.queued) {
                fail_(failContext_, keepText(text.view().substr(0, text.size - 2), p.n, &error), error);
            } else {
                fail_(failContext_, keepWorkingFile(p.slot, p.n), error);
            }
        }
        if (stored) {
            ++outcome_.messagesSaved;
            view_.noteMessageSaved(row_, rowCount_, outcome_.messagesSaved);
        }
        if (!p.lineMode) view_.setProgressCaption(caption);
    }

    // The store forms write a large message into a working file, made with
    // a name unique to the run (so no user file is ever touched) and
    // overwritten in place by a later one once the store has this one.
    // Making and deleting a file per message would cost more: on a file
    // system without a journal, each new file right after a deletion scans
    // past every recently freed inode. Large messages go one at a time, so
    // there are few such files; they go when the mailbox is done.
    struct Slot {
        int fd = -1;
        std::string name;
        bool busy = false;  // holds a message not yet in the store
    };

    bool writeWorkingFile(std::string_view text, int n, int* slotIndex, std::string* path, std::string* error) {
        size_t i = 0;
        while (i < slots_.size() && (slots_[i].busy || slots_[i].fd < 0)) ++i;
        if (i == slots_.size()) {
            i = 0;
            while (i < slots_.size() && slots_[i].busy) ++i;
            if (i == slots_.size()) slots_.emplace_back();
        }
        Slot& slot = slots_[i];
        if (slot.fd < 0) {
            slot.name = workingName(n);
            slot.fd = OpenOutputFile(folder_, slot.name, OutputOpen::CreateNew, error);
        }
        *path = mailboxFolder_ + kSeparator + slot.name;
        if (slot.fd >= 0 && writeMessageText(slot.fd, text, error)) {
            slot.busy = true;
            *slotIndex = int(i);
            return true;
        }
        dropSlot(slot);
        return false;
    }

    // The working file holds message n, which the store refused: it stays,
    // named after the message, and its slot gets a new file.
    std::string keepWorkingFile(int slotIndex, int n) {
        Slot& slot = slots_[size_t(slotIndex)];
        std::string kept = workingName(n);
        if (kept != slot.name && RenameWithoutReplacing(folder_, slot.name, kept)) slot.name = kept;
        std::string path = mailboxFolder_ + kSeparator + slot.name;
        CloseFile(slot.fd);
        slot = Slot{};
        return path;
    }

    // Writes the bytes of message n, which the store refused, into a file
    // named as a working file of it would be; its path. When that cannot be
    // written either, *cause says so too.
    std::string keepText(std::string_view text, int n, std::string* cause) {
        const std::string name = workingName(n);
        std::string error;
        int fd = OpenOutputFile(folder_, name, OutputOpen::CreateNew, &error);
        bool kept = fd >= 0 && writeMessageText(fd, text, &error);
        if (fd >= 0 && CloseFile(fd) != 0 && kept) {
            error = errnoText(errno);
            kept = false;
        }
        if (!kept) {
            if (fd >= 0) RemoveFileIn(folder_, name);
            *cause += "; the message could not be kept in a file either: " + error;
        }
        return mailboxFolder_ + kSeparator + name;
    }

    void dropSlot(Slot& slot) {
        if (slot.fd >= 0) {
            CloseFile(slot.fd);
            RemoveFileIn(folder_, slot.name);
        }
        slot = Slot{};
    }

    std::string workingName(int n) const { return ".vellary-" + fileTag_ + "-" + std::to_string(n) + ".eml"; }

    RunView& view_;
    TargetForm form_;
    StoreSteps* steps_;
    RunOutcome& outcome_;
    const FolderHandle& folder_;
    std::string mailboxFolder_;
    std::string mailboxName_;
    std::string fileTag_;
    int row_;
    int rowCount_;
    void (*fail_)(void*, const std::string&, const std::string&);
    void* failContext_;
    int messagesFound_ = 0;
    std::vector<Slot> slots_;
    std::deque<Pending> pending_;
    size_t pendingBytes_ = 0;
    std::unique_ptr<ReadAhead> ahead_;
};

void yieldThrough(void* context) {
    auto* view = static_cast<RunView*>(context);
    view->yield();
}

}  // namespace

// ---- the run ---------------------------------------------------------------

ConversionRun::ConversionRun(RunView& view, RunRequest request) : view_(view), request_(std::move(request)) {}

ConversionRun::~ConversionRun() = default;

void ConversionRun::fail(const std::string& path, const std::string& cause, bool mailbox) {
    if (mailbox)
        ++outcome_.mailboxesFailed;
    else
        ++outcome_.messagesFailed;
    outcome_.failures.push_back({path, cause});
    view_.noteFailure(path, cause);
}

void ConversionRun::noteUnfinished(const std::optional<UnfinishedStore>& store) {
    if (!store) return;
    const long long saved = store->messagesSaved;
    const long long kept = std::clamp(store->messagesKept, 0LL, saved);
    std::string cause = store->cause;
    if (saved > 0) {
        cause += kept == 0 ? "; it holds none of its " + std::to_string(saved) + " messages"
                           : "; it holds the first " + std::to_string(kept) + " of its " + std::to_string(saved) +
                                 " messages";
    }
    // Every message the file lost was counted as saved when the store took it.
    outcome_.messagesSaved -= saved - kept;
    outcome_.messagesFailed += saved - kept;
    ++outcome_.storesUnfinished;
    outcome_.failures.push_back({store->path, cause});
    view_.noteFailure(store->path, cause);
}

void ConversionRun::removeMadeFolders(const std::string& outputFolder) {
    // The PST form writes nothing but working files below the output
    // folder, and a mailbox of the MSG form that gave no .msg file leaves
    // its folder empty too: such folders are the run's own leftovers. A
    // folder that was there before the run is never among them.
    RemoveEmptyFoldersBelow(outputFolder, std::move(madeFolders_));
    madeFolders_.clear();
}

RunOutcome ConversionRun::execute() {
    outcome_ = RunOutcome{};
    madeFolders_.clear();
    runTag_ = UniqueRunTag();
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
        removeMadeFolders(outputFolder);
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

        if (steps_) noteUnfinished(steps_->closeRunStore());
        removeMadeFolders(outputFolder);
    } catch (const StopRun&) {
        // The window is closing: whatever store is open is finished so its
        // file stays whole; nothing more is shown (a store that cannot be
        // finished is still noted to the view).
        if (steps_) noteUnfinished(steps_->abandon());
        removeMadeFolders(outputFolder);
        outcome_.stopped = true;
        return outcome_;
    }
    steps_.reset();

    const bool failed = outcome_.anyFailed();
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
    const std::string mailboxRelative = PathWithoutRoot(sourcePath);
    const std::string mailboxFolder = outputFolder + mailboxRelative;
    const std::string sourceFileName = FileNameOfPath(sourcePath);
    std::string mailboxName = ReplaceAll(TrimBlanks(ReplaceAll(TrimBlanks(sourceFileName), ".mbox", "")), ".MBOX", "");
    // A file named ".mbox" (or ".mbox.MBOX") leaves no name; a store folder
    // needs one, and the file's own name cannot be another mailbox's.
    if (mailboxName.empty()) mailboxName = TrimBlanks(sourceFileName);
    view_.setSourceFileCaption(sourceFileName);

    if (steps_) {
        if (!steps_->openMailboxStore(outputFolder, mailboxName)) return false;
        steps_->addMailboxFolder(mailboxName);
    }
    view_.setSourceFileCaption(sourceFileName);
    yieldTo(view_);

    auto closeMailbox = [&] {
        yieldTo(view_);
        if (steps_) noteUnfinished(steps_->closeMailboxStore());
    };

    // An empty row (the empty list) has nothing to read and is no failure.
    if (sourcePath.empty()) {
        closeMailbox();
        return true;
    }

    std::string error;
    // Nothing below the output folder is reached through a link.
    FolderHandle folder = OpenFolderBelow(outputFolder, mailboxRelative, &error, steps_ ? &madeFolders_ : nullptr);
    if (!folder) {
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
        view_, request_.form, steps_.get(), outcome_, folder, mailboxFolder, mailboxName,
        runTag_ + "-" + std::to_string(row + 1), row, rowCount,
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
    // The messages still on their way go into the store before the
    // mailbox's own outcome is told.
    writer.finishAll();
    if (!readOk)
        fail(sourcePath, error, true);
    else if (writer.messagesFound() == 0)
        // An empty file, or blank lines only (the splitter keeps any other
        // text as a message): its empty folder is no conversion, and a
        // success message would hide that.
        fail(sourcePath, kNoMessagesFound, true);
    closeMailbox();
    return true;
}

}  // namespace conversion
