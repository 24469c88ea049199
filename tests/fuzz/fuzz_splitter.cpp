// Fuzzes the mailbox splitter: any bytes, split in both line-ending modes,
// must come out as the rules of conversion/Splitter.h say, and the same bytes
// placed across the first read boundary must split the same way.
//
// Invariants checked on every input:
//  - the probe (ReadMBOXFile) picks the mode its rule gives for the first 512 bytes;
//  - block mode: the messages joined equal the input with every CR LF, lone
//    CR and lone LF written as CR LF; one message more than there are
//    LF "From " boundaries (none for an empty file); every message but the
//    first starts with "From ", every one but the last ends in CR LF;
//  - line mode: the messages joined equal every line from the first
//    boundary line on, each followed by CR LF ("\n\nFrom " lines lose their
//    two LFs); every message starts at a boundary line;
//  - numbers run 1, 2, 3... and messagesEmitted() counts them;
//  - the input moved so that the first read ends inside it gives the same
//    messages, in one mode per input picked by its hash (block mode: the
//    filler in front joins the first message, or is a message of its own
//    when the input starts with "From ").
#include <algorithm>
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

Messages split(std::string_view bytes, LineMode mode, std::string_view head = {}) {
    fill(bytes, head);
    int fd = memoryFile();
    if (lseek(fd, 0, SEEK_SET) != 0) fault("lseek failed");
    Collect sink;
    MailboxSplitter splitter(sink);
    std::string error;
    if (!splitter.split(fd, mode, &error)) fault("split failed on a memory file");
    if (splitter.messagesEmitted() != int(sink.got.texts.size())) fault("messagesEmitted differs from the count");
    for (size_t i = 0; i < sink.got.numbers.size(); ++i)
        if (sink.got.numbers[i] != int(i + 1)) fault("numbers do not run 1, 2, 3...", i);
    return sink.got;
}

std::string joined(const Messages& m) {
    std::string all;
    for (const auto& t : m.texts) all += t;
    return all;
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

void checkBlockMode(std::string_view in, const Messages& m) {
    if (joined(m) != crlfBreaks(in)) fault("block mode: joined messages differ from the input with CR LF breaks");
    size_t boundaries = 0;
    for (size_t p = in.find("\nFrom "); p != std::string_view::npos; p = in.find("\nFrom ", p + 1)) ++boundaries;
    size_t want = in.empty() ? 0 : boundaries + 1;
    if (m.texts.size() != want) fault("block mode: message count is not boundaries + 1");
    for (size_t i = 0; i < m.texts.size(); ++i) {
        if (m.texts[i].empty()) fault("block mode: empty message", i);
        if (i > 0 && !m.texts[i].starts_with("From ")) fault("block mode: message does not start with From", i);
        if (i + 1 < m.texts.size() && !m.texts[i].ends_with("\r\n")) fault("block mode: message not ended by CR LF", i);
    }
}

void checkLineMode(std::string_view in, const Messages& m) {
    std::string want;
    size_t boundaries = 0;
    size_t i = 0;
    while (i < in.size()) {
        size_t cr = in.find('\r', i);
        std::string_view line = in.substr(i, cr == std::string_view::npos ? std::string_view::npos : cr - i);
        i = cr == std::string_view::npos ? in.size() : cr + 1;
        if (cr != std::string_view::npos && i < in.size() && in[i] == '\n') ++i;
        if (line.starts_with("From ") || line.starts_with("\n\n")) ++boundaries;
        if (boundaries == 0) continue;
        if (line.starts_with("\n\nFrom ")) line.remove_prefix(2);
        want += line;
        want += "\r\n";
    }
    if (m.texts.size() != boundaries) fault("line mode: message count is not the number of boundary lines");
    if (joined(m) != want) fault("line mode: joined messages differ from the lines after the first boundary");
    for (size_t k = 0; k < m.texts.size(); ++k)
        if (!m.texts[k].starts_with("From ") && !m.texts[k].starts_with("\n\n")) fault("line mode: message starts mid-text", k);
}

void checkProbe(std::string_view in) {
    fill(in);
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", memoryFile());
    std::string_view head = in.substr(0, 512);
    LineMode want = head.find("\r\n") != std::string_view::npos ? LineMode::Normal
                    : head.find('\n') != std::string_view::npos ? LineMode::NotNormal
                                                                : LineMode::Normal;
    if (conversion::ReadMBOXFile(path) != want) fault("the probe picked the wrong mode");
}

uint32_t hashOf(std::string_view s) {
    uint32_t h = 2166136261u;
    for (unsigned char c : s) h = (h ^ c) * 16777619u;
    return h;
}

// `size` bytes of one line: 'x'... then `end`. Kept between runs (its
// buffer is reused).
std::string_view fillerLine(std::string& text, size_t size, std::string_view end) {
    text.assign(size - end.size(), 'x');
    text += end;
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string in(reinterpret_cast<const char*>(data), size);
    checkProbe(in);
    const Messages block = split(in, LineMode::NotNormal);
    checkBlockMode(in, block);
    const Messages lines = split(in, LineMode::Normal);
    checkLineMode(in, lines);

    if (size < 2) return 0;
    // The same bytes after a filler that ends the first read `cut` bytes into
    // them. The filler is one long line: dropped before the first message in
    // line mode, the start of message 1 in block mode.
    const size_t R = MailboxSplitter::kReadSize;
    // A read of 1 MiB costs far more than the small splits, so each input
    // crosses the boundary in one mode, picked with the place by its hash.
    const uint32_t hash = hashOf(in);
    const size_t cut = 1 + (hash >> 1) % (size - 1);
    static std::string lfFiller, crlfFiller, crlfText;
    const size_t fillerSize = R - cut;

    if (hash & 1) {
        Messages shifted = split(in, LineMode::Normal, fillerLine(crlfFiller, fillerSize, "\r\n"));
        if (shifted.texts != lines.texts) fault("line mode: a read boundary inside the input changed the messages");
        return 0;
    }

    const std::string_view lf = fillerLine(lfFiller, fillerSize, "\n");
    const std::string_view fillerText = fillerLine(crlfText, fillerSize + 1, "\r\n");  // lf with a CR LF
    Messages shifted = split(in, LineMode::NotNormal, lf);
    bool same;
    if (in.starts_with("From ")) {
        same = shifted.texts.size() == block.texts.size() + 1 && shifted.texts[0] == fillerText &&
               std::equal(block.texts.begin(), block.texts.end(), shifted.texts.begin() + 1);
    } else {
        same = shifted.texts.size() == block.texts.size() && shifted.texts[0].starts_with(fillerText) &&
               std::string_view(shifted.texts[0]).substr(fillerText.size()) == block.texts[0] &&
               std::equal(block.texts.begin() + 1, block.texts.end(), shifted.texts.begin() + 1);
    }
    if (!same) fault("block mode: a read boundary inside the input changed the messages");
    return 0;
}
