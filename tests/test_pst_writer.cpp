// The .pst writer, read back through the two independent readers: readpst
// (libpst) and pffexport/pffinfo (libpff); every store written here also goes
// through the structural check.
#include <gtest/gtest.h>

#include "store/MapiIds.h"
#include "store/pst/PstWriter.h"
#include "tests/support/builders.h"
#include "tests/support/commands.h"
#include "tests/support/files.h"
#include "tests/support/pst_readers.h"

#include <filesystem>
#include <map>
#include <set>

using namespace testsupport;
using store::pst::PstWriter;
namespace fs = std::filesystem;

namespace {

bool haveReaders() { return HaveTool("readpst") && HaveTool("pffexport") && HaveTool("pffinfo"); }

#define REQUIRE_READERS() \
    if (!haveReaders()) GTEST_SKIP() << "readpst/pffexport/pffinfo missing (Debian packages pst-utils, pff-tools)"

void expectSound(const std::string& pst, store::pst::VerifyReport* stats = nullptr) {
    EXPECT_EQ(StructureProblems(pst, false, stats), "") << pst;
}

// readpst -S: one file per message, attachments beside it.
std::vector<ReadpstMessage> runReadpst(const std::string& pst, const std::string& dir, std::string* log) {
    fs::create_directories(dir);
    EXPECT_EQ(RunCommand("readpst -j 0 -D -S -b -o '" + dir + "' '" + pst + "' 2>&1", log), 0) << *log;
    size_t skipped = 0;
    for (size_t at = log->find(" items skipped"); at != std::string::npos; at = log->find(" items skipped", at + 1))
        skipped += log->compare(at - 3, 3, ", 0") != 0;
    EXPECT_EQ(skipped, 0u) << *log;
    return ReadReadpst(dir);
}

// pffexport -m all -f all: a folder per message.
std::vector<PffMessage> runPffexport(const std::string& pst, const std::string& target, std::string* log) {
    EXPECT_EQ(RunCommand("pffexport -m all -f all -t '" + target + "' '" + pst + "' 2>&1", log), 0) << *log;
    EXPECT_NE(log->find("Export completed."), std::string::npos) << *log;
    return ReadPffExport(target + ".export");
}

template <typename Read>
const Read* bySubject(const std::vector<Read>& all, const std::string& subject) {
    for (const auto& m : all)
        if (m.headers.count("Subject") && m.headers.at("Subject") == subject) return &m;
    return nullptr;
}

MailSpec richMail(int i) {
    MailSpec m;
    m.subject = (i % 2 ? "RE: Grüße aus Köln – Nr. " : "Quarterly report #") + std::to_string(i);
    m.from = {"Jörg Müller", "joerg" + std::to_string(i) + "@example.de"};
    m.to = {{"Bob Builder", "bob@example.org"}, {"Carol Ødegård", "carol@example.net"}};
    m.cc = {{"Dave Cc", "dave@example.org"}};
    m.bcc = {{"", "eve@example.org"}};
    m.body = "Hello Bob,\r\nline two with äöü and 日本語 (" + std::to_string(i) + ").\r\n";
    m.messageId = "<rich" + std::to_string(i) + "@example.de>";
    m.date = Filetime(2023, 11, 1 + i % 28, 8, i % 60, 5);
    return m;
}

}  // namespace

