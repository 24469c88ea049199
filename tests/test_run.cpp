// The conversion run end to end for the EML and EMLX forms: output layout,
// file names and bytes, captions, completion texts and failure reports; and
// for every form, what it does with links planted in the output tree.
#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/files.h"
#include "tests/support/recording_view.h"
#include "common/registry.h"
#include "conversion/ConversionRun.h"

using namespace conversion;
using namespace testsupport;

namespace {

// Where the run puts a mailbox's message files.
fs::path mailboxFolderFor(const std::string& out, const fs::path& source) {
    return fs::path(out) / PathWithoutRoot(source.string());
}

}  // namespace

TEST(Run, NoFormChosenShowsTheMessageAndNothingElse) {
    RecordingView view;
    view.folder = "/nonexistent-never-used";
    RunOutcome o = ConvertRows(view, TargetForm::None, {"/x.mbox"});
    EXPECT_FALSE(o.started);
    ASSERT_EQ(view.boxes.size(), 1u);
    EXPECT_EQ(view.boxes[0].text, "Please select a option to convert file(s).");
    EXPECT_EQ(view.boxes[0].title, "Osmark Vellary Converter");
    EXPECT_EQ(view.boxes[0].style, 64);
    EXPECT_TRUE(view.convertEnabled.empty());
}

TEST(Run, CancelledFolderDialogEndsSilently) {
    RecordingView view;  // folder "" = cancelled
    RunOutcome o = ConvertRows(view, TargetForm::Eml, {"/x.mbox"});
    EXPECT_FALSE(o.started);
    EXPECT_TRUE(view.boxes.empty());
    EXPECT_TRUE(view.convertEnabled.empty());
    EXPECT_EQ(view.clears, 0);
}

TEST(Run, ConvertsMailboxesIntoFoldersBelowTheOutputFolder) {
    TempDir dir;
    // Names with spaces, non-ASCII characters and ".mbox" in odd places.
    fs::path a = dir.path() / "src dir" / "Fächer ✓" / "in box.mbox";
    fs::path b = dir.path() / "src dir" / "a.mbox.MBOX";
    WriteFile(a, "From a@b Mon\r\nSubject: one\r\n\r\nbody 1\r\nFrom c@d Tue\r\nSubject: two\r\n\r\nbody 2\r\n");
    WriteFile(b, "From x Mon\nSubject: lf\n\nbody\n");
    std::string out = (dir.path() / "out").string();

    for (TargetForm form : {TargetForm::Eml, TargetForm::Emlx}) {
        RecordingView view;
        view.folder = out;  // no trailing separator: one is added
        RunOutcome o = ConvertRows(view, form, {a.string(), "  " + b.string() + "  "});
        EXPECT_TRUE(o.ok());
        EXPECT_EQ(o.messagesSaved, 3);
        const char* ext = form == TargetForm::Eml ? ".eml" : ".emlx";
        fs::path fa = mailboxFolderFor(out, a), fb = mailboxFolderFor(out, b);
        EXPECT_EQ(ReadFile(fa / (std::string("email-1") + ext)), "From a@b Mon\r\nSubject: one\r\n\r\nbody 1\r\n\r\n");
        EXPECT_EQ(ReadFile(fa / (std::string("email-2") + ext)), "From c@d Tue\r\nSubject: two\r\n\r\nbody 2\r\n\r\n");
        EXPECT_EQ(ReadFile(fb / (std::string("email-1") + ext)), "From x Mon\r\nSubject: lf\r\n\r\nbody\r\n\r\n");
        EXPECT_FALSE(fs::exists(fa / (std::string("email-3") + ext)));

        EXPECT_EQ(view.mailboxCaptions, (std::vector<std::string>{"Mailbox 1 (of 2) ", "Mailbox 2 (of 2) "}));
        EXPECT_EQ(view.sourceCaptions.back(), "a.mbox.MBOX");
        EXPECT_EQ(view.progressCaptions.back(), "Saved 1 Email Messages...");
        EXPECT_EQ(view.rows, (std::vector<int>{0, 1}));
        EXPECT_EQ(view.convertEnabled, (std::vector<bool>{false, true}));
        EXPECT_EQ(view.clears, 1);
        ASSERT_EQ(view.boxes.size(), 1u);
        EXPECT_EQ(view.boxes[0].text,
                  "***************************************************************************\r\n"
                  "Your messages from Vellary files has been successfully exported.\r\n"
                  "***************************************************************************\r\n");
        EXPECT_EQ(view.boxes[0].style, 64);
    }
}

