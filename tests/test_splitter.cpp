// The mailbox splitter: the source, the probe, line mode and block mode,
// checked against small whole-file models of the rules on hand-made and random
// mailboxes that put boundaries and line breaks across the splitter's read
// boundaries.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "tests/support/files.h"
#include "tests/support/recording_view.h"
#include "common/registry.h"
#include "conversion/ConversionRun.h"
#include "conversion/Splitter.h"

using namespace conversion;
using testsupport::TempDir;
using testsupport::WriteFile;
namespace fs = std::filesystem;

namespace {

struct Collected {
    std::vector<std::string> texts;
    std::vector<int> numbers;
};

class CollectingSink : public SplitterSink {
public:
    Collected got;
    int yields = 0;
    void yield() override { ++yields; }
    void emitMessage(std::string_view text, int number, LineMode) override {
        got.texts.emplace_back(text);
        got.numbers.push_back(number);
        // As the store forms do: every split here also checks that freeing
        // the buffer inside emitMessage leaves the next message whole.
        releaseText();
    }
};

struct Split {
    Collected got;
    bool ok = false;
    std::string error;
    LineMode mode = LineMode::Unknown;
};

Split splitPath(const std::string& path, size_t limit = MailboxSplitter::kMessageLimit) {
    Split s;
    MailboxSource source;
    CollectingSink sink;
    MailboxSplitter splitter(sink, limit);
    s.ok = source.open(path, &s.error) && splitter.split(source, &s.error);
    s.mode = source.mode();
    s.got = sink.got;
    return s;
}

Collected splitBytes(const std::string& bytes, LineMode* modeOut = nullptr) {
    TempDir dir;
    auto path = dir.path() / "box";
    WriteFile(path, bytes);
    Split s = splitPath(path.string());
    EXPECT_TRUE(s.ok) << s.error;
    if (modeOut) *modeOut = s.mode;
    return s.got;
}

// A pipe that a thread fills with `bytes` (and then with `fill` repeated up to
// `total` bytes), named the way a shell names <(...). Whatever the reader
// leaves is drained at the end, so the writer never meets a closed pipe.
class FedPipe {
public:
    explicit FedPipe(std::string bytes, std::string fill = "", size_t total = 0) {
        EXPECT_EQ(::pipe2(fds_, O_CLOEXEC), 0);
        if (!fill.empty())
            while (fill.size() < 65536) fill += fill;
        writer_ = std::thread([this, bytes = std::move(bytes), fill = std::move(fill), total] {
            auto put = [&](const std::string& b) {
                for (size_t done = 0; done < b.size();) {
                    ssize_t n = ::write(fds_[1], b.data() + done, b.size() - done);
                    if (n <= 0) return false;
                    done += size_t(n);
                }
                return true;
            };
            bool ok = put(bytes);
            for (size_t sent = bytes.size(); ok && !fill.empty() && sent < total; sent += fill.size()) ok = put(fill);
            ::close(fds_[1]);
        });
    }
    ~FedPipe() {
        char sink[65536];
        while (::read(fds_[0], sink, sizeof sink) > 0) {}
        writer_.join();
        ::close(fds_[0]);
    }
    std::string path() const { return "/dev/fd/" + std::to_string(fds_[0]); }

private:
    int fds_[2] = {-1, -1};
    std::thread writer_;
};

std::string withoutByteOrderMark(const std::string& d) { return d.starts_with("\xEF\xBB\xBF") ? d.substr(3) : d; }

// Line mode as rules on the whole text: a byte order mark at the start is
// skipped; a line ends at a CR, a CR LF is one break, a lone LF stays in its
// line; "From " or LF LF at a line's start begins a message; text before the
// first boundary is message 1 when it holds mail.
std::vector<std::string> lineModel(const std::string& box) {
    const std::string d = withoutByteOrderMark(box);
    std::vector<std::string> lines;
    size_t i = 0;
    while (i < d.size()) {
        size_t j = d.find('\r', i);
        if (j == std::string::npos) {
            lines.push_back(d.substr(i));
            break;
        }
        lines.push_back(d.substr(i, j - i));
        i = j + 1;
        if (i < d.size() && d[i] == '\n') ++i;
    }
    std::vector<std::string> out;
    std::string preamble;
    bool inMessage = false;
    for (auto& l : lines) {
        if (l.starts_with("From ") || l.starts_with("\n\n")) {
            if (!inMessage && conversion::HoldsMail(preamble)) out.push_back(preamble);
            out.emplace_back();
            inMessage = true;
        }
        (inMessage ? out.back() : preamble) += (l.starts_with("\n\nFrom ") ? l.substr(2) : l) + "\r\n";
    }
    if (!inMessage && conversion::HoldsMail(preamble)) out.push_back(preamble);
    return out;
}

std::string crlf(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\r') {
            out += "\r\n";
            if (i + 1 < s.size() && s[i + 1] == '\n') ++i;
        } else if (s[i] == '\n') {
            out += "\r\n";
        } else {
            out += s[i];
        }
    }
    return out;
}

