// The whole corpus through the run as .msg files, read back by two readers
// that share nothing with our writer: python3 olefile (the stored streams,
// read directly, one process for all files) and msgconvert (which turns each
// file back into MIME, parsed here with GMime). Every message is compared
// with what its .eml (written by the EML form of the same run) holds when
// GMime reads it.
#include <gtest/gtest.h>
#include <glib.h>

#include <algorithm>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>

#include "conversion/ConversionRun.h"
#include "tests/support/files.h"
#include "tests/support/msg_readers.h"
#include "tests/support/recording_view.h"
#include "tests/support/roundtrip.h"

using namespace testsupport;

namespace {

// Text in a Windows code page, or "" when it cannot be converted.
std::string EncodeCodepage(const std::string& text, uint32_t codepage) {
    std::string iconvName = "CP" + std::to_string(codepage);
    gsize written = 0;
    char* bytes = g_convert(text.data(), gssize(text.size()), iconvName.c_str(), "UTF-8", nullptr, &written, nullptr);
    std::string out = bytes ? std::string(bytes, written) : std::string();
    g_free(bytes);
    return out;
}

struct Shared {
    TempDir dir;
    std::string skip;
    std::vector<SourceMailbox> sources;
    conversion::RunOutcome outcome;
    fs::path out;
    std::map<std::string, std::vector<fs::path>> msgFiles;  // mailbox name -> Email-N.msg found
    std::vector<std::string> strayFiles;                    // anything else in the mailbox folders
    std::map<std::string, OleMessage> ole;                  // by .msg path
    std::map<std::string, SourceMail> converted;            // by .msg path: msgconvert's MIME
    std::string oleLog, msgconvertLog;
};

Shared* TheRun() {
    static std::unique_ptr<Shared> shared = [] {
        auto s = std::make_unique<Shared>();
        auto mailboxes = CorpusMailboxes();
        if (mailboxes.empty()) {
            s->skip = "corpus not found at " VELLARY_CORPUS_DIR "/mbox";
            return s;
        }
        if (OlefilePython().empty() || !HaveTool("msgconvert")) {
            s->skip = "python3 with olefile (python3-olefile) or msgconvert (libemail-outlook-message-perl) is missing";
            return s;
        }
        s->sources = ConvertToEml(mailboxes, s->dir.path() / "eml");

        s->out = s->dir.path() / "msg";
        s->outcome = ConvertRows(s->out, conversion::TargetForm::Msg, Rows(s->sources));

        std::vector<fs::path> all;
        fs::path links = s->dir.path() / "links";
        fs::create_directories(links);
        std::map<fs::path, fs::path> linked;  // link -> .msg
        for (const auto& box : s->sources) {
            fs::path folder = s->out / box.source.relative_path();
            std::error_code ec;
            for (auto& e : fs::directory_iterator(folder, ec)) {
                std::string name = e.path().filename().string();
                if (std::regex_match(name, std::regex(R"(Email-\d+\.msg)"))) {
                    s->msgFiles[box.name].push_back(e.path());
                    all.push_back(e.path());
                    fs::path link = links / (std::to_string(all.size()) + ".msg");
                    fs::create_symlink(e.path(), link);
                    linked[link] = e.path();
                } else {
                    s->strayFiles.push_back(e.path().string());
                }
            }
        }
        s->ole = ReadAllWithOlefile(all, s->dir.path(), &s->oleLog);
        // msgconvert writes N.eml for N.msg into the current folder; one run for all files.
        std::string args;
        for (const auto& [link, msg] : linked) args += " " + Quote(link.filename().string());
        RunCommand("cd " + Quote(links.string()) + " && msgconvert" + args + " 2>&1", &s->msgconvertLog);
        for (const auto& [link, msg] : linked) {
            fs::path eml = link;
            eml.replace_extension(".eml");
            if (fs::exists(eml)) s->converted[msg.string()] = ReadMailBytes(ReadFile(eml));
        }
        return s;
    }();
    return shared.get();
}

#define ROUNDTRIP_RUN(s)  \
    Shared* s = TheRun(); \
    if (!s->skip.empty()) GTEST_SKIP() << s->skip

fs::path MsgPath(const Shared* s, const SourceMailbox& box, const SourceMail& mail) {
    return s->out / box.source.relative_path() / ("Email-" + std::to_string(mail.number) + ".msg");
}

}  // namespace

TEST(RoundTripMsg, OneFilePerMessageNumberedPerMailbox) {
    ROUNDTRIP_RUN(s);
    EXPECT_TRUE(OkButEmptyMailboxes(s->outcome)) << conversion::FailureSummary(s->outcome);
    long long total = 0;
    for (const auto& box : s->sources) {
        total += box.mails.size();
        std::set<std::string> expected, found;
        for (size_t n = 1; n <= box.mails.size(); ++n) expected.insert("Email-" + std::to_string(n) + ".msg");
        for (const auto& p : s->msgFiles[box.name]) found.insert(p.filename().string());
        EXPECT_EQ(found, expected) << box.name;
    }
    EXPECT_EQ(s->outcome.messagesSaved, total);
    EXPECT_TRUE(s->strayFiles.empty()) << "left in the mailbox folders: " << s->strayFiles.front();
    for (auto& e : fs::directory_iterator(s->out))
        EXPECT_NE(e.path().extension(), ".pst") << "the temporary store is left: " << e.path();
}

