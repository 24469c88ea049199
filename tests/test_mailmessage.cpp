// The mail component's load-and-save round trip leaves every message file
// exactly as it was written.
#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "tests/support/files.h"
#include "tests/support/recording_view.h"
#include "conversion/ConversionRun.h"
#include "conversion/MailMessage.h"

using namespace conversion;
using namespace testsupport;

TEST(MailMessage, RoundTripKeepsEveryCorpusMessageByteForByte) {
    auto messages = CorpusMessages();
    auto mailboxes = CorpusMailboxes();
    if (messages.empty()) GTEST_SKIP() << "the shared corpus (../shared/corpus) is missing";
    TempDir dir;
    int checked = 0, matched = 0;
    // The corpus messages themselves, and every message the splitter cuts out
    // of the corpus mailboxes (in line mode the run round-trips each one).
    std::vector<fs::path> files = messages;
    for (const auto& box : mailboxes) ConvertRows(dir.path() / "split", TargetForm::Eml, {box.string()});
    for (auto& e : fs::recursive_directory_iterator(dir.path() / "split")) {
        if (e.is_regular_file()) files.push_back(e.path());
    }
    for (const auto& src : files) {
        fs::path copy = dir.path() / "m.eml";
        std::string before = ReadFile(src);
        WriteFile(copy, before);
        MailMessage m;
        ASSERT_TRUE(m.Load(copy.string())) << src;
        ASSERT_TRUE(m.Save(copy.string())) << src;
        ASSERT_EQ(ReadFile(copy), before) << src;
        // The header read at loading is the one the whole message has.
        // (GMime makes no message of a text that does not start with one.)
        std::string subject = m.header("Subject");
        if (m.topLevelPartCount() >= 0) {
            ASSERT_EQ(m.header("Subject"), subject) << src;
        }
        ++checked;
        matched += m.matchesLibraryForm();
    }
    EXPECT_GT(checked, 100);
    RecordProperty("matched_by_gmime", matched);
    std::printf("%d of %d messages are GMime's own form byte for byte\n", matched, checked);
}

TEST(MailMessage, MissingFileAndSaveElsewhere) {
    TempDir dir;
    MailMessage m;
    EXPECT_FALSE(m.Load((dir.path() / "none.eml").string()));
    EXPECT_FALSE(m.Save((dir.path() / "x.eml").string()));
    std::string text = "From a\r\nSubject: s\r\n\r\nbody\r\n";
    WriteFile(dir.path() / "a.eml", text);
    ASSERT_TRUE(m.Load((dir.path() / "a.eml").string()));
    ASSERT_TRUE(m.Save((dir.path() / "b.eml").string()));
    EXPECT_EQ(ReadFile(dir.path() / "b.eml"), text);
}

TEST(MailMessage, HeaderAtLoadingAndBodyOnDemand) {
    TempDir dir;
    struct Case {
        std::string text, subject;
        int parts;  // at the message's top; -1 when GMime makes no message
    };
    const std::string multipart =
        "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n"
        "Subject: =?utf-8?q?caf=C3=A9?=\r\n\r\n--b\r\nContent-Type: text/plain\r\n\r\none\r\n"
        "--b\r\nContent-Type: application/octet-stream\r\n\r\ntwo\r\n--b--\r\n";
    const Case cases[] = {
        {"From a@b Mon Jan 1 00:00:00 2024\r\n" + multipart, "caf\xC3\xA9", 2},
        {multipart, "caf\xC3\xA9", 2},
        {"Subject: bare LF\nX: y\n\nbody\n", "bare LF", 1},
        {"Subject: no body, no blank line\r\n", "no body, no blank line", 1},
        {"\r\nno header at all\r\n", "", 1},
        {"", "", -1},
    };
    for (const auto& c : cases) {
        fs::path file = dir.path() / "m.eml";
        WriteFile(file, c.text);
        MailMessage m;
        ASSERT_TRUE(m.Load(file.string()));
        EXPECT_EQ(m.header("Subject"), c.subject) << c.text;
        EXPECT_EQ(m.topLevelPartCount(), c.parts) << c.text;
        EXPECT_EQ(m.header("Subject"), c.subject) << c.text;
        EXPECT_TRUE(m.Save(file.string()));
        EXPECT_EQ(ReadFile(file), c.text);
    }
}

// The header is read in growing pieces: its end may fall anywhere around the
// edge of a piece, and a "From " line or a header may be longer than one,
// or than the most it reads before it maps the file instead.
TEST(MailMessage, HeaderEndingAroundReadEdges) {
    TempDir dir;
    fs::path file = dir.path() / "m.eml";
    for (const char* eol : {"\r\n", "\n"}) {
        for (size_t fromLength : {size_t(0), size_t(40), size_t(40000)}) {
            for (size_t target : {size_t(4094), size_t(4095), size_t(4096), size_t(4097), size_t(16383), size_t(16384),
                                  size_t(16385), size_t(16386), size_t(70000), size_t(3) << 20}) {
                std::string text;
                if (fromLength) text = "From " + std::string(fromLength, 'f') + eol;
                text += std::string("Subject: edge") + eol + "X-Fill: ";
                // Fill so that the blank line starts at `target`.
                size_t fill = target > text.size() + 2 * std::strlen(eol) ? target - text.size() - std::strlen(eol) : 1;
                text += std::string(fill, 'x') + eol + eol + "Subject: in the body" + eol;
                WriteFile(file, text);
                MailMessage m;
                ASSERT_TRUE(m.Load(file.string()));
                ASSERT_EQ(m.header("Subject"), "edge") << fromLength << " " << target;
                ASSERT_EQ(m.header("X-Fill").size(), fill) << fromLength << " " << target;
                ASSERT_TRUE(m.Save(file.string()));
                ASSERT_EQ(ReadFile(file), text);
            }
        }
    }
}
