// The .msg writer at the edges of the compound file and of the file system:
// streams around the mini-stream cutoff, attachments that need DIFAT sectors,
// storage numbering past nine, replacing and failing, and repeatable output.
#include "tests/support/builders.h"
#include "tests/support/files.h"
#include "tests/support/msg_readers.h"
#include "store/MapiIds.h"
#include "store/msg/MsgWriter.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>

using namespace testsupport;
using store::Message;
namespace pid = store::pid;

namespace {

Message SmallMessage(const std::string& subject) {
    Message m;
    m.props.setString(pid::Subject, subject);
    m.props.setString(pid::Body, "body\r\n");
    AddRecipient(m, 1, "A", "a@example.org");
    return m;
}

std::vector<fs::path> StrayFiles(const fs::path& dir) {
    std::vector<fs::path> out;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().filename().string().rfind(".", 0) == 0) out.push_back(e.path());  // temporary files are hidden
    return out;
}

}  // namespace

// Attachment sizes on both sides of the 4096-byte mini-stream cutoff, empty,
// and one of 40 MB whose FAT needs several DIFAT sectors; eleven recipients so
// that storage #0000000A must sort after #00000009.
TEST(MsgWriterSizes, StreamsAcrossEveryAllocationThresholdReadBack) {
    REQUIRE_OLEFILE();
    const size_t sizes[] = {0, 1, 63, 64, 4095, 4096, 4097, 40u * 1024 * 1024};
    for (bool unicode : {true, false}) {
        Message m = SmallMessage("sizes");
        for (int i = 1; i < 11; ++i)
            AddRecipient(m, 1, "R" + std::to_string(i), "r" + std::to_string(i) + "@example.org");
        std::vector<std::string> data;
        for (size_t i = 0; i < std::size(sizes); ++i) {
            data.push_back(Noise(sizes[i], uint32_t(10 + i)));
            AddFile(m, "f" + std::to_string(i), data.back());
        }
        fs::path path = ProgramTempDir().path() / (unicode ? "sizes-u.msg" : "sizes-8.msg");
        std::string error;
        ASSERT_TRUE(store::msg::WriteMsgFile(m, path.string(), unicode, &error)) << error;
        OleFacts f = ReadWithOlefile(path);
        EXPECT_TRUE(f.issues.empty()) << Join(f.issues, "\n");
        for (size_t i = 0; i < data.size(); ++i) {
            char storage[64];
            std::snprintf(storage, sizeof storage, "__attach_version1.0_#%08X/37010102", unsigned(i));
            EXPECT_EQ(f.value(std::string("BIN ") + storage), std::to_string(data[i].size()) + " " + Md5(data[i]))
                << "attachment of " << sizes[i] << " bytes";
        }
        EXPECT_EQ(f.headers.front(), "ROOT 32 11 8 11 8");
        EXPECT_EQ(
            f.text(unicode ? "STR __recip_version1.0_#0000000A/3001001F" : "STR __recip_version1.0_#0000000A/3001001E"),
            "R10");
        EXPECT_GT(fs::file_size(path), 40u * 1024 * 1024);
        fs::remove(path);
    }
}

// Readers walk sibling trees recursively (olefile gives up past ~1000 levels),
// so a storage with thousands of children must get a shallow, balanced tree.
TEST(MsgWriterSizes, OverAThousandRecipientsStayReadable) {
    REQUIRE_OLEFILE();
    Message m = SmallMessage("mailing list");
    for (int i = 1; i < 1200; ++i) {  // past the depth where a listed tree breaks olefile
        store::Recipient r;
        r.props.setString(pid::DisplayName, "R" + std::to_string(i));
        m.recipients.push_back(std::move(r));
    }
    fs::path path = ProgramTempDir().path() / "many-recipients.msg";
    std::string error;
    ASSERT_TRUE(store::msg::WriteMsgFile(m, path.string(), true, &error)) << error;
    OleFacts f = ReadWithOlefile(path);
    EXPECT_TRUE(f.issues.empty()) << Join(f.issues, "\n").substr(0, 2000);
    EXPECT_EQ(f.headers.front(), "ROOT 32 1200 0 1200 0");
    EXPECT_EQ(f.text("STR __recip_version1.0_#000004AF/3001001F"), "R1199");
}

