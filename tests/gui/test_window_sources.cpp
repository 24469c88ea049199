// Filling and clearing the source list through the window's buttons.
#include "WindowFixture.h"
#include "tests/support/files.h"

#include <filesystem>

#include <QApplication>
#include <QScrollBar>

namespace fs = std::filesystem;

namespace {

std::string nulJoined(std::initializer_list<const char*> pieces) {
    std::string text;
    for (const char* piece : pieces) {
        text += piece;
        text.push_back('\0');
    }
    return text;
}

// A folder tree below a fresh temporary folder, removed afterwards.
class TempTree : public testsupport::TempDir {
public:
    void file(const std::string& relative) { testsupport::WriteFile(path() / relative, "From x\r\n"); }
    void folder(const std::string& relative) { fs::create_directories(path() / relative); }
};

}  // namespace

TEST_F(WindowTest, OneFileIsOneRowAndEnablesConvert) {
    dialogs.fileAnswers = {"/home/u/mail/inbox.mbox"};
    button("cmdAdd")->click();
    EXPECT_EQ(dialogs.lastFilter, "Vellary Files (*.*)|*.*|MBOX Files (*.mbox,*.mbx)|*.mbox;*.mbx");
    EXPECT_EQ(gridRows(), 1);
    EXPECT_EQ(cell(0), QStringLiteral("/home/u/mail/inbox.mbox"));
    EXPECT_EQ(countLabel(), QStringLiteral("1 files"));
    EXPECT_TRUE(button("CmdConvert")->isEnabled());
    EXPECT_TRUE(dialogs.messages.empty());
    EXPECT_EQ(grid()->currentIndex().row(), 0);
}

TEST(QtNameFilters, OffersEveryFileAndTheMailboxTypes) {
    EXPECT_EQ(shell::QtNameFilters("Vellary Files (*.*)|*.*|MBOX Files (*.mbox,*.mbx)|*.mbox;*.mbx"),
#ifdef _WIN32
              QStringLiteral("Vellary Files (*.*);;MBOX Files (*.mbox *.mbx)"));
#else
              QStringLiteral("Vellary Files (*);;MBOX Files (*.mbox *.mbx)"));
#endif
}

TEST_F(WindowTest, SeveralFilesOfOneFolderKeepTheDialogsOrder) {
    dialogs.fileAnswers = {"/home/u/mail/inbox.mbox"};
    button("cmdAdd")->click();
    dialogs.fileAnswers = {nulJoined({"/home/u/mail", "c.mbox", "a.mbox", "b.mbx"})};
    button("cmdAdd")->click();
    EXPECT_EQ(window.sourceRows(), (std::vector<std::string>{"/home/u/mail/inbox.mbox", "/home/u/mail/c.mbox",
                                                             "/home/u/mail/a.mbox", "/home/u/mail/b.mbx"}));
    EXPECT_EQ(countLabel(), QStringLiteral("4 files"));
    EXPECT_EQ(grid()->currentIndex().row(), 3);
}

TEST_F(WindowTest, FilesOfARootFolderGetADoubledSeparator) {
    // The folder is joined to the names without looking at its end.
    dialogs.fileAnswers = {nulJoined({"/", "a.mbox", "b.mbox"})};
    button("cmdAdd")->click();
    EXPECT_EQ(window.sourceRows(), (std::vector<std::string>{"//a.mbox", "//b.mbox"}));
}

TEST_F(WindowTest, TheSameFileTwiceIsTwoRows) {
    dialogs.fileAnswers = {"/m/a.mbox", "/m/a.mbox"};
    button("cmdAdd")->click();
    button("cmdAdd")->click();
    EXPECT_EQ(window.sourceRows(), (std::vector<std::string>{"/m/a.mbox", "/m/a.mbox"}));
    EXPECT_EQ(countLabel(), QStringLiteral("2 files"));
}

