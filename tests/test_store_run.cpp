// The PST and MSG forms through the conversion run: store file names and
// display names, store modes, the Outlook Error report, .msg file names,
// what the independent readers find in what we wrote, and what the run and
// the command-line converter do when a store cannot be finished or a stop
// signal comes.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <map>
#include <set>
#include <regex>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/registry.h"
#include "conversion/ConversionRun.h"
#include "store/Session.h"
#include "store/pst/verify/PstVerifier.h"
#include "tests/support/builders.h"
#include "tests/support/commands.h"
#include "tests/support/files.h"
#include "tests/support/pst_readers.h"
#include "tests/support/recording_view.h"

using namespace conversion;
using namespace testsupport;

namespace {

// Folder name -> number of messages, as readpst sees the store. Every store
// read here must first pass our own structural check; a store that could not
// be finished is checked as the last checkpoint a crash leaves.
std::map<std::string, int> readpstFolders(const fs::path& pst, const fs::path& scratch, bool unfinished = false) {
    std::vector<std::string> problems;
    store::pst::VerifyOptions strict;
    strict.strictAllocation = true;
    strict.crashState = unfinished;
    EXPECT_TRUE(store::pst::VerifyPst(pst.string(), &problems, strict)) << pst << ": " << problems.at(0);
    std::map<std::string, int> folders;
    fs::create_directories(scratch);
    std::string output;
    // -j 0: parallel readpst jobs share one file offset and now and then read
    // a block from the wrong place, losing messages.
    int rc = RunCommand("readpst -j 0 -q -r -S -o " + Quote(scratch.string()) + " " + Quote(pst.string()) + " 2>&1",
                        &output);
    EXPECT_EQ(rc, 0) << output;
    for (auto& e : fs::recursive_directory_iterator(scratch))
        // -S writes message N as "N" and its attachments as "N-name".
        if (e.is_regular_file() && std::regex_match(e.path().filename().string(), std::regex(R"(\d+)")))
            ++folders[e.path().parent_path().filename().string()];
    return folders;
}

// Three small mailboxes: Inbox (3 messages, one with an attachment), Sent (2), Archive.MBOX (1).
struct ThreeMailboxes {
    TempDir dir;
    fs::path inbox, sent, archive;
    ThreeMailboxes() {
        inbox = dir.path() / "src" / "Inbox.mbox";
        sent = dir.path() / "src" / "Sent.mbox";
        archive = dir.path() / "src" / "Archive.MBOX";
        WriteFile(inbox,
                  "From a@x Mon Jan  1 10:00:00 2024\r\nFrom: A <a@x.org>\r\nTo: b@y.org\r\nSubject: one\r\n"
                  "Date: Mon, 1 Jan 2024 10:00:00 +0000\r\nMessage-ID: <1@x>\r\n\r\nbody one\r\n"
                  "From a@x Mon Jan  1 10:00:00 2024\r\nFrom: A <a@x.org>\r\nTo: b@y.org\r\nSubject: two\r\n"
                  "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\n"
                  "Content-Type: text/plain\r\n\r\nsee file\r\n--b\r\nContent-Type: application/octet-stream\r\n"
                  "Content-Disposition: attachment; filename=\"f.bin\"\r\nContent-Transfer-Encoding: base64\r\n\r\n"
                  "AAECAw==\r\n--b--\r\n"
                  "From a@x Mon Jan  1 10:00:00 2024\r\nFrom: A <a@x.org>\r\nSubject: three\r\n\r\nbody three\r\n");
        WriteFile(sent,
                  "From me Tue\nFrom: me@x.org\nSubject: s1\n\nx\nFrom me Tue\nFrom: me@x.org\nSubject: s2\n\ny\n");
        WriteFile(archive, "From old Wed\r\nSubject: old\r\n\r\nz\r\n");
    }
    std::vector<std::string> rows() const { return {inbox.string(), sent.string(), archive.string()}; }
    fs::path out() const { return dir.path() / "out"; }
};

// vellary-convert as a child process, its stdout and stderr on one pipe.
class Converter {
public:
    explicit Converter(std::vector<std::string> args, rlim_t fileSizeLimit = RLIM_INFINITY) {
        args.insert(args.begin(), std::string(VELLARY_BINARY_DIR) + "/cli/vellary-convert");
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int fds[2];
        if (::pipe(fds) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(fds[1], 1);
            ::dup2(fds[1], 2);
            ::close(fds[0]);
            ::close(fds[1]);
            for (int s : {SIGINT, SIGTERM, SIGHUP}) std::signal(s, SIG_DFL);
            if (fileSizeLimit != RLIM_INFINITY) {
                std::signal(SIGXFSZ, SIG_IGN);  // a failed write, not a killed process
                rlimit rl{fileSizeLimit, fileSizeLimit};
                ::setrlimit(RLIMIT_FSIZE, &rl);
            }
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        fd_ = fds[0];
    }
    ~Converter() { finish(); }

    // Reads the output until `text` has appeared (true) or it ends (false).
    bool readUntil(const std::string& text) {
        while (output.find(text) == std::string::npos)
            if (!readSome()) return false;
        return true;
    }
    void signal(int s) { ::kill(pid_, s); }
    // Reads the rest and waits: the exit status, or minus the signal that ended it.
    int finish() {
        while (readSome()) {}
        if (pid_ > 0) {
            int status = 0;
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
        }
        return status_;
    }

    std::string output;

private:
    bool readSome() {
        if (fd_ < 0) return false;
        char buf[4096];
        ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n < 0 && errno == EINTR) return true;
        if (n <= 0) {
            ::close(fd_);
            fd_ = -1;
            return false;
        }
        output.append(buf, size_t(n));
        return true;
    }
    pid_t pid_ = -1;
    int fd_ = -1;
    int status_ = -1000;
};

}  // namespace