// Block mode as rules on the whole text: a byte order mark at the start is
// skipped; every LF "From " ends a message after its LF; message 1 starts at
// the first byte, and is dropped when it does not start with "From " and holds
// no mail; breaks become CR LF.
std::vector<std::string> blockModel(const std::string& box) {
    const std::string d = withoutByteOrderMark(box);
    std::vector<std::string> out;
    bool preamble = !d.starts_with("From ");
    auto add = [&](const std::string& text) {
        if (!preamble || conversion::HoldsMail(text)) out.push_back(crlf(text));
        preamble = false;
    };
    size_t start = 0;
    for (size_t p = d.find("\nFrom "); p != std::string::npos; p = d.find("\nFrom ", p + 1)) {
        add(d.substr(start, p + 1 - start));
        start = p + 1;
    }
    if (start < d.size()) add(d.substr(start));
    return out;
}

void expectMessages(const Collected& got, const std::vector<std::string>& want) {
    ASSERT_EQ(got.texts.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(got.numbers[i], int(i + 1));
        ASSERT_EQ(got.texts[i], want[i]) << "message " << i + 1;
    }
}

}  // namespace

TEST(Probe, ChoosesTheModeFromTheFirst512Bytes) {
    EXPECT_EQ(ReadMBOXFile("From a\r\nx\r\n"), LineMode::Normal);
    EXPECT_EQ(ReadMBOXFile("From a\nx\n"), LineMode::NotNormal);
    EXPECT_EQ(ReadMBOXFile(""), LineMode::Normal);
    EXPECT_EQ(ReadMBOXFile(std::string(600, 'x') + "\r\n"), LineMode::Normal);
    EXPECT_EQ(ReadMBOXFile("From a\n" + std::string(600, 'x') + "\r\n"), LineMode::NotNormal);
}

TEST(LineMode, BoundariesAndLineBreaks) {
    // Three messages, look-alike lines that are no boundary, a lone CR (a
    // break) and a lone LF (kept in its line).
    std::string box =
        "From a@b Mon\r\nSubject: 1\r\n\r\nfrom lower case\r\nFrom\r\nbody\rCR\r\n"
        "From c@d Tue\r\nSubject: 2\r\n\r\nwith\nLF inside\r\n"
        "From e@f Wed\r\nlast line without break";
    LineMode mode;
    Collected got = splitBytes(box, &mode);
    EXPECT_EQ(mode, LineMode::Normal);
    expectMessages(
        got, {"From a@b Mon\r\nSubject: 1\r\n\r\nfrom lower case\r\nFrom\r\nbody\r\nCR\r\n",
              "From c@d Tue\r\nSubject: 2\r\n\r\nwith\nLF inside\r\n", "From e@f Wed\r\nlast line without break\r\n"});
}

TEST(LineMode, LinesStartingWithTwoLineFeeds) {
    // LF LF "From " starts a message and loses its two LFs; LF LF and
    // anything else starts one and is kept whole.
    std::string box = "From a\r\nx\r\n\n\nFrom b\r\ny\r\n\n\nz\r\n";
    expectMessages(splitBytes(box), {"From a\r\nx\r\n", "From b\r\ny\r\n", "\n\nz\r\n"});
}