TEST_F(WindowTest, CancellingTheFileDialogChangesNothing) {
    button("cmdAdd")->click();
    EXPECT_EQ(dialogs.fileDialogs, 1);
    EXPECT_FALSE(button("CmdConvert")->isEnabled());
    EXPECT_EQ(window.sourceRows(), std::vector<std::string>{""});
    EXPECT_EQ(countLabel(), QStringLiteral("0 files"));
    EXPECT_TRUE(dialogs.messages.empty());
}

TEST_F(WindowTest, FileDialogErrorsAreReported) {
    dialogs.fileError = std::make_unique<shell::DialogError>(shell::kTooManyFilesError, "buffer too small");
    button("cmdAdd")->click();
    dialogs.fileError = std::make_unique<shell::DialogError>(32755, "Cancel was selected.");
    button("cmdAdd")->click();
    ASSERT_EQ(dialogs.messages.size(), 2u);
    EXPECT_EQ(dialogs.messages[0].text, "Please select only 1000 files at a time");
    EXPECT_EQ(dialogs.messages[0].style, 48);
    EXPECT_EQ(dialogs.messages[0].title, "Osmark Vellary Converter");
    EXPECT_EQ(dialogs.messages[1].text, "32755:Cancel was selected.");
    EXPECT_EQ(dialogs.messages[1].style, 48);
    EXPECT_EQ(window.sourceRows(), std::vector<std::string>{""});
    EXPECT_FALSE(button("CmdConvert")->isEnabled());
}

TEST_F(WindowTest, ClearAnsweredYesEmptiesTheListButKeepsConvert) {
    dialogs.fileAnswers = {nulJoined({"/m", "a.mbox", "b.mbox"})};
    button("cmdAdd")->click();
    dialogs.messageAnswers = {AnswerYes};
    button("cmdClear1")->click();
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_EQ(dialogs.messages[0].text, "Do you want to clear all the files in the list\r\n Proceed?");
    EXPECT_EQ(dialogs.messages[0].style, 36);
    EXPECT_EQ(dialogs.messages[0].title, "Osmark Vellary Converter");
    EXPECT_EQ(gridRows(), 1);
    EXPECT_EQ(cell(0), QString());
    EXPECT_EQ(countLabel(), QStringLiteral("0 files"));
    EXPECT_TRUE(button("CmdConvert")->isEnabled());
    // The next file lands in row 0 again.
    dialogs.fileAnswers = {"/m/c.mbox"};
    button("cmdAdd")->click();
    EXPECT_EQ(window.sourceRows(), std::vector<std::string>{"/m/c.mbox"});
    EXPECT_EQ(countLabel(), QStringLiteral("1 files"));
}

TEST_F(WindowTest, ClearAnsweredNoKeepsEveryRow) {
    dialogs.fileAnswers = {nulJoined({"/m", "a.mbox", "b.mbox"})};
    button("cmdAdd")->click();
    dialogs.messageAnswers = {AnswerNo};
    button("cmdClear1")->click();
    EXPECT_EQ(dialogs.messages.size(), 1u);
    EXPECT_EQ(window.sourceRows(), (std::vector<std::string>{"/m/a.mbox", "/m/b.mbox"}));
    EXPECT_EQ(countLabel(), QStringLiteral("2 files"));
}

TEST_F(WindowTest, ClearOnAnEmptyListAsksNothing) {
    button("cmdClear1")->click();
    EXPECT_TRUE(dialogs.messages.empty());
    EXPECT_EQ(countLabel(), QStringLiteral("0 files"));
}