TEST(Run, MailboxFolderStaysInsideTheOutputFolder) {
    TempDir dir;
    fs::path src = dir.path() / "m" / "box.mbox";
    WriteFile(src, "From a\r\nx\r\n");
    RecordingView view;
    view.folder = (dir.path() / "out").string() + "/";
    // "." and ".." parts are resolved before the path is placed below the output folder.
    std::string twisted = (dir.path() / "m" / ".." / "m" / "." / "box.mbox").string();
    RunOutcome o = ConvertRows(view, TargetForm::Eml, {twisted});
    EXPECT_TRUE(o.ok());
    EXPECT_TRUE(fs::exists(mailboxFolderFor(view.folder, src) / "email-1.eml"));
}

TEST(Run, SecondRunReplacesFilesNumberByNumber) {
    TempDir dir;
    fs::path src = dir.path() / "box.mbox";
    std::string out = (dir.path() / "out").string();
    WriteFile(src, "From 1\r\na\r\nFrom 2\r\nb\r\nFrom 3\r\nc\r\n");
    RecordingView v1;
    v1.folder = out;
    ConvertRows(v1, TargetForm::Eml, {src.string()});
    WriteFile(src, "From 9\r\nz\r\n");
    RecordingView v2;
    v2.folder = out;
    ConvertRows(v2, TargetForm::Eml, {src.string()});
    fs::path f = mailboxFolderFor(out, src);
    EXPECT_EQ(ReadFile(f / "email-1.eml"), "From 9\r\nz\r\n\r\n");
    EXPECT_EQ(ReadFile(f / "email-3.eml"), "From 3\r\nc\r\n\r\n");
}

TEST(Run, EmptyListRowIsProcessedWithoutOutputOrFailure) {
    TempDir dir;
    RecordingView view;
    view.folder = dir.str();
    RunOutcome o = ConvertRows(view, TargetForm::Emlx, {""});
    EXPECT_TRUE(o.ok());
    ASSERT_EQ(view.boxes.size(), 1u);
    EXPECT_EQ(view.boxes[0].style, 64);
    EXPECT_EQ(view.mailboxCaptions, (std::vector<std::string>{"Mailbox 1 (of 1) "}));
}

TEST(Run, FailuresAreCountedNamedAndNotReportedAsSuccess) {
    TempDir dir;
    fs::path good = dir.path() / "good.mbox";
    WriteFile(good, "From a\r\nx\r\n");
    fs::path missing = dir.path() / "missing.mbox";
    RecordingView view;
    view.folder = dir.str();
    RunOutcome o = ConvertRows(view, TargetForm::Eml, {missing.string(), good.string()});
    EXPECT_FALSE(o.ok());
    EXPECT_EQ(o.mailboxesFailed, 1);
    EXPECT_EQ(o.messagesSaved, 1);  // the rows after a failure are converted
    ASSERT_EQ(view.boxes.size(), 1u);
    EXPECT_EQ(view.boxes[0].style, 48);
    EXPECT_EQ(view.boxes[0].text.rfind(CompletionText(), 0), 0u);
    EXPECT_NE(view.boxes[0].text.find("Not converted: 1 mailbox, 0 messages."), std::string::npos);
    EXPECT_NE(view.boxes[0].text.find(missing.string() + ": cannot read the mailbox"), std::string::npos);
    EXPECT_EQ(view.clears, 1);
    EXPECT_EQ(view.convertEnabled.back(), true);
}

