#include "conversion/Splitter.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "common/sourceFile.h"

namespace conversion {

namespace {

constexpr std::string_view kCRLF = "\r\n";
constexpr std::string_view kBoundary = "\nFrom ";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
// The boundary test of line mode looks at no more than a line's first 7
// bytes (LF LF "From ").
constexpr size_t kLineStart = 7;

}  // namespace

bool HoldsMail(std::string_view text) {
    // A line break first: a message whose header is empty, if a body follows.
    const bool emptyHeader = text.starts_with('\r') || text.starts_with('\n');
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        if (line.find_first_not_of(" \t") != std::string_view::npos) {
            if (emptyHeader) return true;
            size_t colon = line.find(':');
            if (colon == std::string_view::npos) return false;
            // The obsolete syntax allows blanks between the name and the colon.
            std::string_view name = line.substr(0, colon);
            while (name.ends_with(' ') || name.ends_with('\t')) name.remove_suffix(1);
            if (name.empty()) return false;
            for (char c : name)
                if (c <= ' ' || c > '~') return false;
            return true;
        }
        start = end + 1;
    }
    return false;
}

LineMode ReadMBOXFile(std::string_view head) {
    head = head.substr(0, MailboxSource::kProbeSize);
    if (head.find(kCRLF) != std::string_view::npos) return LineMode::Normal;
    if (head.find('\n') != std::string_view::npos) return LineMode::NotNormal;
    return LineMode::Normal;
}

// ---- the source ------------------------------------------------------------

MailboxSource::~MailboxSource() { CloseSourceFile(fd_); }

bool MailboxSource::open(const std::string& fileName, std::string* error) {
    fd_ = OpenSourceFile(fileName, error);
    if (fd_ < 0) return false;
    ssize_t n = ReadFull(fd_, head_, sizeof head_);
    if (n < 0) {
        if (error) *error = CannotReadCause(errno);
        return false;
    }
    headSize_ = size_t(n);
    ended_ = headSize_ < sizeof head_;
    mode_ = ReadMBOXFile(std::string_view(head_, headSize_));
    return true;
}

ssize_t MailboxSource::read(char* buffer, size_t size) {
    if (pendingErrno_) {
        errno = pendingErrno_;
        return -1;
    }
    size_t got = std::min(size, headSize_ - headUsed_);
    std::memcpy(buffer, head_ + headUsed_, got);
    headUsed_ += got;
    if (got == size || ended_) return ssize_t(got);
    ssize_t n = ReadFull(fd_, buffer + got, size - got);
    if (n < 0) {
        if (got == 0) return -1;
        pendingErrno_ = errno;
        return ssize_t(got);
    }
    return ssize_t(got + size_t(n));
}

// ---- both modes ------------------------------------------------------------

bool MailboxSplitter::split(MailboxSource& source, std::string* error) {
    const LineMode mode = source.mode();
    try {
        if (mode == LineMode::Normal) return splitLines(source, error);
        if (mode == LineMode::NotNormal) return splitBlocks(source, error);
    } catch (const TextTooLong&) {
        // The messages before this one are out; this one cannot be held.
        messageBuffer_.clear();
        int number = mode == LineMode::Normal ? std::max(messageNumber_, 1) : blockMessageNumber_;
        if (error) {
            *error = "message " + std::to_string(number) + " is larger than the limit of " +
                     std::to_string(messageLimit_) + " bytes";
            if (messageLimit_ == kMessageLimit) *error += " (2 GiB less one byte)";
        }
        return false;
    }
    return true;
}

void SplitterSink::releaseText() {
    if (splitter_) splitter_->messageBuffer_.clear();
}

AppendStrings::Taken SplitterSink::takeText(std::string_view text, std::string_view tail) {
    AppendStrings* buffer = splitter_ ? &splitter_->messageBuffer_ : nullptr;
    if (!buffer || buffer->ReturnString().data() != text.data()) {
        AppendStrings copy;
        copy.AddToString(text);
        copy.AddToString(tail);
        return copy.take();
    }
    buffer->AddToString(tail);
    return buffer->take();
}

void MailboxSplitter::finishMessage(int number, LineMode mode) {
    // The buffer is released whatever becomes of the message, so a message
    // that cannot be written never merges into the next one.
    std::string_view text = messageBuffer_.ReturnString();
    try {
        sink_.emitMessage(text, number, mode);
    } catch (...) {
        messageBuffer_.clear();
        ++emitted_;
        throw;
    }
    messageBuffer_.clear();
    ++emitted_;
}

// ---- line mode -------------------------------------------------------------

void MailboxSplitter::endLineModeText() {
    if (messageNumber_ > 0) {
        finishMessage(messageNumber_, LineMode::Normal);
    } else if (HoldsMail(messageBuffer_.ReturnString())) {
        finishMessage(1, LineMode::Normal);
        messageNumber_ = 1;
    } else {
        messageBuffer_.clear();
    }
}

void MailboxSplitter::startLine(std::string_view start) {
    sink_.yield();
    if (start.starts_with("From ") || start.starts_with("\n\n")) {
        endLineModeText();
        ++messageNumber_;
    }
    if (start.starts_with("\n\nFrom ")) start.remove_prefix(2);
    messageBuffer_.AddToString(start);
}

