// What a crash or a full disk leaves of a store being written: the last
// checkpoint, a store that passes the verifier in its crash mode, opens in
// readpst and holds the first K messages in the order they were added.
#include <gtest/gtest.h>

#include "store/Endian.h"
#include "store/Session.h"
#include "store/pst/verify/PstVerifier.h"
#include "store/pst/PstWriter.h"
#include "tests/support/builders.h"
#include "tests/support/commands.h"
#include "tests/support/files.h"
#include "tests/support/pst_readers.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <new>
#include <random>
#include <regex>
#include <set>
#include <thread>
#include <vector>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace testsupport;
using store::pst::PstWriter;
namespace fs = std::filesystem;

namespace {

// The numbers N of the "Message N" items readpst finds; -1 when readpst fails.
std::set<int> readpstNumbers(const std::string& pst, const std::string& dir, int* rc) {
    fs::create_directories(dir);
    std::string log;
    *rc = RunCommand("readpst -j 0 -q -D -b -o '" + dir + "' '" + pst + "' 2>&1", &log);
    std::set<int> out;
    const std::regex subject(R"((^|\n)Subject: Message (\d+))");
    for (const auto& f : ListFiles(dir)) {
        const std::string text = ReadFile(dir + "/" + f);
        for (std::sregex_iterator it(text.begin(), text.end(), subject), end; it != end; ++it)
            out.insert(std::stoi((*it)[2]));
    }
    return out;
}

uint64_t get64le(const std::string& b, size_t at) {
    return store::get64(reinterpret_cast<const uint8_t*>(b.data() + at));
}

// True when `numbers` is exactly 0..k-1.
bool isPrefix(const std::set<int>& numbers) {
    return numbers.empty() || (*numbers.begin() == 0 && *numbers.rbegin() == int(numbers.size()) - 1);
}

struct Progress {
    std::atomic<int> created{0};
    std::atomic<uint64_t> durable{0};
};

}  // namespace

// A writer killed at random moments (and once right after create, once not
// at all) leaves a store of the first K messages, K at least what its last
// checkpoint before the kill held.
TEST(PstCrash, KilledWriterLeavesTheLastCheckpoint) {
    if (!HaveTool("readpst")) GTEST_SKIP() << "readpst (pst-utils) is not installed";
    constexpr int kMessages = 2000;
    auto* progress = static_cast<Progress*>(
        ::mmap(nullptr, sizeof(Progress), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(progress, MAP_FAILED);
    std::mt19937 rng{std::random_device{}()};
    // Delay after create in microseconds: 0 kills an empty store, -1 lets the
    // writer finish and measures how long it takes; the kills fall in that time.
    std::vector<long> delays = {0, -1, 0, 0, 0, 0};
    long writeTime = 1;
    TempDir tmp;
    for (size_t round = 0; round < delays.size(); ++round) {
        if (round >= 2) delays[round] = 1 + long(rng() % uint64_t(std::max(1L, writeTime * 9 / 10)));
        const long delay = delays[round];
        const std::string path = tmp.file("killed" + std::to_string(round) + ".pst");
        new (progress) Progress;
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            PstWriter w;
            std::string err;
            if (!w.create(path, "Killed", &err)) ::_exit(10);
            w.setCheckpointPolicy({.seconds = 0, .bytes = 0, .messages = 40});
            progress->created = 1;
            if (delay == 0) ::pause();  // killed right after create
            // Twelve folders make most checkpoints span data sections.
            std::vector<uint32_t> folders;
            for (int f = 0; f < 12; ++f) folders.push_back(w.addFolder(w.rootFolder(), "F" + std::to_string(f), &err));
            for (int i = 0; i < kMessages; ++i) {
                if (!w.addMessage(folders[size_t(i) % 12], MakeMessage(NumberedMail(i)), &err)) ::_exit(11);
                progress->durable = w.durableMessageCount();
            }
            ::_exit(w.close(&err) ? 0 : 12);
        }
        while (!progress->created) {
            int status = 0;
            if (::waitpid(child, &status, WNOHANG) == child) FAIL() << "the writer ended before create: " << status;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        const auto created = std::chrono::steady_clock::now();
        uint64_t known = 0;
        if (delay >= 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(delay));
            known = progress->durable;
            ::kill(child, SIGKILL);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        if (delay < 0)
            writeTime = std::max(
                1L,
                long(std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - created)
                         .count()));
        const bool finished = WIFEXITED(status);
        if (finished) {
            EXPECT_EQ(WEXITSTATUS(status), 0);
        }
        SCOPED_TRACE("killed after " + std::to_string(delay) + " us, " + std::to_string(known) + " messages durable");

        EXPECT_EQ(StructureProblems(path, !finished), "");
        int rc = 0;
        const std::set<int> numbers = readpstNumbers(path, tmp.file("rp" + std::to_string(round)), &rc);
        EXPECT_EQ(rc, 0);
        EXPECT_TRUE(isPrefix(numbers)) << numbers.size() << " messages, up to "
                                       << (numbers.empty() ? -1 : *numbers.rbegin());
        EXPECT_GE(numbers.size(), known);
        if (delay == 0) {
            EXPECT_EQ(numbers.size(), 0u);
        }
        if (finished) {
            EXPECT_EQ(numbers.size(), size_t(kMessages));
        }
    }
    ::munmap(progress, sizeof(Progress));
}

// A disk that fills up (files may not grow past one data section) while a
// message is saved, or only while the store is finished: the file stays with
// its last checkpoint, and Remove says how many messages it kept.
TEST(PstCrash, FullDiskKeepsTheLastCheckpoint) {
    if (!HaveTool("readpst")) GTEST_SKIP() << "readpst (pst-utils) is not installed";
    struct Case {
        const char* name;
        int saves;        // messages saved before Remove
        int failingSave;  // the Save that throws (0: none)
    };
    // A checkpoint after every third message; the fourth message goes past the
    // first section, so the checkpoint after the sixth (or close) cannot be written.
    const Case cases[] = {{"a save fails", 10, 6}, {"finishing fails", 4, 0}};
    TempDir tmp;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = tmp.file(std::string(c.name) + ".pst");
        struct Report {
            int failedSave = 0;
            int finishError = 0;
            uint64_t kept = 0;
        };
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(fds[0]);
            ::signal(SIGXFSZ, SIG_IGN);  // a failed write, not a killed process
            struct rlimit lim {
                271360, 271360
            };  // 0x4400 + one 253952-byte section
            ::setrlimit(RLIMIT_FSIZE, &lim);
            PstWriter::setDefaultCheckpointPolicy({.seconds = 0, .bytes = 0, .messages = 3});
            Report r;
            store::StoreSession session;
            session.Logon();
            store::PstStore* st = session.Stores().AddPSTStore(path, 1, "Full");
            store::Folder inbox = st->IPMRootFolder().Folders().Add("Inbox", 6);
            for (int i = 0; i < c.saves && !r.failedSave; ++i) {
                auto item = inbox.Items().Add(0);
                *item->MAPIOBJECT() = MakeMessage(NumberedMail(i, 60000));
                try {
                    item->Save();
                } catch (const store::StoreError&) {
                    r.failedSave = i + 1;
                }
            }
            try {
                st->Remove();
            } catch (const store::StoreFinishError& e) {
                r.finishError = 1;
                r.kept = e.messagesKept;
            }
            ::_exit(::write(fds[1], &r, sizeof r) == sizeof r ? 0 : 1);
        }
        ::close(fds[1]);
        Report r;
        const bool got = ::read(fds[0], &r, sizeof r) == sizeof r;
        ::close(fds[0]);
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(got && WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_EQ(r.failedSave, c.failingSave);
        EXPECT_EQ(r.finishError, 1);
        EXPECT_EQ(r.kept, 3u);
        ASSERT_TRUE(fs::exists(path));
        EXPECT_EQ(StructureProblems(path, true), "");
        int rc = 0;
        const std::set<int> numbers = readpstNumbers(path, tmp.file(std::string(c.name) + "-rp"), &rc);
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(numbers, (std::set<int>{0, 1, 2}));
    }
}