TEST(PstWriterRoundTrip, FoldersSubjectsSendersRecipientsAndBodies) {
    REQUIRE_READERS();
    TempDir tmp;
    const std::string pst = tmp.file("mail.pst");
    {
        PstWriter w;
        std::string err;
        ASSERT_TRUE(w.create(pst, "Mailbox Export", &err)) << err;
        const uint32_t inbox = w.addFolder(w.rootFolder(), "Inbox", &err);
        const uint32_t projects = w.addFolder(inbox, "Projects", &err);
        const uint32_t archive = w.addFolder(w.rootFolder(), "Archiv 2023 – Ü", &err);
        ASSERT_TRUE(inbox && projects && archive) << err;
        ASSERT_NE(w.addFolder(w.rootFolder(), "Empty", &err), 0u) << err;
        for (int i = 0; i < 6; ++i) {
            const uint32_t f = i < 3 ? inbox : i < 5 ? projects : archive;
            ASSERT_TRUE(w.addMessage(f, MakeMessage(richMail(i)), &err)) << err;
        }
        ASSERT_TRUE(w.close(&err)) << err;
    }
    expectSound(pst);

    std::string log;
    EXPECT_EQ(RunCommand("pffinfo '" + pst + "' 2>&1", &log), 0) << log;
    EXPECT_NE(log.find("Subtree, Wastbox, Finder"), std::string::npos) << log;
    EXPECT_NE(log.find("Encryption type:\tnone"), std::string::npos) << log;

    auto rp = runReadpst(pst, tmp.file("rp"), &log);
    // readpst counts subfolders as items of their parent.
    EXPECT_NE(log.find("\"Inbox\" - 4 items done"), std::string::npos) << log;
    EXPECT_NE(log.find("\"Projects\" - 2 items done"), std::string::npos) << log;
    EXPECT_NE(log.find("\"Archiv 2023 – Ü\" - 1 items done"), std::string::npos) << log;
    ASSERT_EQ(rp.size(), 6u) << log;
    auto px = runPffexport(pst, tmp.file("px"), &log);
    ASSERT_EQ(px.size(), 6u) << log;
    EXPECT_TRUE(fs::exists(tmp.file("px.export/Top of Personal Folders/Deleted Items")));
    EXPECT_TRUE(fs::exists(tmp.file("px.export/Top of Personal Folders/Empty")));
    for (const auto& e : fs::directory_iterator(tmp.file("px.export")))
        EXPECT_EQ(e.path().filename().string().find("Orphan"), std::string::npos) << e.path();

    for (int i = 0; i < 6; ++i) {
        const MailSpec s = richMail(i);
        const std::string folder = i < 3 ? "Inbox" : i < 5 ? "Inbox/Projects" : "Archiv 2023 – Ü";
        SCOPED_TRACE(s.subject);
        const ReadpstMessage* r = bySubject(rp, s.subject);
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->folder, folder);
        EXPECT_EQ(r->headers.at("From"), s.from.name + " <" + s.from.email + ">");
        EXPECT_EQ(r->headers.at("To"), "Bob Builder; Carol Ødegård");
        EXPECT_EQ(r->headers.at("Cc"), "Dave Cc");
        EXPECT_EQ(r->headers.at("X-libpst-forensic-bcc"), "eve@example.org");
        EXPECT_EQ(r->headers.at("Message-Id"), s.messageId);
        EXPECT_NE(r->text.find("line two with äöü and 日本語 (" + std::to_string(i) + ")"), std::string::npos);

        const PffMessage* p = bySubject(px, s.subject);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->folder, "Top of Personal Folders/" + folder);
        EXPECT_EQ(p->headers.at("Sender name"), s.from.name);
        EXPECT_EQ(p->headers.at("Sender email address"), s.from.email);
        EXPECT_EQ(p->headers.at("Sent representing email address"), s.from.email);
        EXPECT_EQ(p->headers.at("Flags"), "0x00000001 (Read)");  // asked for 17, but there is no attachment
        EXPECT_NE(p->headers.at("Client submit time").find("Nov"), std::string::npos);
        EXPECT_EQ(p->body, s.body);
        ASSERT_EQ(p->recipients.size(), 4u);
        const char* types[] = {"To", "To", "CC", "BCC"};
        const Address who[] = {s.to[0], s.to[1], s.cc[0], s.bcc[0]};
        for (size_t k = 0; k < 4; ++k) {
            EXPECT_EQ(p->recipients[k].at("Display name"), who[k].name.empty() ? who[k].email : who[k].name);
            EXPECT_EQ(p->recipients[k].at("Email address"), who[k].email);
            EXPECT_EQ(p->recipients[k].at("Address type"), "SMTP");
            EXPECT_EQ(p->recipients[k].at("Recipient type"), types[k]);
        }
    }
}