TEST(Splitter, TheStartOfTheFileInBothModes) {
    // Each case with LF breaks (block mode) and with CR LF breaks (line mode),
    // with and without a UTF-8 byte order mark; the messages are the same.
    const struct {
        const char* text;
        std::vector<std::string> want;
    } cases[] = {
        {"", {}},
        {"\n \n\t\n", {}},
        {"From a\nx\nFrom b\ny\n", {"From a\r\nx\r\n", "From b\r\ny\r\n"}},
        {"\n\nFrom a\nx\n", {"From a\r\nx\r\n"}},                                        // blank preamble
        {"Subject: hi\nTo: c@d\n\nbody\n", {"Subject: hi\r\nTo: c@d\r\n\r\nbody\r\n"}},  // one message, no separator
        {"Subject: hi\n\nbody\nFrom a\nx\n", {"Subject: hi\r\n\r\nbody\r\n", "From a\r\nx\r\n"}},
        {"\n \nSubject: late\n\nbody\n", {"\r\n \r\nSubject: late\r\n\r\nbody\r\n"}},  // blank lines, then fields
        {"exported by hand\nFrom a\nx\n", {"From a\r\nx\r\n"}},                        // prose is no message
        {"\x89PNG\n\x1a\n", {}},                                                       // nor an image
        {" Subject: hi\n\nbody\n", {}},                                                // a continuation first
        {"Subject :old\n\nb\n", {"Subject :old\r\n\r\nb\r\n"}},                       // blanks before the colon
        {"\nno header\n", {"\r\nno header\r\n"}},                                     // an empty header, a body
    };
    for (const auto& c : cases) {
        const std::string lf = c.text, crlfText = crlf(lf);
        for (const std::string& box : {lf, crlfText, "\xEF\xBB\xBF" + lf, "\xEF\xBB\xBF" + crlfText}) {
            SCOPED_TRACE(testing::PrintToString(box));
            expectMessages(splitBytes(box), c.want);
        }
    }
}

TEST(BlockMode, EveryBoundaryInOneBlock) {
    // Several boundaries close together, a body line starting with "From ",
    // CR LF and lone CR inside a bare-LF file, text before the first
    // separator in message 1.
    std::string pad = "X-Pre: amble\n" + std::string(600, 'p');  // keeps the CR LF below out of the probe's 512 bytes
    std::string box = pad + "\nFrom a\nA\nFrom b\nB\r\nC\rD\nFrom c\nFrom d\nlast";
    LineMode mode;
    Collected got = splitBytes(box, &mode);
    EXPECT_EQ(mode, LineMode::NotNormal);
    expectMessages(got, {"X-Pre: amble\r\n" + std::string(600, 'p') + "\r\n", "From a\r\nA\r\n",
                         "From b\r\nB\r\nC\r\nD\r\n", "From c\r\n", "From d\r\nlast"});
}

TEST(BlockMode, BoundariesAndBreaksAcrossReads) {
    const size_t R = MailboxSplitter::kReadSize;
    for (size_t shift = 0; shift <= 7; ++shift) {
        // "\nFrom " placed so that it straddles the first read's end by `shift`.
        std::string box = "From first\n" + std::string(R - 11 - 6 + shift, 'a') + "\nFrom second\nb\n";
        expectMessages(splitBytes(box), blockModel(box));
    }
    // A CR LF split between two reads is one break.
    std::string box = "From x\n" + std::string(R - 8, 'a') + "\r\nFrom y\nz\n";
    ASSERT_EQ(box[R - 1], '\r');
    expectMessages(splitBytes(box), blockModel(box));
}

TEST(LineMode, LinesAndBreaksAcrossReads) {
    const size_t R = MailboxSplitter::kReadSize;
    std::string box = "From x\r\n" + std::string(R - 9, 'a') + "\r\nFrom y\r\n" + std::string(R, 'b') + "\r\n";
    ASSERT_EQ(box[R - 1], '\r');
    expectMessages(splitBytes(box), lineModel(box));
    // Line starts that decide a boundary (and lines shorter than the test
    // looks at) cut by the first read's end after `cut` bytes.
    for (std::string start : {"\n\nFrom y", "From y", "\n\nz", "Fro", "\n\nFro"}) {
        for (size_t cut = 0; cut <= start.size(); ++cut) {
            std::string box = "From x\r\n" + std::string(R - 10 - cut, 'a') + "\r\n" + start + "\r\nend\r\n";
            ASSERT_EQ(box.substr(R, 2), (start + "\r\n").substr(cut, 2));
            expectMessages(splitBytes(box), lineModel(box));
        }
    }
}

