#include <gtest/gtest.h>

#include "tests/support/files.h"
#include "common/registry.h"

TEST(PathWithoutRoot, StripsEveryRootForm) {
    EXPECT_EQ(PathWithoutRoot("C:\\mail\\inbox.mbox"), "mail\\inbox.mbox");
    EXPECT_EQ(PathWithoutRoot("d:/mail/inbox.mbox"), "mail/inbox.mbox");
    EXPECT_EQ(PathWithoutRoot("\\\\server\\share\\mail\\inbox.mbox"), "mail\\inbox.mbox");
    EXPECT_EQ(PathWithoutRoot("//server/share/a.mbox"), "a.mbox");
    EXPECT_EQ(PathWithoutRoot("/home/u/inbox.mbox"), "home/u/inbox.mbox");
    EXPECT_EQ(PathWithoutRoot("relative/x"), "relative/x");
    EXPECT_EQ(PathWithoutRoot("\\\\server"), "");
    EXPECT_EQ(PathWithoutRoot(""), "");
}

TEST(PathWithoutRoot, NeverLeavesTheFolderItIsPlacedBelow) {
    // POSIX paths whose names hold backslashes: a root is made of one kind of
    // separator, so no backslash inside a name can end a root and turn the
    // rest into "..", an empty path or a path that starts mid-name.
    const std::pair<const char*, const char*> cases[] = {
        {"/\\a\\b\\../c.mbox", "\\a\\b\\../c.mbox"},
        {"/\\../c.mbox", "\\../c.mbox"},
        {"/\\mail\\x.mbox", "\\mail\\x.mbox"},
    };
    for (const auto& [path, rest] : cases) EXPECT_EQ(PathWithoutRoot(path), rest) << path;
}

TEST(NormaliseSourcePath, MakesAbsoluteAndDropsDotParts) {
    EXPECT_EQ(NormaliseSourcePath("  /a/./b/../c.mbox  "), "/a/c.mbox");
    EXPECT_EQ(NormaliseSourcePath("/../../etc/x"), "/etc/x");
    EXPECT_EQ(NormaliseSourcePath(""), "");
    std::string rel = NormaliseSourcePath("x/../y.mbox");
    ASSERT_FALSE(rel.empty());
    EXPECT_EQ(rel.front(), '/');
    EXPECT_EQ(rel.find(".."), std::string::npos);
}

// "link/.." is the parent of the link's target, as the system opens it.
TEST(NormaliseSourcePath, TakesDotDotAfterSymbolicLinks) {
    testsupport::TempDir dir;
    std::filesystem::create_directories(dir.path() / "real" / "sub");
    std::filesystem::create_directories(dir.path() / "a");
    std::filesystem::create_directory_symlink(dir.path() / "real" / "sub", dir.path() / "a" / "link");
    EXPECT_EQ(NormaliseSourcePath((dir.path() / "a" / "link" / ".." / "x.mbox").string()),
              (dir.path() / "real" / "x.mbox").string());
    // Without "..", a link keeps its place in the text.
    EXPECT_EQ(NormaliseSourcePath((dir.path() / "a" / "link" / "x.mbox").string()),
              (dir.path() / "a" / "link" / "x.mbox").string());
}

TEST(ReplaceAll, ReplacesEveryOccurrenceCaseSensitively) {
    EXPECT_EQ(ReplaceAll("a.mbox.mbox", ".mbox", ""), "a");
    EXPECT_EQ(ReplaceAll("Archive.Mbox", ".mbox", ""), "Archive.Mbox");
    EXPECT_EQ(TrimBlanks("  x y  "), "x y");
}