TEST(PstWriterRoundTrip, AttachmentsHtmlAndNamedProperties) {
    REQUIRE_READERS();
    TempDir tmp;
    const std::string pst = tmp.file("attach.pst");
    // Sizes around the heap item limit, the block size and the one-level data tree (1021 blocks).
    const std::vector<size_t> sizes = {1, 3580, 3581, 8176, 8177, 100000, 1021 * 8176 + 5};
    MailSpec s;
    s.subject = "Files for you";
    s.from = {"Alice", "alice@example.com"};
    s.to = {{"Bob", "bob@example.org"}};
    s.body = "See the attached files.\r\n";
    s.html = "<html><head><meta charset=\"utf-8\"></head><body><p>See the <b>attached</b> files – ✓</p></body></html>";
    s.withHeaders = true;
    for (size_t i = 0; i < sizes.size(); ++i)
        s.files.push_back(
            {"file" + std::to_string(i) + ".bin", "application/octet-stream", Noise(sizes[i], uint32_t(i + 1))});
    s.files.push_back({"Übersicht.txt", "text/plain", "Grüße\r\n"});
    store::Message msg = MakeMessage(s);
    store::NamedKey key;
    key.propertySet = store::ids::PS_PUBLIC_STRINGS;
    key.isString = true;
    key.name = "X-Mailer";
    store::Property named;
    named.text = "Test Mailer 1.0";
    msg.props.setNamed(key, store::PT_UNICODE, named);
    store::NamedKey lidKey;
    lidKey.propertySet = store::ids::PSETID_Task;
    lidKey.lid = 0x8503;
    store::Property boolean;
    boolean.integer = 1;
    msg.props.setNamed(lidKey, store::PT_BOOLEAN, boolean);
    {
        PstWriter w;
        std::string err;
        ASSERT_TRUE(w.create(pst, "Attachments", &err)) << err;
        const uint32_t f = w.addFolder(w.rootFolder(), "Inbox", &err);
        ASSERT_TRUE(w.addMessage(f, msg, &err)) << err;
        ASSERT_TRUE(w.close(&err)) << err;
    }
    store::pst::VerifyReport st;
    expectSound(pst, &st);
    EXPECT_GE(st.xxblocks, 1u) << "the largest attachment needs a two-level data tree";

    std::string log;
    auto rp = runReadpst(pst, tmp.file("rp"), &log);
    ASSERT_EQ(rp.size(), 1u) << log;
    for (size_t i = 0; i < s.files.size(); ++i) {
        auto it = rp[0].attachments.find(s.files[i].name);
        ASSERT_NE(it, rp[0].attachments.end()) << s.files[i].name;
        EXPECT_TRUE(it->second == s.files[i].bytes) << s.files[i].name << " differs in readpst's copy";
    }
    EXPECT_NE(rp[0].text.find("<b>attached</b> files – ✓"), std::string::npos);

    auto px = runPffexport(pst, tmp.file("px"), &log);
    ASSERT_EQ(px.size(), 1u) << log;
    EXPECT_EQ(px[0].headers.at("Flags"), "0x00000011 (Read, Has attachments)");
    EXPECT_EQ(px[0].html, s.html);
    EXPECT_EQ(px[0].body, s.body);
    ASSERT_EQ(px[0].attachments.size(), s.files.size());
    for (size_t i = 0; i < s.files.size(); ++i) {
        auto it = px[0].attachments.find(std::to_string(i + 1) + "_" + s.files[i].name);
        ASSERT_NE(it, px[0].attachments.end()) << s.files[i].name;
        EXPECT_TRUE(it->second == s.files[i].bytes) << s.files[i].name << " differs in pffexport's copy";
    }
    const uint64_t size = std::stoull(px[0].headers.at("Size"));
    EXPECT_GT(size, 1021u * 8176u + 100000u);  // the message size counts the attachments
}

