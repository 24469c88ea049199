// Convert through the window: the request it hands the run, the controls the
// run drives, and how the window stays live (and can be closed) meanwhile.
#include "WindowFixture.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <sstream>

#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QTimer>

#include "common/registry.h"
#include "tests/support/files.h"

namespace fs = std::filesystem;

namespace {

using testsupport::TempDir;

// A mailbox of `messages` messages of `bodyLines` lines each, CR LF ended.
std::string makeMailbox(const fs::path& file, int messages, int bodyLines) {
    std::ostringstream text;
    for (int m = 1; m <= messages; ++m) {
        text << "From sender" << m << "@example.org Mon Jan  1 00:00:00 2024\r\n"
             << "Subject: message " << m << "\r\n\r\n";
        for (int l = 0; l < bodyLines; ++l) text << "line " << l << " of message " << m << "\r\n";
    }
    testsupport::WriteFile(file, text.str());
    return file.string();
}

int countFiles(const fs::path& folder, const std::string& extension) {
    return int(testsupport::FilesWithExtension(folder, extension, false).size());
}

fs::path mailboxFolder(const fs::path& out, const std::string& source) {
    return out / PathWithoutRoot(NormaliseSourcePath(source));
}

}  // namespace

TEST_F(WindowTest, ConvertWithoutAFormAsksForOneAndOpensNoDialog) {
    dialogs.fileAnswers = {"/m/a.mbox"};
    button("cmdAdd")->click();
    button("CmdConvert")->click();
    EXPECT_TRUE(dialogs.folderTitles.empty());
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_EQ(dialogs.messages[0].text, "Please select a option to convert file(s).");
    EXPECT_EQ(dialogs.messages[0].style, 64);
    EXPECT_TRUE(button("CmdConvert")->isEnabled());
}

TEST_F(WindowTest, CancelledOutputFolderLeavesEverythingAsItWas) {
    dialogs.fileAnswers = {"/m/a.mbox"};
    button("cmdAdd")->click();
    option("OptEML")->click();
    button("CmdConvert")->click();
    EXPECT_EQ(dialogs.folderTitles, std::vector<std::string>{"Choose Folder to Save..."});
    EXPECT_TRUE(dialogs.messages.empty());
    EXPECT_TRUE(button("CmdConvert")->isEnabled());
    EXPECT_TRUE(option("OptEML")->isChecked());
}

TEST_F(WindowTest, ConvertsCorpusMailboxesToEmlFiles) {
    const fs::path corpus = fs::path(VELLARY_CORPUS_DIR) / "mbox";
    const fs::path crlf = corpus / "mail-box-win-crlf.mbox";
    const fs::path lf = corpus / "mail-box-src.mbox";
    if (!fs::exists(crlf) || !fs::exists(lf)) GTEST_SKIP() << "corpus missing: " << corpus;
    TempDir out;

    dialogs.fileAnswers = {crlf.string(), lf.string()};
    button("cmdAdd")->click();
    button("cmdAdd")->click();
    option("OptEML")->click();
    dialogs.folderAnswers = {out.path().string()};
    bool convertEnabledAtTheEnd = true;
    dialogs.onMessage = [&](const ShownMessage&) { convertEnabledAtTheEnd = button("CmdConvert")->isEnabled(); };
    button("CmdConvert")->click();

    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_EQ(dialogs.messages[0].text, std::string(75, '*') +
                                            "\r\nYour messages from Vellary files has been successfully exported.\r\n" +
                                            std::string(75, '*') + "\r\n");
    EXPECT_EQ(dialogs.messages[0].style, 64);
    EXPECT_FALSE(convertEnabledAtTheEnd);  // disabled while the run worked
    // Both mailboxes are the same 45 messages, once with CR LF and once with LF.
    EXPECT_EQ(countFiles(mailboxFolder(out.path(), crlf.string()), ".eml"), 45);
    EXPECT_EQ(countFiles(mailboxFolder(out.path(), lf.string()), ".eml"), 45);
    EXPECT_TRUE(fs::exists(mailboxFolder(out.path(), lf.string()) / "email-45.eml"));

    // The end state: Convert back, no form chosen, the labels where the run left them.
    EXPECT_TRUE(button("CmdConvert")->isEnabled());
    for (const char* name : {"OptEML", "OptEMLX", "OptPST", "OptMSG"}) EXPECT_FALSE(option(name)->isChecked()) << name;
    EXPECT_EQ(caption("LblProgessCurrent"), QStringLiteral("Mailbox 2 (of 2) "));
    EXPECT_EQ(caption("LblIMMFile"), QStringLiteral("mail-box-src.mbox"));
    EXPECT_TRUE(caption("LblProgress").startsWith(QStringLiteral("Saved ")));
    EXPECT_EQ(grid()->currentIndex().row(), 1);
    EXPECT_EQ(countLabel(), QStringLiteral("2 files"));
}

