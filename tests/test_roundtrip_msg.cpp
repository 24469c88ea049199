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

#include "TestSupport.h"
#include "conversion/ConversionRun.h"
#include "roundtrip_support.h"

using namespace roundtrip;

namespace {

// Prints, for every .msg path read from stdin:
//   FILE hex(path) | ERROR hex(text) | CP n | S pid hex(utf8) | T filetime | FLAGS n
//   HTML hex | R type hex(address) | A hex(name) hex(bytes) | E hex(subject)
const char* kReaderScript = R"PY(
import sys, struct, olefile

def codec(cp):
    named = {65001: "utf-8", 20127: "ascii", 20866: "koi8_r", 21866: "koi8_u", 28591: "latin-1", 932: "cp932",
             936: "gbk", 949: "cp949", 950: "cp950", 50220: "iso2022_jp", 51932: "euc_jp", 51949: "euc_kr"}
    if cp in named:
        return named[cp]
    if 28591 <= cp <= 28605:
        return "iso8859_%d" % (cp - 28590)
    return "cp%d" % cp

def props(ole, prefix, header):
    data = ole.openstream(prefix + "__properties_version1.0").read()
    out = {}
    for off in range(header, len(data) - 15, 16):
        tag = struct.unpack("<I", data[off:off + 4])[0]
        out[tag] = data[off + 8:off + 16]
    return out

def stream(ole, prefix, tag):
    p = prefix + "__substg1.0_%08X" % tag
    return ole.openstream(p).read() if ole.exists(p) else None

def text(ole, prefix, p, pid, cp):
    if (pid << 16) | 0x1F in p:
        return (stream(ole, prefix, (pid << 16) | 0x1F) or b"").decode("utf-16-le")
    if (pid << 16) | 0x1E in p:
        return (stream(ole, prefix, (pid << 16) | 0x1E) or b"").rstrip(b"\0").decode(codec(cp))
    return None

def storages(ole, prefix, kind):
    depth = prefix.count("/")
    names = set()
    for entry in ole.listdir(streams=True, storages=True):
        if len(entry) > depth and "/".join(entry[:depth]) + ("/" if depth else "") == prefix and entry[depth].startswith(kind):
            names.add(entry[depth])
    return sorted(names)

def hexs(s):
    return s.encode("utf-8").hex()

for path in sys.stdin.read().split("\n"):
    if not path:
        continue
    print("FILE", path.encode().hex())
    try:
        ole = olefile.OleFileIO(path)
        p = props(ole, "", 32)
        cp = struct.unpack("<I", p[0x3FFD0003][:4])[0] if 0x3FFD0003 in p else 1252
        print("CP", cp)
        for pid in (0x0037, 0x0C1F, 0x0065, 0x1035, 0x1000):
            t = text(ole, "", p, pid, cp)
            if t is not None:
                print("S %04X %s" % (pid, hexs(t)))
        if 0x00390040 in p:
            print("T", struct.unpack("<Q", p[0x00390040])[0])
        if 0x0E070003 in p:
            print("FLAGS", struct.unpack("<I", p[0x0E070003][:4])[0])
        h = stream(ole, "", 0x10130102)
        if h is not None:
            # PR_HTML is in the code page PR_INTERNET_CPID names.
            hcp = struct.unpack("<I", p[0x3FDE0003][:4])[0] if 0x3FDE0003 in p else cp
            print("HTML", hexs(h.decode(codec(hcp), "replace")) or "-")
        for r in storages(ole, "", "__recip_version1.0_#"):
            rp = props(ole, r + "/", 8)
            rtype = struct.unpack("<I", rp[0x0C150003][:4])[0] if 0x0C150003 in rp else 0
            addr = text(ole, r + "/", rp, 0x3003, cp) or ""
            print("R", rtype, hexs(addr) or "-")
        for a in storages(ole, "", "__attach_version1.0_#"):
            ap = props(ole, a + "/", 8)
            method = struct.unpack("<I", ap[0x37050003][:4])[0] if 0x37050003 in ap else 0
            if method == 5:
                ep = props(ole, a + "/__substg1.0_3701000D/", 24)
                ecp = struct.unpack("<I", ep[0x3FFD0003][:4])[0] if 0x3FFD0003 in ep else cp
                print("E", hexs(text(ole, a + "/__substg1.0_3701000D/", ep, 0x0037, ecp) or "") or "-")
                continue
            name = text(ole, a + "/", ap, 0x3707, cp) or text(ole, a + "/", ap, 0x3704, cp) or ""
            data = stream(ole, a + "/", 0x37010102) or b""
            print("A", hexs(name) or "-", data.hex() or "-")
        ole.close()
    except Exception as e:
        print("ERROR", str(e).encode().hex())
)PY";

struct OleMessage {
    std::string error;
    uint32_t codepage = 0;
    std::map<uint16_t, std::string> strings;
    bool hasTime = false;
    uint64_t time = 0;
    bool hasFlags = false;
    uint32_t flags = 0;
    bool hasHtml = false;
    std::string html;  // decoded to UTF-8
    std::vector<std::string> to, cc, bcc;
    std::vector<SourceFile> files;
    std::vector<std::string> embedded;
};

std::string Field(const std::string& hex) { return hex == "-" ? std::string() : FromHex(hex); }

