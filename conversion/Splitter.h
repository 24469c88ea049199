// Cuts a mailbox file into its messages.
//
// A probe of the first 512 bytes picks the way of reading. Files whose lines
// end in CR LF (or that have no line break there) are read line by line: a
// line ends at a CR (CR LF counts as one break; a lone LF stays in the line),
// and a line starting with "From " or with two LFs starts a new message. Files
// with bare LF line breaks are read in large blocks, and every LF "From "
// starts a new message; their line breaks are rewritten to CR LF.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "conversion/AppendStrings.h"

namespace conversion {

enum class LineMode { Unknown, Normal, NotNormal };

// Where the splitter sends its messages.
class SplitterSink {
public:
    virtual ~SplitterSink() = default;
    // Before every line in line mode; between blocks in block mode.
    virtual void yield() = 0;
    // One whole message: its text from its separator line on, every line
    // ending in CR LF (except, in line mode, what a lone LF leaves).
    virtual void emitMessage(std::string_view text, int number, LineMode mode) = 0;
};

// Probes the line endings of a mailbox file: CR LF in the first 512 bytes
// gives Normal, else a LF gives NotNormal, else Normal. Unknown when the file
// cannot be opened or read, with `error` saying why.
LineMode ReadMBOXFile(const std::string& fileName, std::string* error = nullptr);

class MailboxSplitter {
public:
    static constexpr size_t kReadSize = 1 << 20;

    explicit MailboxSplitter(SplitterSink& sink) : sink_(sink) {}

    // Splits the open file `fd` in the given mode from its current position to
    // its end. Returns false, with `error` set, when reading fails; the
    // messages found before the failure have been emitted.
    bool split(int fd, LineMode mode, std::string* error);

    // The number of messages emitted so far.
    int messagesEmitted() const { return emitted_; }

private:
    bool splitLines(int fd, std::string* error);
    bool splitBlocks(int fd, std::string* error);
    void lineModeLine(std::string_view line);
    // Block mode: adds a piece of the current message, its line breaks
    // rewritten to CR LF.
    void SaveMBOXFile(std::string_view piece);
    void finishMessage(int number, LineMode mode);

    SplitterSink& sink_;
    AppendStrings messageBuffer_;
    int messageNumber_ = 0;       // line mode
    int blockMessageNumber_ = 1;  // block mode
    bool pendingCR_ = false;      // block mode: a CR whose LF may follow in the next piece
    int emitted_ = 0;
};

}  // namespace conversion
