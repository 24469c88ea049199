// The whole corpus through the run into one .pst, read back by two readers
// that share nothing with our writer: readpst (pst-utils) and pffexport
// (pff-tools, whose property dump shows the stored values themselves). Every
// message is compared with what its .eml (written by the EML form of the same
// run, so split the same way) holds when GMime reads it: folder and order,
// subject, originators, recipients, date, Message-ID, bodies, attachments and
// the read flag. Also: stores per mailbox, and one store of thousands of
// messages with deep B-trees.
#include <gtest/gtest.h>
#include <glib.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>

#include "conversion/ConversionRun.h"
#include "store/pst/verify/PstVerifier.h"
#include "tests/support/commands.h"
#include "tests/support/files.h"
#include "tests/support/pst_readers.h"
#include "tests/support/recording_view.h"
#include "tests/support/roundtrip.h"

using namespace testsupport;

namespace {

// Mailbox folder name -> messages in order, from pffexport and from readpst -S.
using PffFolders = std::map<std::string, std::vector<PffMessage>>;
using ReadpstFolders = std::map<std::string, std::vector<ReadpstMessage>>;

// ---- comparisons ---------------------------------------------------------------

// Everything pffexport shows of one message against the source.
void ComparePff(const SourceMailbox& box, const SourceMail& src, const PffMessage& got, Mismatches& mm) {
    std::string where = Describe(box, src), why;
    if (NormaliseLine(got.header("Subject")) != src.subject)
        mm.add(where, "subject", src.subject, got.header("Subject"));
    // Sent representing is the From address, sender the Sender's.
    if (Lower(got.header("Sent representing email address")) != src.from)
        mm.add(where, "From address", src.from, got.header("Sent representing email address"));
    if (Lower(got.header("Sender email address")) != src.sender)
        mm.add(where, "Sender address", src.sender, got.header("Sender email address"));
    if (got.addresses("To") != WithAddress(src.to))
        mm.add(where, "To addresses", Join(src.to), Join(got.addresses("To")));
    if (got.addresses("CC") != WithAddress(src.cc))
        mm.add(where, "Cc addresses", Join(src.cc), Join(got.addresses("CC")));
    if (got.addresses("BCC") != WithAddress(src.bcc))
        mm.add(where, "Bcc addresses", Join(src.bcc), Join(got.addresses("BCC")));
    if (src.hasDate && ParsePffTime(got.header("Client submit time")) != src.date)
        mm.add(where, "client submit time", std::to_string(src.date), got.header("Client submit time"));
    // Every item is marked read.
    if (got.header("Flags").find("Read") == std::string::npos)
        mm.add(where, "flags (read)", "Read", got.header("Flags"));
    // pffexport (libpff 20180714) turns UTF-16 surrogate pairs into the wrong
    // characters (U+1F44D comes out as U+1F04E) though the stored pair is
    // right (readpst and the .msg reader see it); such characters are masked.
    if (src.hasPlain && MaskAstral(NormaliseText(got.body)) != MaskAstral(NormaliseText(src.plain)))
        mm.add(where, "plain body", NormaliseText(src.plain), NormaliseText(got.body));
    if (src.hasHtml != got.hasHtml || NormaliseHtml(got.html) != NormaliseHtml(src.html))
        mm.add(where, "HTML body", NormaliseHtml(src.html), NormaliseHtml(got.html));
    if (!SameFiles(src.files, got.files(), &why))
        mm.add(where, "attachments: " + why, Names(src.files), Names(got.files()));
    std::vector<std::string> embedded;
    for (const auto& e : got.embedded) embedded.push_back(NormaliseLine(e.header("Subject")));
    if (embedded != src.embedded) mm.add(where, "attached messages", Join(src.embedded), Join(embedded));
}

// The stored values themselves, from pffexport's property dump.
void CompareDump(const SourceMailbox& box, const SourceMail& src, const PffMessage& got, Mismatches& mm) {
    std::string where = Describe(box, src);
    if (got.props.empty()) {
        mm.note(where + ": no property dump");
        return;
    }
    if (src.hasSubject != got.has(0x0037001F) || NormaliseLine(got.text(0x0037)) != src.subject)
        mm.add(where, "PR_SUBJECT", src.subject, got.text(0x0037));
    if (Lower(got.text(0x0065)) != src.from)
        mm.add(where, "PR_SENT_REPRESENTING_EMAIL_ADDRESS", src.from, got.text(0x0065));
    if (Lower(got.text(0x0C1F)) != src.sender) mm.add(where, "PR_SENDER_EMAIL_ADDRESS", src.sender, got.text(0x0C1F));
    if (src.hasDate && (!got.has(0x00390040) || FiletimeToUnix(got.u64(0x00390040)) != src.date))
        mm.add(where, "PR_CLIENT_SUBMIT_TIME", std::to_string(src.date),
               std::to_string(FiletimeToUnix(got.u64(0x00390040))));
    if (got.text(0x1035) != src.messageId) mm.add(where, "PR_INTERNET_MESSAGE_ID", src.messageId, got.text(0x1035));
    if (!got.has(0x0E070003) || (got.u64(0x0E070003) & 1) == 0)
        mm.add(where, "PR_MESSAGE_FLAGS (read)", "0x1 set", std::to_string(got.u64(0x0E070003)));
    if (src.hasPlain && NormaliseText(got.text(0x1000)) != NormaliseText(src.plain))
        mm.add(where, "PR_BODY", NormaliseText(src.plain), NormaliseText(got.text(0x1000)));
    auto html = got.props.find(0x10130102);
    if (src.hasHtml != (html != got.props.end()) ||
        (src.hasHtml && NormaliseHtml(html->second) != NormaliseHtml(src.html)))
        mm.add(where, "PR_HTML", NormaliseHtml(src.html), html == got.props.end() ? "" : NormaliseHtml(html->second));
}

// Everything readpst writes of one message (its -S message file, parsed with
// GMime, and its N-name attachment files) against the source. readpst writes
// the stored transport header block as the message's header, so subject,
// addresses, date and Message-ID here come from that block.
void CompareReadpst(const SourceMailbox& box, const SourceMail& src, const ReadpstMessage& rp, Mismatches& mm) {
    std::string where = Describe(box, src), why;
    const SourceMail got = ReadMailBytes(rp.text);
    if (got.subject != src.subject) mm.add(where, "subject", src.subject, got.subject);
    // readpst adds "From: <MAILER-DAEMON>" to a message that has no From.
    bool daemon = src.from.empty() && got.from == "mailer-daemon";
    if (got.from != src.from && !daemon) mm.add(where, "From address", src.from, got.from);
    if (got.to != src.to) mm.add(where, "To addresses", Join(src.to), Join(got.to));
    if (got.cc != src.cc) mm.add(where, "Cc addresses", Join(src.cc), Join(got.cc));
    if (src.hasDate && got.date != src.date) mm.add(where, "Date", std::to_string(src.date), std::to_string(got.date));
    if (got.messageId != src.messageId) mm.add(where, "Message-ID", src.messageId, got.messageId);
    if (src.hasPlain && NormaliseText(got.plain) != NormaliseText(src.plain))
        mm.add(where, "plain body", NormaliseText(src.plain), NormaliseText(got.plain));
    if (src.hasHtml && NormaliseHtml(got.html) != NormaliseHtml(src.html))
        mm.add(where, "HTML body", NormaliseHtml(src.html), NormaliseHtml(got.html));
    // Read items carry "Status: RO".
    if (rp.text.rfind("Status: RO", 0) != 0 && rp.text.find("\nStatus: RO") == std::string::npos)
        mm.add(where, "Status", "RO", "missing");
    if (src.embedded.empty() && !SameFiles(src.files, rp.files(), &why))
        mm.add(where, "attachments: " + why, Names(src.files), Names(rp.files()));
}

// ---- the shared run ------------------------------------------------------------

std::vector<fs::path> StoresIn(const fs::path& dir) { return FilesWithExtension(dir, ".pst", false); }

// The messages of each mailbox folder (the last part of the folder's path).
template <typename Read>
std::map<std::string, std::vector<Read>> ByMailbox(std::vector<Read> all) {
    std::map<std::string, std::vector<Read>> out;
    for (auto& m : all) out[fs::path(m.folder).filename().string()].push_back(std::move(m));
    return out;
}

ReadpstFolders Readpst(const fs::path& store, const fs::path& dir, std::string* log) {
    fs::create_directories(dir);
    // -j 0: readpst's parallel jobs share one file offset and now and then
    // read a block from the wrong place; one process reads reliably.
    RunCommand("readpst -j 0 -q -8 -r -S -o " + Quote(dir.string()) + " " + Quote(store.string()) + " 2>&1", log);
    return ByMailbox(ReadReadpst(dir));
}

PffFolders Pffexport(const fs::path& store, const fs::path& target, bool dump, std::string* log) {
    RunCommand(std::string("pffexport -q ") + (dump ? "-d " : "") + "-m items -f all -t " + Quote(target.string()) +
                   " " + Quote(store.string()) + " 2>&1",
               log);
    return ByMailbox(ReadPffExport(target.string() + ".export"));
}

struct Shared {
    TempDir dir;
    std::string skip;
    std::vector<SourceMailbox> sources;
    fs::path store;
    conversion::RunOutcome outcome;
    PffFolders pff;
    ReadpstFolders readpst;
    std::string readpstLog, pffLog;
};

Shared* TheRun() {
    static std::unique_ptr<Shared> shared = [] {
        auto s = std::make_unique<Shared>();
        auto mailboxes = CorpusMailboxes();
        if (mailboxes.empty()) {
            s->skip = "corpus not found at " VELLARY_CORPUS_DIR "/mbox";
            return s;
        }
        if (!HaveTool("readpst") || !HaveTool("pffexport")) {
            s->skip = "readpst (pst-utils) or pffexport (pff-tools) is not installed";
            return s;
        }
        s->sources = ConvertToEml(mailboxes, s->dir.path() / "eml");

        fs::path out = s->dir.path() / "pst";
        s->outcome = ConvertRows(out, conversion::TargetForm::Pst, Rows(s->sources), true);
        auto stores = StoresIn(out);
        if (stores.size() != 1) return s;
        s->store = stores[0];
        s->readpst = Readpst(s->store, s->dir.path() / "readpst", &s->readpstLog);
        // Without -d: pffexport's property dump of the whole corpus takes a minute.
        s->pff = Pffexport(s->store, s->dir.path() / "pff", false, &s->pffLog);
        return s;
    }();
    return shared.get();
}

#define ROUNDTRIP_RUN(s)                           \
    Shared* s = TheRun();                          \
    if (!s->skip.empty()) GTEST_SKIP() << s->skip; \
    ASSERT_FALSE(s->store.empty()) << "the run made no single store"

}  // namespace