TEST(Splitter, RandomMailboxesMatchTheRules) {
    // Token soup rich in separators and line breaks, long enough to cross
    // several reads, in both modes.
    const std::vector<std::string> tokens = {"From x@y Mon Jan 1\n",
                                             "\n",
                                             "\r",
                                             "\r\n",
                                             "\n\nFrom z",
                                             "\n\n",
                                             "From ",
                                             "\nFrom ",
                                             "From",
                                             "text ",
                                             "\nfrom ",
                                             "\x00\xff"};
    for (unsigned seed = 1; seed <= 4; ++seed) {
        std::mt19937 rng(seed);
        std::string box;
        bool crlfFile = seed % 2 == 0;
        box = crlfFile ? "From start\r\n" : "From start\n" + std::string(600, 's') + "\n";
        while (box.size() < 2 * MailboxSplitter::kReadSize + 4096) {
            size_t t = rng() % (tokens.size() + 6);
            box += t < tokens.size() ? tokens[t] : std::string(rng() % 300, char('a' + t));
        }
        LineMode mode;
        Collected got = splitBytes(box, &mode);
        ASSERT_EQ(mode, crlfFile ? LineMode::Normal : LineMode::NotNormal);
        expectMessages(got, crlfFile ? lineModel(box) : blockModel(box));
    }
}

TEST(Splitter, EveryByteValuePassesThrough) {
    std::string all;
    for (int c = 0; c < 256; ++c)
        if (c != '\r' && c != '\n') all += char(c);
    std::string lf = "From a\n" + all + "\n";
    expectMessages(splitBytes(lf), {"From a\r\n" + all + "\r\n"});
    std::string cr = "From a\r\n" + all + "\r\n";
    expectMessages(splitBytes(cr), {"From a\r\n" + all + "\r\n"});
}

TEST(Splitter, MessageOfTensOfMegabytes) {
    std::string line(76, 'Q');
    line += "\n";
    std::string box = "From big\n";
    while (box.size() < 40u * 1024 * 1024) box += line;
    box += "From small\nx\n";
    Collected got = splitBytes(box);
    ASSERT_EQ(got.texts.size(), 2u);
    EXPECT_EQ(got.texts[0], crlf(box.substr(0, box.size() - 13)));
    EXPECT_EQ(got.texts[1], "From small\r\nx\r\n");
}