// A listed file in which the splitter finds no message leaves an empty
// folder: the run names it as a failure instead of reporting success, and
// the command-line converter exits 1 saying so.
TEST(Run, FileWithNoMessageIsAFailure) {
    const struct {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"empty file", ""},
        {"blank lines only", "\r\n \r\n\t\r\n"},
        {"blank bare-LF lines only", "\n\n  \n"},
        {"an image", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16)},
        {"prose without a From line, CR LF", "Dear reader,\r\nno mail here: none.\r\n"},
        {"prose without a From line, LF", "Dear reader,\nno mail here.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        fs::path empty = dir.path() / "nothing.mbox", good = dir.path() / "good.mbox";
        WriteFile(empty, c.bytes);
        WriteFile(good, "From a\r\nx\r\n");
        RecordingView view;
        view.folder = (dir.path() / "out").string();
        RunOutcome o = ConvertRows(view, TargetForm::Eml, {empty.string(), good.string()});
        EXPECT_EQ(o.mailboxesFailed, 1);
        EXPECT_EQ(o.messagesSaved, 1);
        ASSERT_EQ(view.boxes.size(), 1u);
        EXPECT_EQ(view.boxes[0].style, 48);
        EXPECT_NE(view.boxes[0].text.find(empty.string() + ": no messages found"), std::string::npos)
            << view.boxes[0].text;

        std::string command = std::string(VELLARY_BINARY_DIR) + "/cli/vellary-convert --to eml -o '" +
                              (dir.path() / "cli").string() + "' '" + empty.string() + "' 2>&1";
        FILE* cli = ::popen(command.c_str(), "r");
        ASSERT_NE(cli, nullptr);
        std::string said;
        char buf[512];
        while (size_t n = std::fread(buf, 1, sizeof buf, cli)) said.append(buf, n);
        int status = ::pclose(cli);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
        EXPECT_NE(said.find("no messages found"), std::string::npos) << said;
    }
}

TEST(Run, OutputFolderThatCannotBeWritten) {
    TempDir dir;
    fs::path src = dir.path() / "box.mbox";
    WriteFile(src, "From a\r\nx\r\nFrom b\r\ny\r\n");
    // A file where a folder should be: no folder can be made below it,
    // whoever runs the test.
    WriteFile(dir.path() / "blocker", "");
    RecordingView view;
    view.folder = (dir.path() / "blocker" / "out").string();
    RunOutcome o = ConvertRows(view, TargetForm::Eml, {src.string()});
    EXPECT_EQ(o.mailboxesFailed, 1);
    EXPECT_EQ(o.messagesSaved, 0);
    ASSERT_EQ(view.boxes.size(), 1u);
    EXPECT_EQ(view.boxes[0].style, 48);
    EXPECT_NE(view.boxes[0].text.find("cannot create the folder"), std::string::npos);
}

TEST(Run, MessageFileThatCannotBeWrittenIsCountedAndNumberingGoesOn) {
    TempDir dir;
    fs::path src = dir.path() / "box.mbox";
    WriteFile(src, "From a\nx\nFrom b\ny\nFrom c\nz\n");
    std::string out = (dir.path() / "out").string();
    fs::path folder = mailboxFolderFor(out, src);
    fs::create_directories(folder / "email-2.eml");  // a folder in the way of message 2
    RecordingView view;
    view.folder = out;
    RunOutcome o = ConvertRows(view, TargetForm::Eml, {src.string()});
    EXPECT_EQ(o.messagesFailed, 1);
    EXPECT_EQ(o.messagesSaved, 2);
    EXPECT_EQ(ReadFile(folder / "email-1.eml"), "From a\r\nx\r\n\r\n");
    EXPECT_EQ(ReadFile(folder / "email-3.eml"), "From c\r\nz\r\n\r\n");
    ASSERT_EQ(o.failures.size(), 1u);
    EXPECT_EQ(o.failures[0].path, (folder / "email-2.eml").string());
}