std::map<std::string, OleMessage> ReadAllWithOlefile(const std::string& python, const std::vector<fs::path>& files,
                                                     const fs::path& scratch, std::string* log) {
    fs::path script = scratch / "read_msg.py", list = scratch / "list.txt";
    testsupport::WriteFile(script, kReaderScript);
    std::string paths;
    for (const auto& f : files) paths += f.string() + "\n";
    testsupport::WriteFile(list, paths);
    std::string out;
    RunCommand(python + " " + Quote(script.string()) + " < " + Quote(list.string()) + " 2>&1", &out);
    std::map<std::string, OleMessage> messages;
    OleMessage* cur = nullptr;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string kind, a, b;
        words >> kind >> a >> b;
        if (kind == "FILE") cur = &messages[FromHex(a)];
        else if (!cur) *log += line + "\n";
        else if (kind == "ERROR") cur->error = FromHex(a);
        else if (kind == "CP") cur->codepage = uint32_t(std::stoul(a));
        else if (kind == "S") cur->strings[uint16_t(std::stoul(a, nullptr, 16))] = Field(b);
        else if (kind == "T") cur->hasTime = true, cur->time = std::stoull(a);
        else if (kind == "FLAGS") cur->hasFlags = true, cur->flags = uint32_t(std::stoul(a));
        else if (kind == "HTML") cur->hasHtml = true, cur->html = Field(a);
        else if (kind == "R") {
            // A recipient kept by its name alone (no address GMime could find) has no address to compare.
            if (b != "-") (a == "1" ? cur->to : a == "2" ? cur->cc : cur->bcc).push_back(Lower(Field(b)));
        }
        else if (kind == "A") cur->files.push_back({Field(a), Field(b)});
        else if (kind == "E") cur->embedded.push_back(Field(a));
        else *log += line + "\n";
    }
    return messages;
}


std::string FindPython() {
    for (const char* py : {"python3", "/usr/bin/python3"})
        if (RunCommand(std::string(py) + " -c 'import olefile' 2>/dev/null")) return py;
    return {};
}

// msgconvert reads an 8-bit string of code page 65001 as octets and then
// writes them out as UTF-8 once more (it decodes every other code page, and
// takes "UTF-8" to mean the string is Unicode already). This undoes that
// second encoding: characters below 256 back to bytes, when those bytes are
// valid UTF-8.
std::string UndoDoubleUtf8(const std::string& text) {
    gsize written = 0;
    char* bytes = g_convert(text.data(), gssize(text.size()), "ISO-8859-1", "UTF-8", nullptr, &written, nullptr);
    if (!bytes) return text;
    std::string out(bytes, written);
    g_free(bytes);
    return g_utf8_validate(out.data(), gssize(out.size()), nullptr) ? out : text;
}

// Text in a Windows code page, or "" when it cannot be converted.
std::string EncodeCodepage(const std::string& text, uint32_t codepage) {
    std::string iconvName = "CP" + std::to_string(codepage);
    gsize written = 0;
    char* bytes = g_convert(text.data(), gssize(text.size()), iconvName.c_str(), "UTF-8", nullptr, &written, nullptr);
    std::string out = bytes ? std::string(bytes, written) : std::string();
    g_free(bytes);
    return out;
}

int64_t FiletimeToUnix(uint64_t ft) { return int64_t(ft / 10000000ULL) - 11644473600LL; }

struct Shared {
    testsupport::TempDir dir;
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
        auto mailboxes = testsupport::CorpusMailboxes();
        std::string python = FindPython();
        if (mailboxes.empty()) {
            s->skip = "corpus not found at " VELLARY_CORPUS_DIR "/mbox";
            return s;
        }
        if (python.empty() || !HaveTool("msgconvert")) {
            s->skip = "python3 with olefile (python3-olefile) or msgconvert (libemail-outlook-message-perl) is missing";
            return s;
        }
        s->sources = ConvertToEml(mailboxes, s->dir.path() / "eml");

        conversion::RunRequest request;
        request.form = conversion::TargetForm::Msg;
        for (const auto& box : s->sources) request.rows.push_back(box.source.string());
        s->out = s->dir.path() / "msg";
        fs::create_directories(s->out);
        testsupport::RecordingView view;
        view.folder = s->out.string();
        s->outcome = conversion::ConversionRun(view, request).execute();

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
        s->ole = ReadAllWithOlefile(python, all, s->dir.path(), &s->oleLog);
        // msgconvert writes N.eml for N.msg into the current folder; one run for all files.
        std::string args;
        for (const auto& [link, msg] : linked) args += " " + Quote(link.filename().string());
        RunCommand("cd " + Quote(links.string()) + " && msgconvert" + args + " 2>&1", &s->msgconvertLog);
        for (const auto& [link, msg] : linked) {
            fs::path eml = link;
            eml.replace_extension(".eml");
            if (fs::exists(eml)) s->converted[msg.string()] = ReadMailBytes(testsupport::ReadFile(eml));
        }
        return s;
    }();
    return shared.get();
}

#define ROUNDTRIP_RUN(s)    \
    Shared* s = TheRun();   \
    if (!s->skip.empty()) GTEST_SKIP() << s->skip

fs::path MsgPath(const Shared* s, const SourceMailbox& box, const SourceMail& mail) {
    return s->out / box.source.relative_path() / ("Email-" + std::to_string(mail.number) + ".msg");
}

}  // namespace

TEST(RoundTripMsg, OneFilePerMessageNumberedPerMailbox) {
    ROUNDTRIP_RUN(s);
    EXPECT_TRUE(s->outcome.ok()) << conversion::FailureSummary(s->outcome);
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
                mm.note(where + ": olefile could not read it: " + (it == s->ole.end() ? "no output" : it->second.error));
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