TEST(StoreTimeStamp, DayMonthYearHourMinuteSeconds) {
    std::tm t{};
    t.tm_mday = 6;
    t.tm_mon = 11;
    t.tm_year = 126;
    t.tm_hour = 5;
    t.tm_min = 7;
    t.tm_sec = 9;
    EXPECT_EQ(StoreTimeStamp(t), "6.12.26 5.7.09");
    t.tm_mday = 31, t.tm_mon = 0, t.tm_year = 100, t.tm_hour = 23, t.tm_min = 59, t.tm_sec = 30;
    EXPECT_EQ(StoreTimeStamp(t), "31.1.00 23.59.30");
}

TEST(StoreForms, SingleStoreHoldsOneFolderPerMailbox) {
    if (!HaveTool("readpst")) GTEST_SKIP() << "readpst (pst-utils) is not installed";
    ThreeMailboxes m;
    RecordingView view;
    view.folder = m.out().string();
    fs::create_directories(m.out());
    RunOutcome o = ConvertRows(view, TargetForm::Pst, m.rows(), true);
    EXPECT_TRUE(o.ok());
    EXPECT_EQ(o.messagesSaved, 6);
    auto stores = FilesWithExtension(m.out(), ".pst", false);
    ASSERT_EQ(stores.size(), 1u);
    EXPECT_TRUE(std::regex_match(stores[0].filename().string(),
                                 std::regex(R"(Vellary\d{1,2}\.\d{1,2}\.\d\d \d{1,2}\.\d{1,2}\.\d\d\.pst)")))
        << stores[0];
    EXPECT_TRUE(FilesWithExtension(m.out(), ".eml", true).empty());
    auto folders = readpstFolders(stores[0], m.dir.path() / "read");
    EXPECT_EQ(folders["Inbox"], 3);
    EXPECT_EQ(folders["Sent"], 2);
    EXPECT_EQ(folders["Archive"], 1);
    ASSERT_EQ(view.boxes.size(), 1u);
    EXPECT_EQ(view.boxes[0].text, PstCompletionText());
    EXPECT_EQ(view.boxes[0].title, "Osmark Vellary Converter");
    EXPECT_EQ(view.boxes[0].style, 64);
}