TEST(RoundTripPst, RunSucceedsAndTheStoreVerifiesStrictly) {
    ROUNDTRIP_RUN(s);
    EXPECT_TRUE(OkButEmptyMailboxes(s->outcome)) << conversion::FailureSummary(s->outcome);
    long long total = 0;
    for (const auto& box : s->sources) total += box.mails.size();
    EXPECT_GT(total, 500);
    EXPECT_EQ(s->outcome.messagesSaved, total);
    EXPECT_EQ(StructureProblems(s->store.string()), "");
}

TEST(RoundTripPst, EveryMailboxIsAFolderWithItsMessagesInOrder) {
    ROUNDTRIP_RUN(s);
    Mismatches mm;
    for (const auto& box : s->sources) {
        const auto& pff = s->pff[box.name];
        const auto& rp = s->readpst[box.name];
        if (pff.size() != box.mails.size())
            mm.add(box.name, "pffexport message count", std::to_string(box.mails.size()), std::to_string(pff.size()));
        if (rp.size() != box.mails.size())
            mm.add(box.name, "readpst message count", std::to_string(box.mails.size()), std::to_string(rp.size()));
        // Order: the n-th item of the folder is the n-th message of the mailbox.
        for (size_t i = 0; i < box.mails.size() && i < pff.size(); ++i) {
            const auto& src = box.mails[i];
            bool sameDate = !src.hasDate || ParsePffTime(pff[i].header("Client submit time")) == src.date;
            if (NormaliseLine(pff[i].header("Subject")) != src.subject || !sameDate)
                mm.add(Describe(box, src), "pffexport item " + std::to_string(i + 1) + " subject/date", src.subject,
                       pff[i].header("Subject") + " " + pff[i].header("Client submit time"));
        }
        for (size_t i = 0; i < box.mails.size() && i < rp.size(); ++i)
            if (rp[i].number != int(i + 1) || ReadMailBytes(rp[i].text).messageId != box.mails[i].messageId)
                mm.add(Describe(box, box.mails[i]), "readpst message " + std::to_string(i + 1), box.mails[i].messageId,
                       std::to_string(rp[i].number) + " " + ReadMailBytes(rp[i].text).messageId);
    }
    // No folder of messages the corpus does not have.
    std::set<std::string> names;
    for (const auto& box : s->sources) names.insert(box.name);
    for (const auto& [folder, content] : s->pff)
        if (!names.count(folder)) mm.note("pffexport folder with messages not from the corpus: " + folder);
    for (const auto& [folder, content] : s->readpst)
        if (!names.count(folder)) mm.note("readpst folder with messages not from the corpus: " + folder);
    EXPECT_EQ(mm.count(), 0u) << mm.report() << s->readpstLog << s->pffLog;
}