TEST(PstWriterRoundTrip, EmbeddedMessage) {
    REQUIRE_READERS();
    TempDir tmp;
    const std::string pst = tmp.file("embedded.pst");
    MailSpec outer;
    outer.subject = "Fwd: the original";
    outer.from = {"Alice", "alice@example.com"};
    outer.to = {{"Bob", "bob@example.org"}};
    outer.body = "Forwarding the message below.\r\n";
    MailSpec inner;
    inner.subject = "The original – ✓";
    inner.from = {"Carol", "carol@example.net"};
    inner.to = {{"Alice", "alice@example.com"}};
    inner.body = "Inner body text.\r\n";
    inner.files.push_back({"inner.bin", "application/octet-stream", Noise(20000, 7)});
    store::Message msg = MakeMessage(outer);
    store::Attachment a;
    a.props.setLong(store::pid::AttachMethod, 5);
    a.props.setString(store::pid::AttachMimeTag, "message/rfc822");
    a.embedded = std::make_unique<store::Message>(MakeMessage(inner));
    msg.attachments.push_back(std::move(a));
    {
        PstWriter w;
        std::string err;
        ASSERT_TRUE(w.create(pst, "Embedded", &err)) << err;
        ASSERT_TRUE(w.addMessage(w.addFolder(w.rootFolder(), "Inbox", &err), msg, &err)) << err;
        ASSERT_TRUE(w.close(&err)) << err;
    }
    expectSound(pst);

    std::string log;
    auto px = runPffexport(pst, tmp.file("px"), &log);
    ASSERT_EQ(px.size(), 1u) << log;
    ASSERT_EQ(px[0].embedded.size(), 1u) << log;
    const PffMessage& e = px[0].embedded[0];
    EXPECT_EQ(e.headers.at("Subject"), inner.subject);
    EXPECT_EQ(e.headers.at("Sender email address"), "carol@example.net");
    EXPECT_EQ(e.body, inner.body);
    ASSERT_EQ(e.attachments.size(), 1u);
    EXPECT_TRUE(e.attachments.begin()->second == inner.files[0].bytes);
    ASSERT_EQ(e.recipients.size(), 1u);
    EXPECT_EQ(e.recipients[0].at("Email address"), "alice@example.com");

    auto rp = runReadpst(pst, tmp.file("rp"), &log);
    ASSERT_EQ(rp.size(), 1u) << log;
    EXPECT_NE(rp[0].text.find("Content-Type: message/rfc822"), std::string::npos);
    EXPECT_NE(rp[0].text.find("Inner body text."), std::string::npos);
    EXPECT_NE(rp[0].text.find("filename=\"inner.bin\""), std::string::npos);
}

TEST(PstWriterRoundTrip, ThousandsOfMessagesGiveDeepTrees) {
    REQUIRE_READERS();
    TempDir tmp;
    const std::string pst = tmp.file("many.pst");
    const int big = 2000, small = 100;
    {
        PstWriter w;
        std::string err;
        ASSERT_TRUE(w.create(pst, "Many", &err)) << err;
        const uint32_t a = w.addFolder(w.rootFolder(), "Bulk", &err);
        const uint32_t b = w.addFolder(w.rootFolder(), "Other", &err);
        for (int i = 0; i < big + small; ++i) {
            MailSpec s;
            s.subject = "Bulk message " + std::to_string(i);
            s.from = {"Sender " + std::to_string(i % 17), "s" + std::to_string(i % 17) + "@example.com"};
            s.to = {{"Rcpt", "rcpt@example.org"}};
            s.body = "Body " + std::to_string(i) + "\r\n";
            s.flags = i % 3 ? 1 : 0;
            if (i % 500 == 0) s.files.push_back({"a.txt", "text/plain", "attachment " + std::to_string(i)});
            ASSERT_TRUE(w.addMessage(i % 21 == 20 ? b : a, MakeMessage(s), &err)) << err;
        }
        ASSERT_TRUE(w.close(&err)) << err;
    }
    store::pst::VerifyReport st;
    expectSound(pst, &st);
    EXPECT_GE(st.nbtLevels, 3);
    EXPECT_GE(st.bbtLevels, 3);

    int inBulk = 0;
    for (int i = 0; i < big + small; ++i) inBulk += i % 21 != 20;
    // readpst in mailbox mode (one file per folder) keeps this quick.
    std::string log;
    fs::create_directories(tmp.file("rp"));
    EXPECT_EQ(RunCommand("readpst -j 0 -D -b -o '" + tmp.file("rp") + "' '" + pst + "' 2>&1", &log), 0) << log;
    const std::string mbox = ReadFile(tmp.file("rp/Bulk.mbox"));
    size_t found = 0;
    for (size_t at = mbox.find("\nSubject: Bulk message "); at != std::string::npos;
         at = mbox.find("\nSubject: Bulk message ", at + 1))
        ++found;
    EXPECT_EQ(found, size_t(inBulk));
    EXPECT_NE(log.find("\"Bulk\" - " + std::to_string(inBulk) + " items done, 0 items skipped"), std::string::npos)
        << log;
    EXPECT_NE(log.find("\"Other\" - " + std::to_string(big + small - inBulk) + " items done, 0 items skipped"),
              std::string::npos)
        << log;
    auto px = runPffexport(pst, tmp.file("px"), &log);
    EXPECT_EQ(px.size(), size_t(big + small));
    std::set<std::string> subjects;
    for (const auto& m : px) subjects.insert(m.headers.at("Subject"));
    EXPECT_EQ(subjects.size(), size_t(big + small));
}