// The verifier's crash mode accepts what a killed writer leaves and nothing
// more: the plain check rejects that file, and damage is still found in it.
TEST(PstCrash, CrashModeRelaxesOnlyTheMapsAndTheFileEnd) {
    TempDir tmp;
    const std::string path = tmp.file("left.pst");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        PstWriter w;
        std::string err;
        if (!w.create(path, "Left", &err)) ::_exit(10);
        w.setCheckpointPolicy({.seconds = 0, .bytes = 0, .messages = 5});
        const uint32_t inbox = w.addFolder(w.rootFolder(), "Inbox", &err);
        for (int i = 0; i < 12; ++i)
            if (!w.addMessage(inbox, MakeMessage(NumberedMail(i, 300000)), &err)) ::_exit(11);
        ::_exit(w.durableMessageCount() == 10 ? 0 : 12);  // no close: as if killed
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const std::string left = ReadFile(path);
    ASSERT_EQ(StructureProblems(path, true), "");
    EXPECT_NE(StructureProblems(path).find("fAMapValid 0"), std::string::npos);

    // The first message's attachment lies in a block of the committed state.
    const size_t live = left.find(Noise(300000, 0).substr(0, 64));
    ASSERT_NE(live, std::string::npos);
    const uint64_t eof = get64le(left, 180 + 4);
    struct Case {
        const char* name;
        std::function<void(std::string&)> damage;
        const char* expected;
    } cases[] = {
        {"block byte", [&](std::string& b) { b[live] ^= 0x55; }, "CRC"},
        {"cut before ibFileEof", [&](std::string& b) { b.resize(eof - 512); }, "ibFileEof"},
        {"header byte", [](std::string& b) { b[200] ^= 1; }, "dwCRCPartial"},
    };
    for (const Case& c : cases) {
        std::string bytes = left;
        c.damage(bytes);
        { std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes; }
        EXPECT_NE(StructureProblems(path, true).find(c.expected), std::string::npos) << c.name;
    }
}
