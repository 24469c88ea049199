// The source list's row model, the file dialog's answer and the folder walk.
#include <gtest/gtest.h>

#include <filesystem>

#include "sources/AddFiles.h"
#include "sources/SourceList.h"
#include "sources/pathLogger.h"
#include "tests/support/files.h"

namespace fs = std::filesystem;
using sources::pathLogger;

TEST(SourceList, EmptyListIsOneEmptyRowThatTheFirstAddFills) {
    sources::SourceList list;
    EXPECT_TRUE(list.isEmpty());
    EXPECT_EQ(list.rows(), std::vector<std::string>{""});
    EXPECT_EQ(list.addFile("/m/a.mbox"), 0);
    EXPECT_EQ(list.rowCount(), 1);
    EXPECT_FALSE(list.isEmpty());
    EXPECT_EQ(list.addFile("/m/a.mbox"), 1);  // duplicates are kept
    EXPECT_EQ(list.rows(), (std::vector<std::string>{"/m/a.mbox", "/m/a.mbox"}));
    EXPECT_EQ(sources::CountCaption(list.rowCount()), "2 files");
    list.clear();
    EXPECT_TRUE(list.isEmpty());
    EXPECT_EQ(list.addFile("/m/b.mbox"), 0);
}

TEST(PickedFilePaths, TakesApartEveryShapeOfTheDialogsAnswer) {
    using sources::PickedFilePaths;
    using V = std::vector<std::string>;
    EXPECT_EQ(PickedFilePaths("", '/'), V{});
    EXPECT_EQ(PickedFilePaths("/m/a.mbox", '/'), V{"/m/a.mbox"});
    EXPECT_EQ(PickedFilePaths(std::string("/m/a.mbox\0", 10), '/'), V{"/m/a.mbox"});
    EXPECT_EQ(PickedFilePaths(std::string("/m\0b\0a\0", 7), '/'), (V{"/m/b", "/m/a"}));
    EXPECT_EQ(PickedFilePaths(std::string("/m\0b\0a", 6), '/'), (V{"/m/b", "/m/a"}));  // no final NUL
    // A drive's root keeps its own separator: the rows get two.
    EXPECT_EQ(PickedFilePaths(std::string("C:\\\0x.mbox\0y.mbox\0", 18), '\\'), (V{"C:\\\\x.mbox", "C:\\\\y.mbox"}));
}

namespace {

class WalkTree : public ::testing::Test {
protected:
    void TearDown() override {
        std::error_code ec;
        fs::permissions(root / "locked", fs::perms::owner_all, ec);  // so the folder can be removed
    }
    void file(const std::string& relative) { testsupport::WriteFile(root / relative, "x"); }
    std::string at(const std::string& relative) const { return root.string() + "/" + relative; }

    // x.mbox, A/a.mbox, A/C/c.mbox, B/b.mbox
    void exampleTree() {
        file("x.mbox");
        file("A/a.mbox");
        file("A/C/c.mbox");
        file("B/b.mbox");
    }

    testsupport::TempDir tmp;
    const fs::path root = tmp.path();
};

}  // namespace

TEST_F(WalkTree, RecordsFilesLevelByLevel) {
    exampleTree();
    pathLogger logger;
    logger.PathLogInit();
    logger.LogPath(root.string());
    auto full = logger.fullFileNames();
    EXPECT_EQ(full->values(),
              (std::vector<std::string>{at("x.mbox"), at("A/a.mbox"), at("B/b.mbox"), at("A/C/c.mbox")}));
    EXPECT_EQ(full->keyAt(1), "K1");
    EXPECT_EQ(full->item("K4"), at("A/C/c.mbox"));
    EXPECT_EQ(logger.Count(), 5);
    // The queue: the start under K0, then each folder under its position.
    auto folders = logger.pathNames();
    ASSERT_EQ(folders->count(), 4);
    EXPECT_EQ(folders->item("K0"), at(""));
    EXPECT_EQ(folders->item("K2"), at("A/"));
    EXPECT_EQ(folders->item("K3"), at("B/"));
    EXPECT_EQ(folders->item("K4"), at("A/C/"));
    EXPECT_THROW(folders->item("K1"), std::out_of_range);
    // Only the full names were asked for.
    EXPECT_EQ(logger.fileNames()->count(), 0);
    EXPECT_EQ(logger.pathPointers()->count(), 0);
}