// The stored streams as olefile reads them.
TEST(RoundTripMsg, StoredPropertiesMatchTheSource) {
    ROUNDTRIP_RUN(s);
    Mismatches mm;
    size_t nonAscii = 0, files = 0, eightBit = 0;
    for (const auto& box : s->sources) {
        for (const auto& src : box.mails) {
            std::string where = Describe(box, src), why;
            auto it = s->ole.find(MsgPath(s, box, src).string());
            if (it == s->ole.end() || !it->second.error.empty()) {
                mm.note(where +
                        ": olefile could not read it: " + (it == s->ole.end() ? "no output" : it->second.error));
                continue;
            }
            const OleMessage& got = it->second;
            if (src.nonAscii()) ++nonAscii;
            if (got.codepage != 65001 && got.codepage != 1200) ++eightBit;
            files += src.files.size();
            auto str = [&](uint16_t id) {
                auto f = got.strings.find(id);
                return f == got.strings.end() ? std::string() : f->second;
            };
            if (src.hasSubject != (got.strings.count(0x0037) != 0) || NormaliseLine(str(0x0037)) != src.subject)
                mm.add(where, "subject (code page " + std::to_string(got.codepage) + ")", src.subject, str(0x0037));
            if (Lower(str(0x0065)) != src.from) mm.add(where, "From address", src.from, str(0x0065));
            if (Lower(str(0x0C1F)) != src.sender) mm.add(where, "Sender address", src.sender, str(0x0C1F));
            if (got.to != WithAddress(src.to)) mm.add(where, "To addresses", Join(src.to), Join(got.to));
            if (got.cc != WithAddress(src.cc)) mm.add(where, "Cc addresses", Join(src.cc), Join(got.cc));
            if (got.bcc != WithAddress(src.bcc)) mm.add(where, "Bcc addresses", Join(src.bcc), Join(got.bcc));
            if (src.hasDate && (!got.hasTime || FiletimeToUnix(got.time) != src.date))
                mm.add(where, "client submit time", std::to_string(src.date),
                       got.hasTime ? std::to_string(FiletimeToUnix(got.time)) : "missing");
            if (str(0x1035) != src.messageId) mm.add(where, "Message-ID", src.messageId, str(0x1035));
            if (src.hasPlain && NormaliseText(str(0x1000)) != NormaliseText(src.plain))
                mm.add(where, "plain body (code page " + std::to_string(got.codepage) + ")", NormaliseText(src.plain),
                       NormaliseText(str(0x1000)));
            if (src.hasHtml != got.hasHtml || HtmlText(got.html, "utf-8") != HtmlText(src.html, src.htmlCharset))
                mm.add(where, "HTML body", HtmlText(src.html, src.htmlCharset), HtmlText(got.html, "utf-8"));
            if (!SameFiles(src.files, got.files, &why))
                mm.add(where, "attachments: " + why, Names(src.files), Names(got.files));
            std::vector<std::string> embedded;
            for (const auto& subject : got.embedded) embedded.push_back(NormaliseLine(subject));
            if (embedded != src.embedded) mm.add(where, "attached messages", Join(src.embedded), Join(embedded));
            if (!got.hasFlags || (got.flags & 1) == 0) mm.add(where, "read flag", "1", std::to_string(got.flags));
        }
    }
    EXPECT_GT(nonAscii, 10u);
    EXPECT_GT(files, 20u);
    EXPECT_EQ(mm.count(), 0u) << mm.report() << s->oleLog;
}

// msgconvert's MIME rendering of each file, parsed with GMime.
TEST(RoundTripMsg, MsgconvertRendersTheSource) {
    ROUNDTRIP_RUN(s);
    Mismatches mm;
    for (const auto& box : s->sources) {
        for (const auto& src : box.mails) {
            std::string where = Describe(box, src), why;
            auto it = s->converted.find(MsgPath(s, box, src).string());
            if (it == s->converted.end()) {
                mm.note(where + ": msgconvert wrote nothing");
                continue;
            }
            SourceMail got = it->second;
            auto ole = s->ole.find(it->first);
            uint32_t codepage = ole == s->ole.end() ? 0 : ole->second.codepage;
            if (codepage == 65001) {
                got.subject = UndoDoubleUtf8(got.subject);
                got.plain = UndoDoubleUtf8(got.plain);
            }
            // msgconvert puts an 8-bit subject into the header as its bytes,
            // without naming the code page: a Shift-JIS subject stands there
            // in raw Shift-JIS. The olefile check above reads such subjects
            // in their code page; here the bytes are compared.
            bool latin = codepage == 65001 || codepage == 1252 || codepage == 20127 || codepage == 28591;
            if (latin ? got.subject != src.subject : got.rawSubject != EncodeCodepage(src.subject, codepage))
                mm.add(where, "subject (code page " + std::to_string(codepage) + ")", src.subject, got.subject);
            if (got.from != src.from) mm.add(where, "From address", src.from, got.from);
            if (got.to != src.to) mm.add(where, "To addresses", Join(src.to), Join(got.to));
            if (got.cc != src.cc) mm.add(where, "Cc addresses", Join(src.cc), Join(got.cc));
            if (src.hasDate && (!got.hasDate || got.date != src.date))
                mm.add(where, "Date", std::to_string(src.date), std::to_string(got.date));
            if (got.messageId != src.messageId) mm.add(where, "Message-ID", src.messageId, got.messageId);
            if (src.hasPlain && NormaliseText(got.plain) != NormaliseText(src.plain))
                mm.add(where, "plain body", NormaliseText(src.plain), NormaliseText(got.plain));
            if (src.hasHtml && HtmlText(got.html, got.htmlCharset) != HtmlText(src.html, src.htmlCharset))
                mm.add(where, "HTML body", HtmlText(src.html, src.htmlCharset), HtmlText(got.html, got.htmlCharset));
            if (src.embedded.empty() && !SameFiles(src.files, got.files, &why))
                mm.add(where, "attachments: " + why, Names(src.files), Names(got.files));
        }
    }
    EXPECT_EQ(mm.count(), 0u) << mm.report() << s->msgconvertLog.substr(0, 2000);
}
