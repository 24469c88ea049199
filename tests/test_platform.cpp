// The platform layer: the \\?\ form the Windows build gives long paths, and
// files made, read, renamed and removed under long, non-ASCII and past-4-GiB
// names and offsets. Built into the Linux tests and the Windows ones alike.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "common/MappedFile.h"
#include "common/OutputFiles.h"
#include "common/Platform.h"
#include "common/modMain.h"
#include "common/registry.h"
#include "sources/pathLogger.h"
#include "tests/support/files.h"

namespace {

#ifdef _WIN32
constexpr char kSep = '\\';
#else
constexpr char kSep = '/';
#endif

// A path splits into its folder and its file name at the last separator;
// on Windows a backslash is one too, on POSIX it is part of a name. (A .msg
// file given as C:\out\box\Email-1.msg was once made beside the current
// folder: its folder was looked for after a '/' only.)
TEST(Platform, PathSplitsAtTheLastSeparatorOfTheSystem) {
    struct Split {
        std::string folder, name;
    };
    const struct {
        std::string path;
        Split posix, windows;
    } rows[] = {
        {"/mail/inbox.mbox", {"/mail/", "inbox.mbox"}, {"/mail/", "inbox.mbox"}},
        {"inbox.mbox", {"", "inbox.mbox"}, {"", "inbox.mbox"}},
        {"/mail/", {"/mail/", ""}, {"/mail/", ""}},
        {"C:\\out\\b.mbox\\Email-1.msg", {"", "C:\\out\\b.mbox\\Email-1.msg"}, {"C:\\out\\b.mbox\\", "Email-1.msg"}},
        {"C:\\out/b.mbox\\Email-1.msg", {"C:\\out/", "b.mbox\\Email-1.msg"}, {"C:\\out/b.mbox\\", "Email-1.msg"}},
    };
    for (const auto& r : rows) {
#ifdef _WIN32
        const Split& want = r.windows;
#else
        const Split& want = r.posix;
#endif
        EXPECT_EQ(FolderOfPath(r.path), want.folder) << r.path;
        EXPECT_EQ(FileNameOfPath(r.path), want.name) << r.path;
    }
}

TEST(Platform, WindowsLongPathForm) {
    const std::string part(100, 'p');  // three of them pass the classic limit
    const std::string longTail = part + "\\" + part + "\\" + part + "\\box.mbox";
    const struct {
        std::string path, want;
    } cases[] = {
        {"C:\\x\\y.mbox", "C:\\x\\y.mbox"},  // short: as given
        {"c:/x/y", "c:/x/y"},
        {"\\\\server\\share\\box.mbox", "\\\\server\\share\\box.mbox"},
        {"C:\\" + longTail, "\\\\?\\C:\\" + longTail},
        {"c:/" + part + "/" + part + "/" + part + "/box.mbox", "\\\\?\\c:\\" + longTail},
        {"C:\\" + part + "\\.\\dropped\\..\\" + part + "\\\\" + part + "\\box.mbox", "\\\\?\\C:\\" + longTail},
        {"C:\\..\\..\\" + longTail, "\\\\?\\C:\\" + longTail},  // ".." stops at the drive
        {"\\\\server\\share\\" + longTail, "\\\\?\\UNC\\server\\share\\" + longTail},
        {"//server/share/" + part + "/" + part + "/" + part + "/box.mbox", "\\\\?\\UNC\\server\\share\\" + longTail},
        {"\\\\?\\C:\\" + longTail, "\\\\?\\C:\\" + longTail},  // already in that form
        {longTail, longTail},                                   // relative: left to the system
        {"\\" + longTail, "\\" + longTail},                     // rooted on the current drive
    };
    for (const auto& c : cases) EXPECT_EQ(WindowsLongPathForm(c.path), c.want) << c.path;
}

// A folder of `depth` nested names of 100 characters below `base`.
std::string deepFolder(const std::string& base, int depth) {
    std::string path = base;
    for (int i = 0; i < depth; ++i) path += kSep + std::string(100, char('a' + i));
    return path;
}

// Made, written at an offset, read back, found by the folder walk under its
// own UTF-8 name, renamed and removed: the names a mailbox may have.
TEST(Platform, FilesUnderLongAndNonAsciiNames) {
    testsupport::TempDir dir;
    const std::string base = Utf8FromPath(dir.path());
    const struct {
        const char* what;
        std::string folder, name;
    } cases[] = {
        {"plain", base, "box.mbox"},
        {"non-ASCII", base + kSep + "Пошта 日本", "Grüße \xF0\x9F\x93\xA7 ёжик.mbox"},
        {"past 260 characters", deepFolder(base, 3), std::string(40, 'n') + ".mbox"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string error;
        ASSERT_TRUE(EnsureFolderPath(c.folder, &error)) << error;
        const std::string path = c.folder + kSep + c.name;
        int fd = OpenFile(path, kOpenReadWrite | kOpenCreate | kOpenExclusive);
        ASSERT_GE(fd, 0) << std::strerror(errno);
        EXPECT_EQ(WriteAt(fd, "From a\n", 7, 0), 7);
        EXPECT_EQ(WriteAt(fd, "x\n", 2, 7), 2);
        EXPECT_EQ(CloseFile(fd), 0);
        EXPECT_LT(OpenFile(path, kOpenWrite | kOpenCreate | kOpenExclusive), 0);
        EXPECT_EQ(errno, EEXIST);

        FileInfo info;
        ASSERT_TRUE(StatPath(path, &info, false));
        EXPECT_EQ(info.kind, FileKind::Regular);
        EXPECT_EQ(info.size, 9u);
        fd = OpenFile(path, kOpenRead);
        ASSERT_GE(fd, 0);
        char back[9] = {};
        EXPECT_EQ(ReadAt(fd, back, sizeof back, 0), 9);
        EXPECT_EQ(std::string(back, 9), "From a\nx\n");
        CloseFile(fd);
        EXPECT_EQ(sources::FilesBelowFolder(c.folder), std::vector<std::string>{path});

        const std::string moved = c.folder + kSep + "moved-" + c.name;
        EXPECT_EQ(RenameFile(path, moved), 0);
        EXPECT_FALSE(StatPath(path, &info, false));
        EXPECT_EQ(RemoveFile(moved), 0);
        EXPECT_FALSE(StatPath(moved, &info, false));
    }
}

TEST(Platform, RenameWithoutReplacingKeepsATakenName) {
    testsupport::TempDir dir;
    std::string error;
    // Below the output folder the run names folders with the system's separator.
    FolderHandle folder = OpenFolderBelow(Utf8FromPath(dir.path()), std::string("out") + kSep + "ä", &error);
    ASSERT_TRUE(folder) << error;
    for (const char* name : {"from.eml", "to.eml"}) {
        int fd = OpenOutputFile(folder, name, OutputOpen::CreateNew, &error);
        ASSERT_GE(fd, 0) << error;
        EXPECT_EQ(WriteSome(fd, name, 2), 2);
        CloseFile(fd);
    }
    EXPECT_LT(OpenOutputFile(folder, "to.eml", OutputOpen::CreateNew, &error), 0);
    EXPECT_FALSE(RenameWithoutReplacing(folder, "from.eml", "to.eml"));
    EXPECT_EQ(testsupport::ReadFile(dir.path() / "out" / PathFromUtf8("ä") / "to.eml"), "to");
    EXPECT_TRUE(RenameWithoutReplacing(folder, "from.eml", "new.eml"));
    EXPECT_EQ(testsupport::ReadFile(dir.path() / "out" / PathFromUtf8("ä") / "new.eml"), "fr");
}

// Offsets past 4 GiB take the high 32 bits through (OVERLAPPED's OffsetHigh
// on Windows), for positioned I/O and for a mapping alike. The file is sparse:
// it costs no disk where the file system has sparse files.
TEST(Platform, OffsetsPastFourGiB) {
    testsupport::TempDir dir;
    const std::string path = Utf8FromPath(dir.path() / "big.bin");
    const uint64_t offset = (uint64_t(1) << 32) + 12345;
    int fd = OpenFile(path, kOpenReadWrite | kOpenCreate | kOpenExclusive);
    ASSERT_GE(fd, 0);
    if (WriteAt(fd, "tail", 4, offset) != 4) {
        CloseFile(fd);
        GTEST_SKIP() << "the file system refuses a file past 4 GiB: " << std::strerror(errno);
    }
    char back[4] = {};
    EXPECT_EQ(ReadAt(fd, back, 4, offset), 4);
    EXPECT_EQ(std::string(back, 4), "tail");
    EXPECT_EQ(ReadAt(fd, back, 4, uint64_t(1) << 32), 4);  // the gap reads as zeros
    EXPECT_EQ(std::string(back, 4), std::string(4, '\0'));
    FileInfo info;
    ASSERT_TRUE(StatFile(fd, &info));
    EXPECT_EQ(info.size, offset + 4);
    CloseFile(fd);

    MappedFile mapped;
    std::string error;
    ASSERT_TRUE(mapped.open(path, &error)) << error;
    ASSERT_TRUE(mapped.mapped());
    ASSERT_EQ(mapped.bytes().size(), offset + 4);
    EXPECT_EQ(mapped.bytes().substr(offset), "tail");
}

}  // namespace