TEST(Run, ClosingTheWindowStopsTheRunAtOnce) {
    TempDir dir;
    fs::path src = dir.path() / "box.mbox";
    std::string box;
    for (int i = 0; i < 50; ++i) box += "From " + std::to_string(i) + "\r\nline\r\n";
    WriteFile(src, box);
    RecordingView view;
    view.folder = dir.str();
    view.stopAfterYields = 20;
    RunOutcome o = ConvertRows(view, TargetForm::Eml, {src.string(), src.string()});
    EXPECT_TRUE(o.stopped);
    EXPECT_LT(o.messagesSaved, 50);
    EXPECT_TRUE(view.boxes.empty());  // no completion message
}

TEST(Run, ManyMailboxesFailuresListIsCut) {
    TempDir dir;
    std::vector<std::string> rows;
    for (int i = 0; i < 8; ++i) rows.push_back((dir.path() / ("none" + std::to_string(i))).string());
    RecordingView view;
    view.folder = dir.str();
    RunOutcome o = ConvertRows(view, TargetForm::Eml, rows);
    EXPECT_EQ(o.mailboxesFailed, 8);
    EXPECT_NE(view.boxes.at(0).text.find("... and 3 more."), std::string::npos);
}

// A link planted in the output tree is refused and named, never followed:
// the file or folder it points to stays as it was, and so does the link. A
// hard link at a message file's name gets a new file; the other name keeps
// its bytes.
TEST(Run, LinksInTheOutputTreeAreNotFollowed) {
    struct Case {
        TargetForm form;
        const char* planted;  // a name in the mailbox folder; "" for the mailbox folder itself
        bool symbolic;
    };
    const Case cases[] = {
        {TargetForm::Eml, "email-1.eml", true},
        {TargetForm::Emlx, "email-1.emlx", true},
        {TargetForm::Msg, "Email-1.msg", true},
        {TargetForm::Eml, "email-1.eml", false},
        {TargetForm::Eml, "", true},
        {TargetForm::Pst, "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("form ") + std::to_string(int(c.form)) + ", link at \"" + c.planted + "\"");
        TempDir dir;
        fs::path src = dir.path() / "src" / "box.mbox";
        WriteFile(src, "From a\r\nSubject: 1\r\n\r\nx\r\nFrom b\r\nSubject: 2\r\n\r\ny\r\n");
        fs::path victim = dir.path() / "victim";
        WriteFile(victim / "file", "precious");
        std::string out = (dir.path() / "out").string();
        fs::path folder = mailboxFolderFor(out, src);
        fs::path planted = *c.planted ? folder / c.planted : folder;
        fs::create_directories(planted.parent_path());
        if (!c.symbolic)
            fs::create_hard_link(victim / "file", planted);
        else
            fs::create_symlink(*c.planted ? victim / "file" : victim, planted);

        RecordingView view;
        view.folder = out;
        RunOutcome o = ConvertRows(view, c.form, {src.string()});
        EXPECT_EQ(ReadFile(victim / "file"), "precious");
        EXPECT_EQ(std::distance(fs::directory_iterator(victim), fs::directory_iterator()), 1);
        if (!c.symbolic) {
            EXPECT_TRUE(o.ok());
            EXPECT_EQ(ReadFile(planted), "From a\r\nSubject: 1\r\n\r\nx\r\n\r\n");
            continue;
        }
        EXPECT_TRUE(fs::is_symlink(planted));
        EXPECT_EQ(o.messagesSaved, *c.planted ? 1 : 0);
        ASSERT_EQ(o.failures.size(), 1u);
        std::string named = o.failures[0].path + ": " + o.failures[0].cause;
        EXPECT_NE(named.find(planted.string() + ": a symbolic link is in the way"), std::string::npos) << named;
        EXPECT_EQ(view.boxes.at(0).style, 48);
    }
}
