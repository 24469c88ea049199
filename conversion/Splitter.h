// Cuts a mailbox file into its messages.
//
// The source is opened once and read once from its start, so a pipe works as
// well as a file. A probe of its first 512 bytes picks the way of reading.
// Files whose lines end in CR LF (or that have no line break there) are read
// line by line: a line ends at a CR (CR LF counts as one break; a lone LF
// stays in the line), and a line starting with "From " or with two LFs starts
// a new message. Files with bare LF line breaks are read in large blocks, and
// every LF "From " starts a new message; their line breaks are rewritten to
// CR LF.
//
// Both ways treat the start of the file alike: a UTF-8 byte order mark is
// skipped, and text before the first separator is message 1 when it holds
// mail (an exported single message has no separator) and is dropped otherwise
// (blank lines, an image, prose): a file of no mail gives no message.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <sys/types.h>

#include "conversion/AppendStrings.h"

namespace conversion {

enum class LineMode { Unknown, Normal, NotNormal };

class MailboxSplitter;

// Where the splitter sends its messages.
class SplitterSink {
public:
    virtual ~SplitterSink() = default;
    // Before every line in line mode; between blocks in block mode.
    virtual void yield() = 0;
    // One whole message: its text from its separator line on, every line
    // ending in CR LF (except, in line mode, what a lone LF leaves).
    virtual void emitMessage(std::string_view text, int number, LineMode mode) = 0;

protected:
    // For emitMessage, once it is done with `text`, which is invalid after:
    // the splitter frees the message's buffer at once instead of when
    // emitMessage returns, so a sink that goes on to work from a copy of the
    // message (a store reading its file back) does not hold it twice.
    void releaseText();
    // For emitMessage: takes the message's `text` out of the splitter with
    // `tail` appended to it, instead of a copy; `text` is invalid after.
    AppendStrings::Taken takeText(std::string_view text, std::string_view tail);

private:
    friend class MailboxSplitter;
    MailboxSplitter* splitter_ = nullptr;
};

// Whether text before a mailbox's first separator is mail: its first line
// that is not blank is a header field ("Name:", the name printable ASCII
// without a colon or space, blanks allowed before the colon), or it starts
// with a line break (an empty header) and a body follows. Lines end at a CR
// or a LF.
bool HoldsMail(std::string_view text);

// Probes the line endings of a mailbox from its first bytes: CR LF in the
// first 512 bytes of `head` gives Normal, else a LF gives NotNormal, else
// Normal.
LineMode ReadMBOXFile(std::string_view head);

// A source mailbox, opened once. Opening reads the bytes the probe needs; the
// reads that follow hand them out first, so nothing is read twice.
class MailboxSource {
public:
    static constexpr size_t kProbeSize = 512;

    MailboxSource() = default;
    ~MailboxSource();
    MailboxSource(const MailboxSource&) = delete;
    MailboxSource& operator=(const MailboxSource&) = delete;

    // Opens `fileName` and probes it. False, with `error` the cause, when it
    // is no file that can be read as a stream (a folder, a device) or cannot
    // be opened or read.
    bool open(const std::string& fileName, std::string* error);
    // Unknown until the source is open.
    LineMode mode() const { return mode_; }
    // Fills `buffer` with the next `size` bytes, fewer only at the end of the
    // source; 0 at the end, -1 when reading fails (errno says why).
    ssize_t read(char* buffer, size_t size);

private:
    int fd_ = -1;
    char head_[kProbeSize];
    size_t headSize_ = 0;
    size_t headUsed_ = 0;
    bool ended_ = false;    // the probe met the end of the source
    int pendingErrno_ = 0;  // a failure after bytes were handed out, for the next read
    LineMode mode_ = LineMode::Unknown;
};

class MailboxSplitter {
public:
    static constexpr size_t kReadSize = 1 << 20;
    // The largest message text: 2 GiB less one byte (2147483647), the largest
    // 31-bit byte count; the stores refuse values of 2 GiB.
    static constexpr size_t kMessageLimit = 0x7FFFFFFF;

    explicit MailboxSplitter(SplitterSink& sink, size_t messageLimit = kMessageLimit)
        : sink_(sink), messageBuffer_(messageLimit), messageLimit_(messageLimit) {
        sink.splitter_ = this;
    }
    ~MailboxSplitter() {
        if (sink_.splitter_ == this) sink_.splitter_ = nullptr;
    }
    MailboxSplitter(const MailboxSplitter&) = delete;
    MailboxSplitter& operator=(const MailboxSplitter&) = delete;

    // Splits the source in the mode its probe chose, to its end. Returns
    // false, with `error` the cause, when reading fails or a message grows
    // past the message limit; the messages before have been emitted.
    bool split(MailboxSource& source, std::string* error);

    // The number of messages emitted so far.
    int messagesEmitted() const { return emitted_; }

private:
    friend class SplitterSink;
    bool splitLines(MailboxSource& source, std::string* error);
    bool splitBlocks(MailboxSource& source, std::string* error);
    // Line mode: a piece of a line, up to its CR (`ends`) or the end of a read.
    void linePiece(std::string_view piece, bool ends);
    // Line mode: the line's first bytes are known (enough for the boundary
    // test, or the whole line).
    void startLine(std::string_view start);
    // Ends the text collected so far: a message, or the text before the first
    // separator, emitted when it holds mail.
    void endLineModeText();
    void endBlockModeText();
    // Block mode: adds a piece of the current message, its line breaks
    // rewritten to CR LF.
    void SaveMBOXFile(std::string_view piece);
    void finishMessage(int number, LineMode mode);

    SplitterSink& sink_;
    AppendStrings messageBuffer_;
    size_t messageLimit_;
    int messageNumber_ = 0;       // line mode: 0 before the first separator
    int blockMessageNumber_ = 1;  // block mode
    std::string lineHead_;        // line mode: the first bytes of a line that runs on into the next read
    bool lineOpen_ = false;       // line mode: the line's start is in the buffer; its rest follows
    bool preamble_ = false;       // block mode: the text collected comes before the first separator
    bool pendingCR_ = false;      // block mode: a CR whose LF may follow in the next piece
    int emitted_ = 0;
};

}  // namespace conversion
