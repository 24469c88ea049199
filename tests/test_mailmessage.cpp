// The mail component's load-and-save round trip leaves every message file
// exactly as it was written.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "TestSupport.h"
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
    for (const auto& box : mailboxes) {
        RecordingView view;
        view.folder = (dir.path() / "split").string();
        RunRequest request;
        request.form = TargetForm::Eml;
        request.rows = {box.string()};
        ConversionRun(view, request).execute();
    }
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
        ++checked;
        matched += m.lastSaveMatched();
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