// A message with nothing but a subject still has the storages readers require.
TEST(MsgWriterSizes, BareMessageHasTheRequiredStorages) {
    REQUIRE_OLEFILE();
    Message m;
    m.props.setString(pid::Subject, "bare");
    fs::path path = ProgramTempDir().path() / "bare.msg";
    std::string error;
    ASSERT_TRUE(store::msg::WriteMsgFile(m, path.string(), true, &error)) << error;
    OleFacts f = ReadWithOlefile(path);
    EXPECT_TRUE(f.issues.empty()) << Join(f.issues, "\n");
    EXPECT_EQ(f.headers.front(), "ROOT 32 0 0 0 0");
    EXPECT_EQ(f.text("STR ROOT/001A001F"), "IPM.Note");
    EXPECT_EQ(f.value("INT ROOT/0E1B000B"), "0");
    EXPECT_EQ(f.streams["__nameid_version1.0/__substg1.0_00020102"], 0u);
    EXPECT_EQ(f.streams["__nameid_version1.0/__substg1.0_00030102"], 0u);
    EXPECT_EQ(f.streams["__nameid_version1.0/__substg1.0_00040102"], 0u);
}

TEST(MsgWriterFiles, ReplacesAnExistingFileAndWritesTheSameBytesEachTime) {
    fs::path path = ProgramTempDir().path() / "replace.msg";
    WriteFile(path, "old content that is not a compound file");
    Message m = SmallMessage("first");
    AddFile(m, "a.bin", Noise(20000, 7));
    std::string error;
    ASSERT_TRUE(store::msg::WriteMsgFile(m, path.string(), false, &error)) << error;
    std::string first = ReadFile(path);
    EXPECT_EQ(first.substr(0, 8), std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8));
    ASSERT_TRUE(store::msg::WriteMsgFile(m, path.string(), false, &error)) << error;
    EXPECT_EQ(ReadFile(path), first) << "output must depend on the message only";
    EXPECT_TRUE(StrayFiles(path.parent_path()).empty());
}

TEST(MsgWriterFiles, FailureLeavesNoFileAndKeepsTheOldOne) {
    // A folder that does not exist.
    std::string error;
    fs::path missing = ProgramTempDir().path() / "no-such-folder" / "x.msg";
    EXPECT_FALSE(store::msg::WriteMsgFile(SmallMessage("x"), missing.string(), true, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(fs::exists(missing));

    // A failure in the middle of writing (an embedded message with more
    // recipients than a message file may hold): the file already at the path
    // stays as it was and no temporary file is left behind.
    fs::path dir = ProgramTempDir().path() / "midway";
    fs::create_directories(dir);
    fs::path path = dir / "keep.msg";
    WriteFile(path, "previous");
    Message m = SmallMessage("outer");
    AddFile(m, "first.bin", Noise(10000, 9));
    auto inner = std::make_unique<Message>();
    for (int i = 0; i < 2049; ++i) AddRecipient(*inner, 1, "n", "n@example.org");
    store::Attachment a;
    a.props.setLong(pid::AttachMethod, 5);
    a.embedded = std::move(inner);
    m.attachments.push_back(std::move(a));
    error.clear();
    EXPECT_FALSE(store::msg::WriteMsgFile(m, path.string(), true, &error));
    EXPECT_NE(error.find("2048"), std::string::npos) << error;
    EXPECT_EQ(ReadFile(path), "previous");
    EXPECT_TRUE(StrayFiles(dir).empty());
}

// A disk that fills up part-way (a file-size limit makes the n-th write fail):
// every stopping point gives a clean error and leaves neither the target nor a
// temporary file behind. Runs in a child process so the limit stays there.
TEST(MsgWriterFiles, WriteFailureAtAnyPointLeavesNothing) {
    fs::path dir = ProgramTempDir().path() / "full-disk";
    fs::create_directories(dir);
    Message m = SmallMessage("full disk");
    AddFile(m, "a.bin", Noise(3000, 1));    // mini stream
    AddFile(m, "b.bin", Noise(300000, 2));  // regular sectors
    for (rlim_t limit : {rlim_t(0), rlim_t(512), rlim_t(4096), rlim_t(100000), rlim_t(300000), rlim_t(310000)}) {
        fs::path path = dir / ("limit-" + std::to_string(limit) + ".msg");
        pid_t child = fork();
        ASSERT_NE(child, -1);
        if (child == 0) {
            std::signal(SIGXFSZ, SIG_IGN);  // a failed write, not a killed process
            rlimit rl{limit, limit};
            setrlimit(RLIMIT_FSIZE, &rl);
            std::string error;
            bool ok = store::msg::WriteMsgFile(m, path.string(), true, &error);
            _exit(ok ? 0 : error.empty() ? 2 : 1);
        }
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFEXITED(status)) << "limit " << limit;
        EXPECT_EQ(WEXITSTATUS(status), 1) << "limit " << limit << ": expected a failure with a message";
        EXPECT_FALSE(fs::exists(path)) << "limit " << limit;
        EXPECT_TRUE(StrayFiles(dir).empty()) << "limit " << limit;
    }
}