void MailboxSplitter::linePiece(std::string_view piece, bool ends) {
    if (!lineOpen_) {
        if (lineHead_.empty() && (ends || piece.size() >= kLineStart)) {
            startLine(piece);
            piece = {};
        } else {
            // Too little of the line for the boundary test: its first bytes
            // wait for the next read. The rest of a long line goes straight
            // into the buffer, so a line is never held twice.
            size_t take = std::min(piece.size(), kLineStart - lineHead_.size());
            lineHead_.append(piece.substr(0, take));
            piece.remove_prefix(take);
            if (!ends && lineHead_.size() < kLineStart) return;
            startLine(lineHead_);
            lineHead_.clear();
        }
        lineOpen_ = true;
    }
    if (!piece.empty()) messageBuffer_.AddToString(piece);
    if (ends) {
        messageBuffer_.AddToString(kCRLF);
        lineOpen_ = false;
    }
}

bool MailboxSplitter::splitLines(MailboxSource& source, std::string* error) {
    std::unique_ptr<char[]> buffer(new char[kReadSize]);
    bool skipLF = false;  // the last read ended in a CR: a LF right after it is part of the break
    bool first = true;
    bool ok = true;
    for (;;) {
        ssize_t n = source.read(buffer.get(), kReadSize);
        if (n < 0) {
            if (error) *error = CannotReadCause(errno);
            ok = false;
            break;
        }
        if (n == 0) break;
        std::string_view data(buffer.get(), size_t(n));
        if (first && data.starts_with(kByteOrderMark)) data.remove_prefix(kByteOrderMark.size());
        first = false;
        if (skipLF && data.starts_with('\n')) data.remove_prefix(1);
        skipLF = false;
        const char* p = data.data();
        const char* end = p + data.size();
        while (p < end) {
            const char* cr = static_cast<const char*>(std::memchr(p, '\r', size_t(end - p)));
            if (!cr) {
                linePiece(std::string_view(p, size_t(end - p)), false);
                break;
            }
            linePiece(std::string_view(p, size_t(cr - p)), true);
            p = cr + 1;
            if (p == end)
                skipLF = true;
            else if (*p == '\n')
                ++p;
        }
    }
    // A last line without a break ends with the file.
    if (lineOpen_ || !lineHead_.empty()) linePiece({}, true);
    endLineModeText();
    return ok;
}

// ---- block mode ------------------------------------------------------------

void MailboxSplitter::SaveMBOXFile(std::string_view piece) {
    const char* p = piece.data();
    const char* end = p + piece.size();
    if (pendingCR_ && p < end) {
        // A CR ended the previous piece: it is one break with a LF that follows.
        messageBuffer_.AddToString(kCRLF);
        if (*p == '\n') ++p;
        pendingCR_ = false;
    }
    while (p < end) {
        const char* lf = static_cast<const char*>(std::memchr(p, '\n', size_t(end - p)));
        const char* stop = lf ? lf : end;
        // Lone CRs inside the run each become a CR LF; a CR right before the LF
        // joins it.
        const char* q = p;
        for (;;) {
            const char* cr = static_cast<const char*>(std::memchr(q, '\r', size_t(stop - q)));
            if (!cr) break;
            messageBuffer_.AddToString(std::string_view(q, size_t(cr - q)));
            q = cr + 1;
            if (q == stop) {
                if (lf) {
                    messageBuffer_.AddToString(kCRLF);  // CR LF
                    ++q;                                // the LF is taken
                } else {
                    pendingCR_ = true;  // the piece ends in a CR
                }
                p = q;
                goto next_run;
            }
            messageBuffer_.AddToString(kCRLF);
        }
        messageBuffer_.AddToString(std::string_view(q, size_t(stop - q)));
        if (lf) {
            messageBuffer_.AddToString(kCRLF);
            p = lf + 1;
        } else {
            p = end;
        }
    next_run:;
    }
}

void MailboxSplitter::endBlockModeText() {
    if (preamble_) {
        preamble_ = false;
        if (!HoldsMail(messageBuffer_.ReturnString())) {
            messageBuffer_.clear();
            return;
        }
    }
    finishMessage(blockMessageNumber_, LineMode::NotNormal);
    ++blockMessageNumber_;
}

bool MailboxSplitter::splitBlocks(MailboxSource& source, std::string* error) {
    // Each read is appended after the few bytes held back from the last one,
    // so a LF "From " that straddles two reads is found.
    constexpr size_t kHold = kBoundary.size() - 1;
    std::unique_ptr<char[]> buffer(new char[kReadSize + kHold]);
    size_t held = 0;
    bool first = true;
    bool ok = true;
    for (;;) {
        sink_.yield();
        ssize_t n = source.read(buffer.get() + held, kReadSize);
        if (n < 0) {
            if (error) *error = CannotReadCause(errno);
            ok = false;
            n = 0;
        }
        bool atEnd = n == 0;
        std::string_view data(buffer.get(), held + size_t(n));
        size_t pos = 0;
        if (first) {
            first = false;
            if (data.starts_with(kByteOrderMark)) pos = kByteOrderMark.size();
            // The file's first separator line has no LF before it.
            preamble_ = !data.substr(pos).starts_with("From ");
        }
        for (;;) {
            size_t hit = data.find(kBoundary, pos);
            if (hit == std::string_view::npos) break;
            // The message runs up to and including the LF before "From ".
            SaveMBOXFile(data.substr(pos, hit + 1 - pos));
            endBlockModeText();
            pos = hit + 1;
        }
        size_t keep = atEnd ? 0 : std::min(kHold, data.size() - pos);
        SaveMBOXFile(data.substr(pos, data.size() - pos - keep));
        if (atEnd) break;
        std::memmove(buffer.get(), data.data() + data.size() - keep, keep);
        held = keep;
    }
    if (pendingCR_) {
        messageBuffer_.AddToString(kCRLF);
        pendingCR_ = false;
    }
    if (!messageBuffer_.empty()) endBlockModeText();
    return ok;
}

}  // namespace conversion