TEST(PstWriterRoundTrip, ManyAttachmentsUseASubnodeIndex) {
    REQUIRE_READERS();
    TempDir tmp;
    const std::string pst = tmp.file("wide.pst");
    MailSpec s;
    s.subject = "Four hundred files";
    s.from = {"Alice", "alice@example.com"};
    s.to = {{"Bob", "bob@example.org"}};
    for (int i = 0; i < 400; ++i)
        s.files.push_back({"f" + std::to_string(i) + ".txt", "text/plain", "file " + std::to_string(i)});
    {
        PstWriter w;
        std::string err;
        ASSERT_TRUE(w.create(pst, "Wide", &err)) << err;
        ASSERT_TRUE(w.addMessage(w.addFolder(w.rootFolder(), "Inbox", &err), MakeMessage(s), &err)) << err;
        ASSERT_TRUE(w.close(&err)) << err;
    }
    store::pst::VerifyReport st;
    expectSound(pst, &st);
    EXPECT_GE(st.siblocks, 1u);
    // libpst cannot read subnode indexes; libpff can.
    std::string log;
    auto px = runPffexport(pst, tmp.file("px"), &log);
    ASSERT_EQ(px.size(), 1u) << log;
    EXPECT_EQ(px[0].attachments.size(), 400u);
    EXPECT_EQ(px[0].attachments["400_f399.txt"], "file 399");
}

TEST(PstWriterRoundTrip, BareMessagesStillReadBack) {
    REQUIRE_READERS();
    TempDir tmp;
    const std::string pst = tmp.file("bare.pst");
    {
        PstWriter w;
        std::string err;
        ASSERT_TRUE(w.create(pst, "Bare", &err)) << err;
        const uint32_t f = w.addFolder(w.rootFolder(), "Inbox", &err);
        ASSERT_TRUE(w.addMessage(f, store::Message{}, &err)) << err;  // no properties at all
        store::Message subjectOnly;
        subjectOnly.props.setString(store::pid::Subject, "Only a subject");
        subjectOnly.props.setString(store::pid::Body, "");
        ASSERT_TRUE(w.addMessage(f, subjectOnly, &err)) << err;
        ASSERT_TRUE(w.close(&err)) << err;
    }
    expectSound(pst);
    std::string log;
    auto px = runPffexport(pst, tmp.file("px"), &log);
    ASSERT_EQ(px.size(), 2u) << log;
    EXPECT_NE(bySubject(px, "Only a subject"), nullptr);
    fs::create_directories(tmp.file("rp"));
    EXPECT_EQ(RunCommand("readpst -j 0 -D -b -o '" + tmp.file("rp") + "' '" + pst + "' 2>&1", &log), 0) << log;
    EXPECT_NE(log.find("\"Inbox\" - 2 items done, 0 items skipped"), std::string::npos) << log;
}