TEST(StoreForms, StorePerMailboxIsNamedAfterTheMailbox) {
    if (!HaveTool("readpst")) GTEST_SKIP() << "readpst (pst-utils) is not installed";
    ThreeMailboxes m;
    fs::create_directories(m.out());
    RecordingView view;
    view.folder = m.out().string();
    EXPECT_TRUE(ConvertRows(view, TargetForm::Pst, m.rows(), false).ok());
    auto stores = FilesWithExtension(m.out(), ".pst", false);
    ASSERT_EQ(stores.size(), 3u);
    EXPECT_EQ(stores[0].filename(), "Archive.pst");
    EXPECT_EQ(stores[1].filename(), "Inbox.pst");
    EXPECT_EQ(stores[2].filename(), "Sent.pst");
    EXPECT_EQ(readpstFolders(m.out() / "Inbox.pst", m.dir.path() / "r1")["Inbox"], 3);
}

// A store file already in the output folder, or one the run itself made for
// a mailbox of the same name, is never written into: the new store goes
// beside it under the next free name and the run goes on.
TEST(StoreForms, TakenStoreNameGetsTheNextFreeNumber) {
    auto stamped = [](int secondsAhead) {
        std::time_t t = std::time(nullptr) + secondsAhead;
        std::tm local{};
        localtime_r(&t, &local);
        return "Vellary" + StoreTimeStamp(local);
    };
    struct Case {
        const char* what;
        bool single;
        bool sameNames;   // a/inbox.mbox and b/inbox.mbox
        int earlierRuns;  // runs made into the folder before the one checked
    };
    const Case cases[] = {
        {"store per mailbox, second run", false, false, 1},
        {"store per mailbox, third run", false, false, 2},
        {"store per mailbox, two mailboxes of one name", false, true, 0},
        {"one store, its time-stamped name taken", true, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        fs::path out = dir.path() / "out";
        fs::create_directories(out);
        fs::path a = dir.path() / "a" / "inbox.mbox";
        fs::path b = c.sameNames ? dir.path() / "b" / "inbox.mbox" : dir.path() / "a" / "sent.mbox";
        WriteFile(a, MboxOf(2));
        WriteFile(b, MboxOf(3));
        std::vector<std::string> rows = {a.string(), b.string()};
        // The one store's name holds the clock to the second: every name the
        // run could build while this case runs is taken beforehand.
        std::map<fs::path, std::string> before;
        if (c.single)
            for (int ahead = -1; ahead <= 5; ++ahead) WriteFile(out / (stamped(ahead) + ".pst"), "not ours");
        for (int run = 0; run < c.earlierRuns; ++run) {
            RecordingView view;
            view.folder = out.string();
            EXPECT_TRUE(ConvertRows(view, TargetForm::Pst, rows, c.single).ok());
        }
        for (auto& f : FilesWithExtension(out, ".pst", false)) before[f] = ReadFile(f);

        RecordingView view;
        view.folder = out.string();
        RunOutcome o = ConvertRows(view, TargetForm::Pst, rows, c.single);
        EXPECT_TRUE(o.ok()) << FailureSummary(o);
        EXPECT_EQ(o.messagesSaved, 5);
        ASSERT_EQ(view.boxes.size(), 1u);
        EXPECT_EQ(view.boxes[0].text, PstCompletionText());
        for (auto& [file, bytes] : before) EXPECT_EQ(ReadFile(file), bytes) << file;

        std::vector<std::string> made;
        for (auto& f : FilesWithExtension(out, ".pst", false))
            if (!before.count(f)) made.push_back(f.filename().string());
        std::sort(made.begin(), made.end());
        std::vector<std::string> expected;
        const std::string n = " (" + std::to_string(c.earlierRuns + 1) + ")";
        if (c.single) {
            ASSERT_EQ(made.size(), 1u);
            EXPECT_TRUE(std::regex_match(made[0], std::regex(R"(Vellary[\d. ]+ \(2\)\.pst)"))) << made[0];
            EXPECT_TRUE(before.count(out / std::regex_replace(made[0], std::regex(R"( \(2\))"), "")));
        } else if (c.sameNames) {
            EXPECT_EQ(made, (std::vector<std::string>{"inbox (2).pst", "inbox.pst"}));
        } else {
            EXPECT_EQ(made, (std::vector<std::string>{"inbox" + n + ".pst", "sent" + n + ".pst"}));
        }
        if (!c.single && HaveTool("readpst")) {
            const std::string second = c.sameNames ? "inbox (2).pst" : "sent" + n + ".pst";
            auto folders = readpstFolders(out / second, dir.path() / "read");
            EXPECT_EQ(folders[c.sameNames ? "inbox" : "sent"], 3);
        }
    }
}

TEST(StoreForms, MsgFilesPerMailbox) {
    ThreeMailboxes m;
    fs::create_directories(m.out());
    RecordingView view;
    view.folder = m.out().string();
    RunOutcome o = ConvertRows(view, TargetForm::Msg, m.rows());
    EXPECT_TRUE(o.ok());
    fs::path inboxFolder = m.out() / PathWithoutRoot(m.inbox.string());
    fs::path sentFolder = m.out() / PathWithoutRoot(m.sent.string());
    EXPECT_EQ(
        FilesWithExtension(inboxFolder, ".msg", false),
        (std::vector<fs::path>{inboxFolder / "Email-1.msg", inboxFolder / "Email-2.msg", inboxFolder / "Email-3.msg"}));
    EXPECT_EQ(FilesWithExtension(sentFolder, ".msg", false),
              (std::vector<fs::path>{sentFolder / "Email-1.msg", sentFolder / "Email-2.msg"}));
    EXPECT_TRUE(FilesWithExtension(m.out(), ".eml", true).empty());
    ASSERT_EQ(view.boxes.size(), 1u);
    EXPECT_EQ(view.boxes[0].text, CompletionText());

    // The .msg files replace those of an earlier run.
    RecordingView again;
    again.folder = m.out().string();
    EXPECT_TRUE(ConvertRows(again, TargetForm::Msg, m.rows()).ok());
    EXPECT_EQ(FilesWithExtension(inboxFolder, ".msg", false).size(), 3u);
}

// What each form leaves in the output folder: its results and nothing the
// run made for itself (working folders, the temporary store of the MSG form).
// Folders that were there before the run stay, even empty; a mailbox that
// cannot be read leaves no folder behind in the store forms.
TEST(StoreForms, OutputFolderHoldsOnlyTheResults) {
    struct Case {
        const char* name;
        TargetForm form;
        bool single;
        std::vector<std::string> results;  // below the output folder; "{src}" is the sources' folder
    };
    const std::vector<std::string> msgs = {"{src}/Inbox.mbox/Email-1.msg", "{src}/Inbox.mbox/Email-2.msg",
                                           "{src}/Inbox.mbox/Email-3.msg", "{src}/Sent.mbox/Email-1.msg",
                                           "{src}/Sent.mbox/Email-2.msg",  "{src}/Archive.MBOX/Email-1.msg"};
    const Case cases[] = {
        {"eml",
         TargetForm::Eml,
         false,
         {"{src}/Inbox.mbox/email-1.eml", "{src}/Inbox.mbox/email-2.eml", "{src}/Inbox.mbox/email-3.eml",
          "{src}/Sent.mbox/email-1.eml", "{src}/Sent.mbox/email-2.eml", "{src}/Archive.MBOX/email-1.eml",
          "{src}/Gone.mbox/"}},
        {"msg", TargetForm::Msg, false, msgs},
        {"single pst", TargetForm::Pst, true, {"Vellary{stamp}.pst"}},
        {"pst per mailbox", TargetForm::Pst, false, {"Archive.pst", "Gone.pst", "Inbox.pst", "Sent.pst"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ThreeMailboxes m;
        std::vector<std::string> rows = m.rows();
        rows.push_back((m.dir.path() / "src" / "Gone.mbox").string());  // cannot be read
        const std::string src = PathWithoutRoot((m.dir.path() / "src").string());
        const std::string top = src.substr(0, src.find('/'));
        // Empty folders of the user's: one apart, one on the way to the mailboxes' folders.
        fs::create_directories(m.out() / "mine");
        fs::create_directories(m.out() / top);
        RecordingView view;
        view.folder = m.out().string();
        RunOutcome o = ConvertRows(view, c.form, rows, c.single);
        EXPECT_EQ(o.mailboxesFailed, 1);
        EXPECT_EQ(o.messagesSaved, 6);

        std::set<std::string> expected = {"mine/", top + "/"};
        for (std::string path : c.results) {
            path = std::regex_replace(path, std::regex("\\{src\\}"), src);
            expected.insert(path);
            for (size_t slash = path.find('/'); slash != std::string::npos && slash + 1 < path.size();
                 slash = path.find('/', slash + 1))
                expected.insert(path.substr(0, slash + 1));
        }
        std::set<std::string> found;
        for (auto& e : fs::recursive_directory_iterator(m.out())) {
            std::string path = fs::relative(e.path(), m.out()).string() + (e.is_directory() ? "/" : "");
            found.insert(
                std::regex_replace(path, std::regex(R"(\d{1,2}\.\d{1,2}\.\d\d \d{1,2}\.\d{1,2}\.\d\d)"), "{stamp}"));
        }
        EXPECT_EQ(found, expected);
    }
}

// Thread-Index and Thread-Topic reach the store as the conversation index
// and topic (as pffexport reads them); a message without a Thread-Index has
// no index.
TEST(StoreForms, ConversationIndexOnlyFromThreadIndex) {
    if (!HaveTool("pffexport")) GTEST_SKIP() << "pffexport (pff-tools) is not installed";
    TempDir dir;
    fs::path box = dir.path() / "box.mbox";
    WriteFile(box,
              "From a\r\nSubject: Re: hello\r\nThread-Topic: hello\r\n"
              "Thread-Index: AdlaEjRWEBESExQVFhcYGRobHB0eHwECAwQF\r\n\r\nx\r\n"
              "From a\r\nSubject: plain\r\n\r\ny\r\n");
    RecordingView view;
    view.folder = (dir.path() / "out").string();
    fs::create_directories(view.folder);
    ASSERT_TRUE(ConvertRows(view, TargetForm::Pst, {box.string()}).ok());
    std::string log;
    ASSERT_EQ(RunCommand("pffexport -q -m all -t " + Quote((dir.path() / "px").string()) + " " +
                             Quote((dir.path() / "out" / "box.pst").string()) + " 2>&1",
                         &log),
              0)
        << log;
    const fs::path folder = dir.path() / "px.export" / "Top of Personal Folders" / "box";
    EXPECT_NE(ReadFile(folder / "Message00001" / "ConversationIndex.txt").find("10111213-1415-1617-1819-1a1b1c1d1e1f"),
              std::string::npos);
    EXPECT_NE(ReadFile(folder / "Message00001" / "OutlookHeaders.txt").find("Conversation topic:\t\t\thello"),
              std::string::npos);
    EXPECT_EQ(ReadFile(folder / "Message00002" / "ConversationIndex.txt"), "");
}

// Closing the window mid-run finishes the store with the messages saved so
// far; those still being read ahead are dropped with their working files.
TEST(StoreForms, ClosingTheWindowFinishesTheOpenStore) {
    if (!HaveTool("readpst")) GTEST_SKIP() << "readpst (pst-utils) is not installed";
    // Line mode yields before every line, block mode once a message.
    // Past the first 16 messages, which may all still be read ahead.
    for (auto [crlf, stopAfter] : {std::pair{true, 120}, {false, 25}}) {
        SCOPED_TRACE(crlf ? "line mode" : "block mode");
        TempDir dir;
        fs::path box = dir.path() / "Big.mbox";
        std::string text = MboxOf(40);
        if (!crlf) text = std::regex_replace(text, std::regex("\r\n"), "\n");
        WriteFile(box, text);
        RecordingView view;
        view.folder = dir.str();
        view.stopAfterYields = stopAfter;  // a few messages in
        RunOutcome o = ConvertRows(view, TargetForm::Pst, {box.string()}, true);
        EXPECT_TRUE(o.stopped);
        EXPECT_GT(o.messagesSaved, 0);
        EXPECT_LT(o.messagesSaved, 40);
        auto stores = FilesWithExtension(dir.path(), ".pst", false);
        ASSERT_EQ(stores.size(), 1u);
        EXPECT_EQ(readpstFolders(stores[0], dir.path() / "read")["Big"], o.messagesSaved);
        EXPECT_TRUE(FilesWithExtension(dir.path(), ".eml", true).empty());
    }
}

// A view that records in one list what the run tells of each message.
struct MessageLog : RecordingView {
    std::vector<std::string> told;
    void setProgressCaption(const std::string& t) override { told.push_back(t); }
    void noteFailure(const std::string& path, const std::string&) override {
        std::smatch n;
        std::string name = fs::path(path).filename().string();
        told.push_back("failed " + (std::regex_search(name, n, std::regex(R"(-(\d+)\.eml$)")) ? n[1].str() : name));
    }
    void noteMessageSaved(int, int, long long total) override { told.push_back("saved " + std::to_string(total)); }
};

// The store forms read messages ahead of the store on a second thread: the
// store (or the .msg files) still gets them in mailbox order, and the view
// is told of each message in that order, its failure (a folder in the way of
// its .msg file) named in its place. A message too large to be read ahead
// goes through alone, between the others.
TEST(StoreForms, MessagesKeepTheirOrderThroughTheReadAhead) {
    struct Case {
        const char* what;
        TargetForm form;
        bool crlf;  // line mode, else block mode
        std::set<int> blocked;
        int huge;  // the number of a 2 MiB message, or 0
    };
    const Case cases[] = {
        {"msg, line mode", TargetForm::Msg, true, {2, 9, 10, 23}, 0},
        {"msg, block mode", TargetForm::Msg, false, {1, 17, 30}, 0},
        {"msg, huge message after a failure", TargetForm::Msg, true, {11}, 12},
        {"pst, line mode", TargetForm::Pst, true, {}, 0},
        {"pst, block mode, huge message", TargetForm::Pst, false, {}, 12},
    };
    const int count = 30;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.form == TargetForm::Pst && !HaveTool("readpst")) GTEST_SKIP() << "readpst (pst-utils) is not installed";
        TempDir dir;
        const std::string eol = c.crlf ? "\r\n" : "\n";
        std::string box;
        for (int n = 1; n <= count; ++n) {
            box += "From x" + eol + "Subject: [m" + std::to_string(n) + "]" + eol + eol;
            if (n == c.huge)
                for (int line = 0; line < (2 << 20) / 64; ++line) box += std::string(62, 'h') + eol;
            box += "body" + eol;
        }
        fs::path src = dir.path() / "box.mbox";
        WriteFile(src, box);
        fs::path out = dir.path() / "out";
        fs::path folder = out / PathWithoutRoot(src.string());
        for (int n : c.blocked) fs::create_directories(folder / ("Email-" + std::to_string(n) + ".msg"));
        MessageLog view;
        view.folder = out.string();
        fs::create_directories(out);
        RunOutcome o = ConvertRows(view, c.form, {src.string()});

        std::vector<std::string> expected;
        int saved = 0;
        for (int n = 1; n <= count; ++n) {
            const std::string caption = "Saved " + std::to_string(n) + " Email Messages...";
            if (c.crlf) expected.push_back(caption);
            expected.push_back(c.blocked.count(n) ? "failed " + std::to_string(n) : "saved " + std::to_string(++saved));
            if (!c.crlf) expected.push_back(caption);
        }
        EXPECT_EQ(view.told, expected);
        EXPECT_EQ(o.messagesSaved, saved);
        EXPECT_EQ(o.messagesFailed, long(c.blocked.size()));

        std::vector<std::string> subjects, kept;
        if (c.form == TargetForm::Msg) {
            for (int n = 1; n <= count; ++n) {
                if (c.blocked.count(n)) continue;
                std::string msg = ReadFile(folder / ("Email-" + std::to_string(n) + ".msg"));
                EXPECT_NE(msg.find("[m" + std::to_string(n) + "]"), std::string::npos) << n;
            }
        } else {
            readpstFolders(out / "box.pst", dir.path() / "read");
            for (auto& m : ReadReadpst(dir.path() / "read")) subjects.push_back(m.headers["Subject"]);
            std::vector<std::string> inOrder;
            for (int n = 1; n <= count; ++n) inOrder.push_back("[m" + std::to_string(n) + "]");
            EXPECT_EQ(subjects, inOrder);
        }
        // A message that did not make it keeps its working file, under its
        // number; every other working file is gone.
        for (auto& f : FilesWithExtension(folder, ".eml", false)) kept.push_back(ReadFile(f));
        ASSERT_EQ(kept.size(), c.blocked.size());
        std::sort(kept.begin(), kept.end());
        std::vector<std::string> keptExpected;
        for (int n : c.blocked)
            keptExpected.push_back("From x\r\nSubject: [m" + std::to_string(n) + "]\r\n\r\nbody\r\n\r\n");
        std::sort(keptExpected.begin(), keptExpected.end());
        EXPECT_EQ(kept, keptExpected);
    }
}

TEST(MAPIUtils, MessageFlagsFollowTheRealAttachments) {
    store::MAPIUtils utils;
    store::Message plain, withFile;
    withFile.attachments.emplace_back();
    utils.HrSetOneProp(&plain, 0x0E070003, 17, true);
    utils.HrSetOneProp(&withFile, 0x0E070003, 17, true);
    EXPECT_EQ(plain.props.find(store::pid::MessageFlags)->integer, 1u);
    EXPECT_EQ(withFile.props.find(store::pid::MessageFlags)->integer, 0x11u);
}

// The store forms write each message into a working file with a hidden name
// of the run's own: an earlier .eml run's files in the same folders stay as
// they were, and no working file is left behind.
TEST(StoreForms, WorkingFilesNeverTakeAUserFileName) {
    for (TargetForm form : {TargetForm::Msg, TargetForm::Pst}) {
        SCOPED_TRACE(form == TargetForm::Msg ? "msg" : "pst");
        ThreeMailboxes m;
        RecordingView first;
        first.folder = m.out().string();
        ASSERT_TRUE(ConvertRows(first, TargetForm::Eml, m.rows()).ok());
        std::map<fs::path, std::string> before, after;
        for (auto& f : FilesWithExtension(m.out(), ".eml", true)) before[f] = ReadFile(f);
        ASSERT_EQ(before.size(), 6u);
        RecordingView second;
        second.folder = m.out().string();
        EXPECT_TRUE(ConvertRows(second, form, m.rows()).ok());
        for (auto& f : FilesWithExtension(m.out(), ".eml", true)) after[f] = ReadFile(f);
        EXPECT_EQ(after, before);
    }
}

// A mailbox file named ".mbox" has no name left once ".mbox" is taken off:
// its store folder is named after the file.
TEST(StoreForms, MailboxNamedDotMboxGetsAFolder) {
    for (TargetForm form : {TargetForm::Msg, TargetForm::Pst}) {
        TempDir dir;
        fs::path box = dir.path() / ".mbox";
        WriteFile(box, MboxOf(2));
        RecordingView view;
        view.folder = dir.str();
        RunOutcome o = ConvertRows(view, form, {box.string()}, true);
        EXPECT_TRUE(o.ok()) << FailureSummary(o);
        EXPECT_EQ(o.messagesSaved, 2);
    }
}

// A store that cannot be finished (a file-size limit stands in for a full
// disk) fails every message it does not hold, and the converter says so and
// exits 1, whether the disk fills while the store is finished or before.
TEST(StoreForms, StoreThatCannotBeFinishedFailsTheMessagesItLost) {
    TempDir dir;
    fs::path box = dir.path() / "box.mbox";
    WriteFile(box, MboxOf(40, [](int i) { return std::string(30000, char('a' + i % 26)); }));
    auto args = [&](const fs::path& out) {
        return std::vector<std::string>{"--to", "pst", "--pst-per-mailbox", "-o", out.string(), box.string()};
    };
    Converter whole(args(dir.path() / "whole"));
    ASSERT_EQ(whole.finish(), 0) << whole.output;
    const rlim_t size = fs::file_size(dir.path() / "whole" / "box.pst");

    const std::pair<const char*, rlim_t> cases[] = {{"finishing", size - 1}, {"earlier", size / 2}};
    for (const auto& [when, limit] : cases) {
        SCOPED_TRACE(when);
        fs::path out = dir.path() / when;
        Converter cli(args(out), limit);
        EXPECT_EQ(cli.finish(), 1) << cli.output;
        fs::path store = out / "box.pst";
        EXPECT_NE(cli.output.find("error: " + store.string() + ": cannot finish the store"), std::string::npos)
            << cli.output;
        int kept = 0;
        if (fs::exists(store)) {
            if (!HaveTool("readpst")) GTEST_SKIP() << "readpst (pst-utils) is not installed";
            kept = readpstFolders(store, out / "read", true)["box"];
        }
        EXPECT_NE(cli.output.find("Not converted: 0 mailboxes, " + std::to_string(40 - kept) +
                                  " messages, 1 store not finished."),
                  std::string::npos)
            << cli.output;
    }
}

// SIGINT, SIGTERM and SIGHUP stop the converter once the open store is
// finished: it exits 128 + the signal's number, the store is whole and holds
// every message the converter counts as saved, and no working file is left.
// When the store cannot be finished (a file-size limit fills the disk) the
// converter says so and exits 1.
TEST(StoreForms, CommandLineFinishesTheStoreOnStopSignals) {
    TempDir dir;
    std::vector<std::string> boxes;
    for (auto [name, count] : {std::pair{"a", 100}, {"b", 30000}, {"c", 30000}}) {
        boxes.push_back((dir.path() / (std::string(name) + ".mbox")).string());
        WriteFile(boxes.back(), MboxOf(count));
    }
    // The first mailbox outgrows the store's first 248 KiB data section, so a
    // limit just past an empty store fills the disk before the signal.
    WriteFile(boxes[0], MboxOf(100, [](int) { return std::string(3000, 'a'); }));
    struct Case {
        int signal;
        rlim_t fileSizeLimit;
        int status;
    };
    for (Case c : {Case{SIGINT, RLIM_INFINITY, 130}, Case{SIGTERM, RLIM_INFINITY, 143},
                   Case{SIGHUP, RLIM_INFINITY, 129}, Case{SIGTERM, 280000, 1}}) {
        SCOPED_TRACE(std::string(strsignal(c.signal)) + (c.status == 1 ? ", disk full" : ""));
        fs::path out = dir.path() / ("out-" + std::to_string(c.signal) + "-" + std::to_string(c.status));
        std::vector<std::string> args{"--to", "pst", "-o", out.string()};
        args.insert(args.end(), boxes.begin(), boxes.end());
        Converter cli(args, c.fileSizeLimit);
        ASSERT_TRUE(cli.readUntil("Mailbox 2 (of 3)")) << cli.output;
        cli.signal(c.signal);
        EXPECT_EQ(cli.finish(), c.status) << cli.output;
        std::smatch said;
        ASSERT_TRUE(std::regex_search(cli.output, said, std::regex(R"(stopped by SIG\w+: (\d+) messages saved)")))
            << cli.output;
        if (c.status == 1) {
            EXPECT_NE(cli.output.find(": cannot finish the store"), std::string::npos) << cli.output;
            continue;
        }
        auto stores = FilesWithExtension(out, ".pst", false);
        ASSERT_EQ(stores.size(), 1u);
        if (HaveTool("readpst")) {
            auto folders = readpstFolders(stores[0], out / "read");
            EXPECT_EQ(folders["a"] + folders["b"] + folders["c"], std::stoi(said[1])) << cli.output;
        } else {
            std::vector<std::string> problems;
            EXPECT_TRUE(store::pst::VerifyPst(stores[0].string(), &problems)) << problems.at(0);
        }
        fs::remove_all(out / "read");
        EXPECT_TRUE(FilesWithExtension(out, ".eml", true).empty());
    }
}