TEST(Splitter, EveryCorpusMailboxInBothModesThroughTheRun) {
    auto boxes = testsupport::CorpusMailboxes();
    if (boxes.empty()) GTEST_SKIP() << "the shared corpus (../shared/corpus) is missing";
    TempDir dir;
    int files = 0;
    for (const auto& box : boxes) {
        std::string bytes = testsupport::ReadFile(box);
        // The mailbox as it is, with CR LF breaks and with bare LF breaks.
        std::string lf;
        for (size_t i = 0; i < bytes.size(); ++i)
            if (!(bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')) lf += bytes[i];
        std::string crlfBox;
        for (char c : lf) crlfBox += c == '\n' ? std::string("\r\n") : std::string(1, c);
        int variant = 0;
        for (const std::string& text : {bytes, lf, crlfBox}) {
            fs::path src = dir.path() / "in" / (std::to_string(variant++) + "-" + box.filename().string());
            WriteFile(src, text);
            RunOutcome o = testsupport::ConvertRows(dir.path() / "out", TargetForm::Eml, {src.string()});
            LineMode mode = ReadMBOXFile(text);
            auto want = mode == LineMode::Normal ? lineModel(text) : blockModel(text);
            // A mailbox with no message in it (the corpus has an empty one) is named as a failure.
            ASSERT_EQ(o.ok(), !want.empty()) << src << ": " << FailureSummary(o);
            fs::path folder = dir.path() / "out" / src.relative_path();
            for (size_t i = 0; i < want.size(); ++i) {
                fs::path f = folder / ("email-" + std::to_string(i + 1) + ".eml");
                ASSERT_EQ(testsupport::ReadFile(f), want[i] + "\r\n") << f;
                ++files;
            }
            EXPECT_FALSE(fs::exists(folder / ("email-" + std::to_string(want.size() + 1) + ".eml"))) << src;
            fs::remove_all(dir.path() / "out");
        }
    }
    EXPECT_GT(files, 1000);
}

// ---- sources that are not regular files ------------------------------------

namespace {

// The message files the run wrote for `source`, without the CR LF each file ends with.
std::vector<std::string> convertedMessages(const std::string& out, const std::string& source) {
    std::vector<std::string> texts;
    fs::path folder = fs::path(out) / PathWithoutRoot(source);
    for (int n = 1;; ++n) {
        fs::path f = folder / ("email-" + std::to_string(n) + ".eml");
        if (!fs::exists(f)) return texts;
        std::string text = testsupport::ReadFile(f);
        texts.push_back(text.substr(0, text.size() - 2));
    }
}

RunOutcome convertRows(testsupport::RecordingView& view, std::vector<std::string> rows) {
    return testsupport::ConvertRows(view, TargetForm::Eml, std::move(rows));
}

}  // namespace

TEST(Source, PipeGivesTheMessagesOfTheFile) {
    // Longer than the probe and than one read, in both modes.
    std::string box;
    for (int i = 0; box.size() < MailboxSplitter::kReadSize + 4096; ++i)
        box +=
            "From m" + std::to_string(i) + "\nSubject: " + std::to_string(i) + "\n\n" + std::string(30000, 'b') + "\n";
    for (const std::string& text : {box, crlf(box)}) {
        TempDir dir;
        FedPipe pipe(text);
        testsupport::RecordingView view;
        view.folder = dir.str();
        EXPECT_TRUE(convertRows(view, {pipe.path()}).ok());
        auto want = ReadMBOXFile(text) == LineMode::Normal ? lineModel(text) : blockModel(text);
        EXPECT_GT(want.size(), 30u);
        EXPECT_EQ(convertedMessages(view.folder, pipe.path()), want);
    }
}

TEST(Source, FifoWithoutWriterIsAnEmptyMailbox) {
    // Opening a FIFO for reading would wait for a writer; none comes.
    TempDir dir;
    fs::path fifo = dir.path() / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    testsupport::RecordingView view;
    view.folder = (dir.path() / "out").string();
    RunOutcome o = convertRows(view, {fifo.string()});
    EXPECT_EQ(o.messagesSaved, 0);
    ASSERT_EQ(o.failures.size(), 1u);  // read to its end, like an empty file
    EXPECT_EQ(o.failures[0].cause, kNoMessagesFound);
}

TEST(Source, FoldersDevicesAndMissingFilesAreRefusedWithTheirCause) {
    TempDir dir;
    const std::pair<std::string, std::string> cases[] = {
        {"/dev/zero", "not a mailbox file: a character device"},
        {dir.str(), "not a mailbox file: a folder"},
        {(dir.path() / "missing").string(), "cannot read the mailbox: No such file or directory"},
    };
    for (const auto& [path, cause] : cases) {
        Split s = splitPath(path);
        EXPECT_FALSE(s.ok);
        EXPECT_EQ(s.error, cause);
    }
    testsupport::RecordingView view;
    view.folder = (dir.path() / "out").string();
    RunOutcome o = convertRows(view, {"/dev/zero"});
    ASSERT_EQ(o.failures.size(), 1u);
    EXPECT_EQ(o.failures[0].cause, "not a mailbox file: a character device");
}

TEST(Splitter, StreamThatOutgrowsTheMessageLimitFailsItsMailbox) {
    // A pipe that runs on past the limit: lines with LF breaks (block mode),
    // with CR LF breaks and with none (line mode); one message comes first.
    const size_t limit = 3 * MailboxSplitter::kReadSize + 100;
    const struct {
        std::string start, fill;
        int messagesBefore;
    } cases[] = {
        {"From a\nx\nFrom b\n", "yes\n", 1},
        {"From a\r\nx\r\nFrom b\r\n", "yes\r\n", 1},
        {"From a\r\nx\r\nFrom b\r\n", "yes", 1},
        {"", "no line break at all ", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.start + c.fill));
        FedPipe pipe(c.start, c.fill, 2 * limit);
        Split s = splitPath(pipe.path(), limit);
        EXPECT_FALSE(s.ok);
        EXPECT_EQ(s.error, "message " + std::to_string(c.messagesBefore + 1) + " is larger than the limit of " +
                               std::to_string(limit) + " bytes");
        ASSERT_EQ(s.got.texts.size(), size_t(c.messagesBefore));
    }
}