// The display lists are the recipients' names, made from the rows,
// whatever list the message holds: one that matches, one that departs
// anywhere, or none.
TEST(PstWriterRoundTrip, DisplayListsAreTheRecipientsNames) {
    REQUIRE_READERS();
    TempDir tmp;
    const std::string pst = tmp.file("display.pst");
    MailSpec s;
    s.subject = "Display";
    s.from = {"Alice", "alice@example.com"};
    s.to = {{"Ann", "ann@example.org"}, {"Bob", "bob@example.org"}, {"Cy", "cy@example.org"}};
    const char* held[] = {nullptr, "Ann; Bob; Cy", "Ann; Bob; Cz", "Ann, Bob; Cy", "Ann; Bob", "Ann; Bob; Cy; Dee"};
    {
        PstWriter w;
        std::string err;
        ASSERT_TRUE(w.create(pst, "Display", &err)) << err;
        const uint32_t inbox = w.addFolder(w.rootFolder(), "Inbox", &err);
        for (const char* list : held) {
            store::Message m = MakeMessage(s);
            m.props.remove(store::pid::DisplayTo);
            if (list) m.props.setString(store::pid::DisplayTo, list);
            ASSERT_TRUE(w.addMessage(inbox, m, &err)) << err;
        }
        ASSERT_TRUE(w.close(&err)) << err;
    }
    std::string log;
    auto rp = runReadpst(pst, tmp.file("rp"), &log);
    ASSERT_EQ(rp.size(), std::size(held)) << log;
    for (const auto& r : rp) EXPECT_EQ(r.headers.at("To"), "Ann; Bob; Cy");
}

// Long strings are converted to UTF-16 a piece at a time as they are written:
// a character straddling a piece's end, a malformed byte and a long display
// list read back as a short one would, and so does a text shared with another
// property from an offset on.
TEST(PstWriterRoundTrip, LongTextConvertedInPiecesReadsWhole) {
    REQUIRE_READERS();
    TempDir tmp;
    const std::string pst = tmp.file("long.pst");
    // The euro sign spans the first cut (libpff misreads characters beyond
    // the 16-bit range, so the test has none).
    const std::string head = std::string((1 << 20) - 1, 'a') + "\xE2\x82\xAC";
    std::string tail;
    for (int i = 0; i < 600000; ++i) tail += "\xC3\xA9";  // past the second cut
    MailSpec s;
    s.subject = "Long text";
    s.from = {"Alice", "alice@example.com"};
    std::string names;
    for (int i = 0; i < 400; ++i) {
        s.to.push_back({"Recipient Ø " + std::to_string(i), "r" + std::to_string(i) + "@example.org"});
        names += (i ? "; " : "") + s.to.back().name;
    }
    s.body = head + "\xC3x" + tail;
    {
        PstWriter w;
        std::string err;
        ASSERT_TRUE(w.create(pst, "Long", &err)) << err;
        store::Message m = MakeMessage(s);
        m.props.set(
            store::Property::SharedText(store::pid::Body, std::make_shared<const std::string>("Re: " + s.body), 4));
        ASSERT_TRUE(w.addMessage(w.addFolder(w.rootFolder(), "Inbox", &err), m, &err)) << err;
        ASSERT_TRUE(w.close(&err)) << err;
    }
    expectSound(pst);
    std::string log;
    auto px = runPffexport(pst, tmp.file("px"), &log);
    ASSERT_EQ(px.size(), 1u) << log;
    EXPECT_TRUE(px[0].body == head + "\xC3\x83x" + tail);  // the stray byte read as Windows-1252
    EXPECT_EQ(px[0].recipients.size(), 400u);
    auto rp = runReadpst(pst, tmp.file("rp"), &log);
    ASSERT_EQ(rp.size(), 1u) << log;
    EXPECT_EQ(rp[0].headers.at("To"), names);
}