TEST(RoundTripPst, PffexportFindsEveryMessageAsTheSourceHoldsIt) {
    ROUNDTRIP_RUN(s);
    Mismatches mm;
    size_t nonAscii = 0, files = 0, embedded = 0, plain = 0, html = 0;
    for (const auto& box : s->sources) {
        const auto& pff = s->pff[box.name];
        for (size_t i = 0; i < box.mails.size() && i < pff.size(); ++i) {
            nonAscii += box.mails[i].nonAscii();
            plain += box.mails[i].hasPlain;
            html += box.mails[i].hasHtml;
            files += box.mails[i].files.size();
            embedded += box.mails[i].embedded.size();
            ComparePff(box, box.mails[i], pff[i], mm);
        }
    }
    EXPECT_GT(nonAscii, 10u) << "the corpus should hold messages with non-ASCII text";
    EXPECT_GT(files, 20u);
    EXPECT_GT(embedded, 5u);
    EXPECT_GT(plain, 700u);
    EXPECT_GT(html, 50u);
    EXPECT_EQ(mm.count(), 0u) << mm.report();
}

TEST(RoundTripPst, ReadpstFindsEveryMessageAsTheSourceHoldsIt) {
    ROUNDTRIP_RUN(s);
    Mismatches mm;
    for (const auto& box : s->sources) {
        const auto& rp = s->readpst[box.name];
        for (size_t i = 0; i < box.mails.size() && i < rp.size(); ++i) CompareReadpst(box, box.mails[i], rp[i], mm);
    }
    EXPECT_EQ(mm.count(), 0u) << mm.report();
}