TEST_F(WindowTest, MissingMailboxIsReportedAndConvertComesBack) {
    dialogs.fileAnswers = {"/m/absent.mbox"};
    button("cmdAdd")->click();
    option("OptEMLX")->click();
    TempDir out;
    dialogs.folderAnswers = {out.path().string()};
    button("CmdConvert")->click();
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_EQ(dialogs.messages[0].style, 48);  // completion with the failure summary
    EXPECT_NE(dialogs.messages[0].text.find("/m/absent.mbox"), std::string::npos) << dialogs.messages[0].text;
    EXPECT_TRUE(button("CmdConvert")->isEnabled());
    EXPECT_FALSE(option("OptEMLX")->isChecked());
}

TEST_F(WindowTest, StaysLiveDuringARunButPumpsOnlyEveryFewMilliseconds) {
    TempDir out;
    const std::string source = makeMailbox(out.path() / "big.mbox", 400, 400);
    prepareEmlRun(source, (out.path() / "out").string());

    // A timer that fires whenever the window handles its events.
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start(1);
    auto start = std::chrono::steady_clock::now();
    button("CmdConvert")->click();
    auto elapsedMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    timer.stop();

    EXPECT_EQ(countFiles(mailboxFolder(out.path() / "out", source), ".eml"), 400);
    if (elapsedMs >= 60) {
        EXPECT_GE(ticks, 1) << elapsedMs << " ms without handling events";
    }
    // One pump per 20 ms or so, not one per line (160,000 lines here).
    EXPECT_LE(ticks, elapsedMs / 15 + 3) << elapsedMs << " ms";
}

TEST_F(WindowTest, ClosingDuringARunStopsItAtOnce) {
    TempDir out;
    const std::string source = makeMailbox(out.path() / "big.mbox", 3000, 200);
    prepareEmlRun(source, (out.path() / "out").string());
    window.show();
    QTimer::singleShot(0, &window, [&] { window.close(); });
    button("CmdConvert")->click();

    EXPECT_TRUE(window.stopRequested());
    EXPECT_FALSE(window.isVisible());
    EXPECT_TRUE(dialogs.messages.empty());  // no completion box after a close
    EXPECT_LT(countFiles(mailboxFolder(out.path() / "out", source), ".eml"), 3000);
}

TEST_F(WindowTest, ExitDuringARunAnsweredNoLetsTheRunFinish) {
    TempDir out;
    const std::string source = makeMailbox(out.path() / "big.mbox", 300, 200);
    prepareEmlRun(source, (out.path() / "out").string());
    dialogs.messageAnswers = {AnswerNo};
    QTimer::singleShot(0, &window, [&] { button("cmdEnd")->click(); });
    button("CmdConvert")->click();

    ASSERT_EQ(dialogs.messages.size(), 2u);
    EXPECT_EQ(dialogs.messages[0].text, "Are you sure you want to exit now?");
    EXPECT_EQ(dialogs.messages[1].style, 64);  // the completion box
    EXPECT_FALSE(window.stopRequested());
    EXPECT_EQ(countFiles(mailboxFolder(out.path() / "out", source), ".eml"), 300);
}

TEST_F(WindowTest, ExitDuringARunAnsweredYesStopsIt) {
    TempDir out;
    const std::string source = makeMailbox(out.path() / "big.mbox", 3000, 200);
    prepareEmlRun(source, (out.path() / "out").string());
    dialogs.messageAnswers = {AnswerYes};
    window.show();
    QTimer::singleShot(0, &window, [&] { button("cmdEnd")->click(); });
    button("CmdConvert")->click();

    EXPECT_EQ(dialogs.messages.size(), 1u);  // the question only
    EXPECT_TRUE(window.stopRequested());
    EXPECT_LT(countFiles(mailboxFolder(out.path() / "out", source), ".eml"), 3000);
}

namespace {

std::vector<std::string> storesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& store : testsupport::FilesWithExtension(folder, ".pst", false))
        names.push_back(store.filename().string());
    return names;
}

}  // namespace