TEST_F(WalkTree, FillsNamesAndPointersSideBySideWhenAsked) {
    exampleTree();
    pathLogger logger;
    logger.PathLogInit();
    logger.setFullFileNamesOnly(false);
    logger.LogPath(root.string() + "/");
    EXPECT_EQ(logger.fileNames()->values(), (std::vector<std::string>{"x.mbox", "a.mbox", "b.mbox", "c.mbox"}));
    EXPECT_EQ(logger.pathPointers()->values(), (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(logger.fullFileNames()->item("K3"), at("B/b.mbox"));
    // A collection taken before Terminate outlives it; the logger starts empty.
    auto kept = logger.fullFileNames();
    logger.Terminate();
    EXPECT_EQ(kept->count(), 4);
    EXPECT_EQ(logger.fullFileNames()->count(), 0);
}

TEST_F(WalkTree, SameResultWithOrWithoutFinalSeparator) {
    exampleTree();
    file("B/picture.png");
    EXPECT_EQ(sources::FilesBelowFolder(root.string()), sources::FilesBelowFolder(root.string() + "/"));
    EXPECT_EQ(sources::FilesBelowFolder(root.string()).size(), 5u);
}

TEST_F(WalkTree, MissingFolderRecordsNothingAndKeepsTheCounter) {
    pathLogger logger;
    logger.PathLogInit();
    logger.LogPath(at("absent"));
    EXPECT_EQ(logger.Count(), 0);
    EXPECT_EQ(logger.fullFileNames()->count(), 0);
    EXPECT_EQ(logger.pathNames()->count(), 0);
    // A tree with folders but no file: the counter says one, nothing recorded.
    fs::create_directories(root / "E" / "F");
    logger.LogPath(root.string());
    EXPECT_EQ(logger.Count(), 1);
    EXPECT_EQ(logger.fullFileNames()->count(), 0);
}

TEST_F(WalkTree, SecondWalkNeedsAFreshStart) {
    file("x.mbox");
    pathLogger logger;
    logger.PathLogInit();
    logger.LogPath(root.string());
    EXPECT_THROW(logger.LogPath(root.string()), std::invalid_argument);
    logger.PathLogInit();
    logger.LogPath(root.string());
    EXPECT_EQ(logger.fullFileNames()->values(), std::vector<std::string>{at("x.mbox")});
}

TEST_F(WalkTree, SkipsUnreadableFoldersAndBrokenLinks) {
    file("a.mbox");
    file("locked/hidden.mbox");
    file("z/z.mbox");
    fs::create_symlink(root / "nowhere", root / "broken");
    fs::create_symlink(root / "nowhere-dir", root / "broken-dir");
    fs::permissions(root / "locked", fs::perms::none);
    if (::geteuid() == 0)  // root reads every folder anyway
        EXPECT_EQ(sources::FilesBelowFolder(root.string()).size(), 3u);
    else
        EXPECT_EQ(sources::FilesBelowFolder(root.string()), (std::vector<std::string>{at("a.mbox"), at("z/z.mbox")}));
}

TEST_F(WalkTree, FollowsFolderLinksButNeverIntoALoop) {
    file("A/a.mbox");
    file("outside/o.mbox");
    fs::create_directory_symlink(root, root / "A" / "up");          // back to the start
    fs::create_directory_symlink(root / "A", root / "A" / "self");  // to itself
    fs::create_directory_symlink(root / "outside", root / "A" / "L");
    fs::create_symlink(root / "A" / "a.mbox", root / "A" / "link.mbox");
    std::vector<std::string> found = sources::FilesBelowFolder((root / "A").string());
    EXPECT_EQ(found, (std::vector<std::string>{at("A/a.mbox"), at("A/link.mbox"), at("A/L/o.mbox")}));
}
