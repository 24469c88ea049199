// Fuzzes the mailbox splitter: any bytes, opened as a source and split in the
// mode its probe picks, must come out as the rules of conversion/Splitter.h
// say, and the same bytes placed across the first read boundary must split
// as those rules say for the longer file.
//
// Invariants checked on every input:
//  - the probe picks the mode its rule gives for the first 512 bytes;
//  - the messages are exactly those of a whole-file model of the mode: a
//    UTF-8 byte order mark at the start is skipped; block mode cuts before
//    every LF "From " and writes every CR LF, lone CR and lone LF as CR LF;
//    line mode starts a message at every line beginning with "From " or two
//    LFs ("\n\nFrom " lines lose the two LFs) and ends every line in CR LF;
//    in both, text before the first separator is a message of its own when
//    it holds mail;
//  - numbers run 1, 2, 3... and messagesEmitted() counts them.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "conversion/Splitter.h"

using conversion::LineMode;
using conversion::MailboxSplitter;

namespace {

[[noreturn]] void fault(const char* what, size_t index = 0) {
    std::fprintf(stderr, "fuzz_splitter: %s (message %zu)\n", what, index + 1);
    std::abort();
}

struct Messages {
    std::vector<std::string> texts;
    std::vector<int> numbers;
};

class Collect : public conversion::SplitterSink {
public:
    Messages got;
    void yield() override {}
    void emitMessage(std::string_view text, int number, LineMode) override {
        got.texts.emplace_back(text);
        got.numbers.push_back(number);
    }
};

// One memory file reused by every run.
int memoryFile() {
    static int fd = [] {
        int f = memfd_create("fuzz-mailbox", MFD_CLOEXEC);
        if (f < 0) fault("memfd_create failed");
        return f;
    }();
    return fd;
}

// The memory file holds `head` then `bytes`.
void fill(std::string_view bytes, std::string_view head = {}) {
    int fd = memoryFile();
    if (ftruncate(fd, 0) != 0) fault("ftruncate failed");
    size_t done = 0;
    for (std::string_view part : {head, bytes}) {
        for (size_t at = 0; at < part.size();) {
            ssize_t n = pwrite(fd, part.data() + at, part.size() - at, off_t(done));
            if (n <= 0) fault("pwrite failed");
            at += size_t(n);
            done += size_t(n);
        }
    }
}

struct Split {
    Messages got;
    LineMode mode;
};

Split split(std::string_view bytes, std::string_view head = {}) {
    fill(bytes, head);
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", memoryFile());
    conversion::MailboxSource source;
    std::string error;
    if (!source.open(path, &error)) fault("a memory file did not open as a source");
    Collect sink;
    MailboxSplitter splitter(sink);
    if (!splitter.split(source, &error)) fault("split failed on a memory file");
    if (splitter.messagesEmitted() != int(sink.got.texts.size())) fault("messagesEmitted differs from the count");
    for (size_t i = 0; i < sink.got.numbers.size(); ++i)
        if (sink.got.numbers[i] != int(i + 1)) fault("numbers do not run 1, 2, 3...", i);
    return {sink.got, source.mode()};
}

// Every CR LF, lone CR and lone LF as CR LF.
std::string crlfBreaks(std::string_view s) {
    std::string out;
    out.reserve(s.size() + s.size() / 8);
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c == '\r' || c == '\n') {
            out += "\r\n";
            if (c == '\r' && i + 1 < s.size() && s[i + 1] == '\n') ++i;
        } else {
            out += c;
        }
    }
    return out;
}

std::string_view withoutByteOrderMark(std::string_view in) {
    if (in.starts_with("\xEF\xBB\xBF")) in.remove_prefix(3);
    return in;
}

std::vector<std::string> blockModel(std::string_view in) {
    const std::string_view body = withoutByteOrderMark(in);
    std::vector<std::string> out;
    size_t start = 0;
    auto piece = [&](size_t end) {
        std::string_view text = body.substr(start, end - start);
        const bool preamble = start == 0 && !body.starts_with("From ");
        if (!preamble || conversion::HoldsMail(text)) out.push_back(crlfBreaks(text));
        start = end;
    };
    for (size_t p = body.find("\nFrom "); p != std::string_view::npos; p = body.find("\nFrom ", p + 1)) piece(p + 1);
    piece(body.size());
    return out;
}

std::vector<std::string> lineModel(std::string_view in) {
    const std::string_view body = withoutByteOrderMark(in);
    std::vector<std::string> out;
    std::string text;
    bool inMessage = false;
    auto end = [&] {
        if (inMessage || conversion::HoldsMail(text)) out.push_back(text);
        text.clear();
    };
    for (size_t i = 0; i < body.size();) {
        size_t cr = body.find('\r', i);
        std::string_view line = body.substr(i, cr == std::string_view::npos ? std::string_view::npos : cr - i);
        i = cr == std::string_view::npos ? body.size() : cr + 1;
        if (cr != std::string_view::npos && i < body.size() && body[i] == '\n') ++i;
        if (line.starts_with("From ") || line.starts_with("\n\n")) {
            end();
            inMessage = true;
        }
        if (line.starts_with("\n\nFrom ")) line.remove_prefix(2);
        text += line;
        text += "\r\n";
    }
    end();
    return out;
}

LineMode probeRule(std::string_view in) {
    std::string_view head = in.substr(0, 512);
    return head.find("\r\n") != std::string_view::npos ? LineMode::Normal
           : head.find('\n') != std::string_view::npos ? LineMode::NotNormal
                                                       : LineMode::Normal;
}

void check(std::string_view in, const Split& s, const char* what) {
    if (s.mode != probeRule(in)) fault("the probe picked the wrong mode");
    const std::vector<std::string> want = s.mode == LineMode::Normal ? lineModel(in) : blockModel(in);
    if (s.got.texts.size() != want.size()) fault(what);
    for (size_t i = 0; i < want.size(); ++i)
        if (s.got.texts[i] != want[i]) fault(what, i);
}

uint32_t hashOf(std::string_view s) {
    uint32_t h = 2166136261u;
    for (unsigned char c : s) h = (h ^ c) * 16777619u;
    return h;
}

// `size` bytes of filler: one long line ended by CR LF (the probe then
// picks line mode), or lines of 64 bytes ended by LF (block mode). Kept
// between runs (its buffer is reused).
std::string_view filler(std::string& text, size_t size, bool crlf) {
    text.assign(size, 'x');
    if (crlf) {
        text[size - 2] = '\r';
        text[size - 1] = '\n';
    } else {
        for (size_t i = 63; i < size; i += 64) text[i] = '\n';
        text[size - 1] = '\n';
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string in(reinterpret_cast<const char*>(data), size);
    check(in, split(in), "the messages differ from the model of the mode");

    if (size < 2) return 0;
    // The same bytes after a filler that ends the first read `cut` bytes into
    // them. A read of 1 MiB costs far more than the small splits, so each
    // input crosses the boundary in one mode, picked with the place by its hash.
    const uint32_t hash = hashOf(in);
    const size_t cut = 1 + (hash >> 1) % (size - 1);
    static std::string fillerText, whole;
    const std::string_view front = filler(fillerText, MailboxSplitter::kReadSize - cut, hash & 1);
    whole.assign(front);
    whole += in;
    check(whole, split(in, front), "a read boundary inside the input changed the messages");
    return 0;
}