TEST_F(WindowTest, FolderAddTakesTheTreeBreadthFirst) {
    TempTree tree;
    tree.file("x.mbox");
    tree.file("A/a.mbox");
    tree.file("A/C/c.mbox");
    tree.file("B/b.mbox");
    dialogs.folderAnswers = {tree.str()};  // no final separator
    button("CmdAddFolder")->click();
    ASSERT_EQ(dialogs.folderTitles, std::vector<std::string>{"Choose Source Folder..."});
    const std::string root = tree.str() + "/";
    EXPECT_EQ(window.sourceRows(),
              (std::vector<std::string>{root + "x.mbox", root + "A/a.mbox", root + "B/b.mbox", root + "A/C/c.mbox"}));
    EXPECT_EQ(countLabel(), QStringLiteral("4 files"));
    EXPECT_TRUE(button("CmdConvert")->isEnabled());
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_EQ(dialogs.messages[0].text, "4 Files Added to List.");
    EXPECT_EQ(dialogs.messages[0].style, 0);
    EXPECT_EQ(dialogs.messages[0].title, "Osmark Vellary Converter");
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(WindowTest, FolderAddedTwiceCountsOnlyTheSecondAdd) {
    TempTree tree;
    tree.file("notes.txt");
    tree.file("inbox.mbox");
    dialogs.folderAnswers = {tree.str() + "/", tree.str() + "/"};
    button("CmdAddFolder")->click();
    button("CmdAddFolder")->click();
    EXPECT_EQ(gridRows(), 4);
    EXPECT_EQ(countLabel(), QStringLiteral("4 files"));
    ASSERT_EQ(dialogs.messages.size(), 2u);
    EXPECT_EQ(dialogs.messages[1].text, "2 Files Added to List.");
    EXPECT_EQ(cell(2).toStdString(), tree.str() + "/inbox.mbox");
}

TEST_F(WindowTest, FolderWithoutFilesDisablesConvertAndKeepsTheList) {
    dialogs.fileAnswers = {"/m/a.mbox"};
    button("cmdAdd")->click();
    ASSERT_TRUE(button("CmdConvert")->isEnabled());
    TempTree tree;
    tree.folder("empty/deeper");
    dialogs.folderAnswers = {tree.str()};
    button("CmdAddFolder")->click();
    EXPECT_FALSE(button("CmdConvert")->isEnabled());
    EXPECT_EQ(window.sourceRows(), std::vector<std::string>{"/m/a.mbox"});
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_EQ(dialogs.messages[0].text, "0 Files Added to List.");
}

TEST_F(WindowTest, CancellingTheFolderDialogChangesNothing) {
    dialogs.fileAnswers = {"/m/a.mbox"};
    button("cmdAdd")->click();
    button("CmdAddFolder")->click();
    EXPECT_TRUE(button("CmdConvert")->isEnabled());
    EXPECT_EQ(window.sourceRows(), std::vector<std::string>{"/m/a.mbox"});
    EXPECT_TRUE(dialogs.messages.empty());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(WindowTest, LongPathsStayOnOneLineInAWideColumn) {
    std::string longPath = "/" + std::string(300, 'x') + "/inbox.mbox";
    dialogs.fileAnswers = {longPath};
    button("cmdAdd")->click();
    EXPECT_GT(grid()->columnWidth(0), grid()->width());
    EXPECT_EQ(grid()->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_FALSE(grid()->wordWrap());
    EXPECT_EQ(cell(0).toStdString(), longPath);
}

// The list scrolls by whole rows: after many adds (the list follows the new
// row to the bottom), and wherever the scroll bar is put, the top row shows
// whole, never cut in half.
TEST_F(WindowTest, ListScrollsByWholeRows) {
    window.show();
    std::string answer = "/m";
    answer.push_back('\0');
    for (int i = 0; i < 40; ++i) {
        answer += "box" + std::to_string(i) + ".mbox";
        answer.push_back('\0');
    }
    dialogs.fileAnswers = {answer};
    button("cmdAdd")->click();
    QApplication::processEvents();
    QScrollBar* bar = grid()->verticalScrollBar();
    ASSERT_GT(bar->maximum(), 0);
    for (int value : {bar->value(), bar->maximum(), bar->maximum() / 2, 1}) {
        bar->setValue(value);
        EXPECT_EQ(grid()->rowViewportPosition(grid()->rowAt(0)), 0) << "scroll bar at " << value;
        // The rows the grid shows are all reachable: the last one fits whole.
        if (value == bar->maximum()) {
            EXPECT_LE(grid()->rowViewportPosition(39) + grid()->rowHeight(39), grid()->viewport()->height());
        }
    }
}