TEST_F(WindowTest, SingleStoreBoxDecidesBetweenOneStoreAndOnePerMailbox) {
    TempDir work;
    // The folder dialog gives existing folders only.
    for (const char* folder : {"src", "one", "each"}) fs::create_directories(work.path() / folder);
    const std::string inbox = makeMailbox(work.path() / "src" / "Inbox.mbox", 2, 3);
    const std::string sent = makeMailbox(work.path() / "src" / "Sent.mbox", 1, 3);
    dialogs.folderAnswers = {(work.path() / "src").string()};
    button("CmdAddFolder")->click();
    ASSERT_EQ(window.sourceRows(), (std::vector<std::string>{inbox, sent}));

    // Checked (as at start): one store for both mailboxes.
    option("OptPST")->click();
    dialogs.folderAnswers = {(work.path() / "one").string()};
    button("CmdConvert")->click();
    std::vector<std::string> stores = storesIn(work.path() / "one");
    ASSERT_EQ(stores.size(), 1u) << dialogs.messages.back().text;
    EXPECT_EQ(stores[0].rfind("Vellary", 0), 0u) << stores[0];
    EXPECT_EQ(dialogs.messages.back().style, 64) << dialogs.messages.back().text;
    EXPECT_FALSE(option("OptPST")->isChecked());
    EXPECT_TRUE(singleStore()->isEnabled());  // keeps its state after the run

    // Unchecked: a store per mailbox, named after it.
    option("OptPST")->click();
    singleStore()->click();
    dialogs.folderAnswers = {(work.path() / "each").string()};
    button("CmdConvert")->click();
    EXPECT_EQ(storesIn(work.path() / "each"), (std::vector<std::string>{"Inbox.pst", "Sent.pst"}));
}

// A listed file with no message in it is named in the completion box under
// the exclamation icon, as other failures are.
TEST_F(WindowTest, FileWithNoMessageIsNamedInTheCompletionBox) {
    TempDir dir;
    fs::path empty = dir.path() / "empty.mbox";
    testsupport::WriteFile(empty, "");
    prepareEmlRun(empty.string(), (dir.path() / "out").string());
    button("CmdConvert")->click();
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_EQ(dialogs.messages[0].style, 48);
    EXPECT_NE(dialogs.messages[0].text.find(empty.string() + ": no messages found"), std::string::npos)
        << dialogs.messages[0].text;
}

// The output folder dialog opens at the desktop (the home folder when there
// is none), never where the sources are, and Choose takes no empty field:
// a quick Enter must not pick whatever folder the dialog shows.
TEST_F(WindowTest, OutputFolderDialogStartsAtTheDesktopAndNeedsAName) {
    TempDir dir;
    const QByteArray oldHome = qgetenv("HOME"), oldConfig = qgetenv("XDG_CONFIG_HOME");
    for (bool haveDesktop : {true, false}) {
        SCOPED_TRACE(haveDesktop ? "with a desktop folder" : "without one");
        fs::path home = dir.path() / (haveDesktop ? "home1" : "home2");
        fs::create_directories(home / "pick");
        if (haveDesktop) fs::create_directories(home / "Desktop" / "pick");
        qputenv("HOME", QByteArray::fromStdString(home.string()));
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString((home / ".config").string()));
        const fs::path start = haveDesktop ? home / "Desktop" : home;

        FolderDialog dialog(&window, QStringLiteral("Choose Folder to Save..."));
        EXPECT_EQ(fs::path(dialog.directory().absolutePath().toStdString()), start);
        dialog.show();
        QCoreApplication::processEvents();
        auto* field = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        ASSERT_NE(field, nullptr);
        EXPECT_TRUE(field->text().isEmpty());
        if (auto* box = dialog.findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"))) {
            EXPECT_FALSE(box->button(QDialogButtonBox::Open)->isEnabled());
        }
        dialog.accept();  // Enter on the empty field
        EXPECT_TRUE(dialog.isVisible());
        EXPECT_NE(dialog.result(), QDialog::Accepted);

        field->setText(QStringLiteral("pick"));
        dialog.accept();
        EXPECT_EQ(dialog.result(), QDialog::Accepted);
        ASSERT_FALSE(dialog.selectedFiles().isEmpty());
        EXPECT_EQ(fs::path(dialog.selectedFiles().front().toStdString()), start / "pick");
    }
    qputenv("HOME", oldHome);
    if (oldConfig.isEmpty())
        qunsetenv("XDG_CONFIG_HOME");
    else
        qputenv("XDG_CONFIG_HOME", oldConfig);
}