// A store per mailbox, for a few mailboxes: small enough for pffexport's
// property dump, which shows the stored values themselves (Message-ID among
// them, which neither reader's other output shows).
TEST(RoundTripPst, StorePerMailboxWithTheStoredValues) {
    Shared* s = TheRun();
    if (!s->skip.empty()) GTEST_SKIP() << s->skip;
    // Attachments and attached messages, 8-bit headers and bodies, HTML only, and an empty mailbox.
    const std::set<std::string> wanted = {"mail-box-win-crlf",
                                          "mailutils-msg",
                                          "perceval-iso8859_encoding",
                                          "thunderbird-panorama-migration",
                                          "ponymail-nexus-html-only",
                                          "mimekit-issue1189",
                                          "neomutt-apple"};
    std::vector<const SourceMailbox*> chosen;
    std::vector<std::string> rows;
    for (const auto& box : s->sources)
        if (wanted.count(box.name)) chosen.push_back(&box), rows.push_back(box.source.string());
    ASSERT_EQ(chosen.size(), wanted.size());
    fs::path out = s->dir.path() / "per-mailbox";
    EXPECT_TRUE(OkButEmptyMailboxes(ConvertRows(out, conversion::TargetForm::Pst, rows)));
    Mismatches mm;
    for (const auto* box : chosen) {
        fs::path store = out / (box->name + ".pst");
        ASSERT_TRUE(fs::exists(store)) << store;
        EXPECT_EQ(StructureProblems(store.string()), "") << store;
        std::string log;
        auto rp = Readpst(store, s->dir.path() / ("readpst-" + box->name), &log)[box->name];
        auto pff = Pffexport(store, s->dir.path() / ("pff-" + box->name), true, &log)[box->name];
        EXPECT_EQ(rp.size(), box->mails.size()) << box->name;
        EXPECT_EQ(pff.size(), box->mails.size()) << box->name;
        for (size_t i = 0; i < box->mails.size(); ++i) {
            if (i < rp.size()) CompareReadpst(*box, box->mails[i], rp[i], mm);
            if (i < pff.size()) ComparePff(*box, box->mails[i], pff[i], mm);
            if (i < pff.size()) CompareDump(*box, box->mails[i], pff[i], mm);
        }
    }
    EXPECT_EQ(mm.count(), 0u) << mm.report();
}

// Thousands of small messages in one folder: the node and block B-trees grow
// several levels and the folder's contents table spans many blocks.
TEST(RoundTripPst, ThousandsOfMessagesInOneStore) {
    if (!HaveTool("readpst")) GTEST_SKIP() << "readpst (pst-utils) is not installed";
    TempDir dir;
    const int count = 5000;
    std::string mbox;
    mbox.reserve(size_t(count) * 200);
    for (int i = 1; i <= count; ++i) {
        mbox += "From sender@example.org Mon Jan  1 10:00:00 2024\n";
        mbox += "From: Sender <sender@example.org>\nTo: r" + std::to_string(i % 17) + "@example.net\n";
        mbox += "Subject: message " + std::to_string(i) + "\nMessage-ID: <" + std::to_string(i) + "@gen>\n";
        mbox += "Date: Mon, 1 Jan 2024 10:00:00 +0000\n\nbody of message " + std::to_string(i) + "\n";
    }
    fs::path box = dir.path() / "Many.mbox";
    WriteFile(box, mbox);
    fs::path out = dir.path() / "out";
    auto started = std::chrono::steady_clock::now();
    auto outcome = ConvertRows(out, conversion::TargetForm::Pst, {box.string()}, true);
    auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_TRUE(outcome.ok());
    EXPECT_EQ(outcome.messagesSaved, count);
    auto stores = StoresIn(out);
    ASSERT_EQ(stores.size(), 1u);
    store::pst::VerifyReport stats;
    EXPECT_EQ(StructureProblems(stores[0].string(), false, &stats), "");
    // Leaf pages and at least two levels of index pages above them.
    EXPECT_GE(stats.nbtLevels, 3);
    EXPECT_GE(stats.bbtLevels, 3);
    // Every message in the store once, in the mailbox's folder beside the four fixed ones.
    EXPECT_EQ(stats.messages, size_t(count));
    EXPECT_EQ(stats.folders, 5u);
    fs::path rp = dir.path() / "read";
    fs::create_directories(rp);
    std::string log;
    RunCommand("readpst -j 0 -q -r -S -o " + Quote(rp.string()) + " " + Quote(stores[0].string()) + " 2>&1", &log);
    int files = 0;
    std::set<std::string> subjects;
    std::regex number(R"(\d+)");
    for (auto& e : fs::recursive_directory_iterator(rp))
        if (e.is_regular_file() && std::regex_match(e.path().filename().string(), number)) {
            ++files;
            if (files % 250 == 0) subjects.insert(ReadMailBytes(ReadFile(e.path())).subject);
        }
    EXPECT_EQ(files, count) << log;
    EXPECT_EQ(subjects.size(), size_t(count / 250));
    RecordProperty("conversion_seconds", std::to_string(seconds));
}
