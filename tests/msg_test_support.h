// Shared by the .msg writer tests: message builders, and the two independent
// readers that judge our files (python3 olefile through a small checker, and
// msgconvert, whose .eml output GMime parses back).
#pragma once

#include "store/MapiIds.h"
#include "store/MapiMessage.h"
#include "store/mime/GMimeSupport.h"

#include <gmime/gmime.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace msgtest {

namespace fs = std::filesystem;

// ---- model builders ---------------------------------------------------------

inline store::NamedKey NumericName(const store::Guid& set, uint32_t lid) {
    store::NamedKey k;
    k.propertySet = set;
    k.lid = lid;
    return k;
}

inline store::NamedKey StringName(const store::Guid& set, std::string name) {
    store::NamedKey k;
    k.propertySet = set;
    k.isString = true;
    k.name = std::move(name);
    return k;
}

inline store::Property TextValue(std::string utf8) {
    store::Property p;
    p.text = std::move(utf8);
    return p;
}

constexpr uint16_t kSenderName = 0x0C1A;
constexpr uint16_t kSenderEmail = 0x0C1F;
constexpr uint16_t kSenderAddrType = 0x0C1E;
constexpr uint16_t kSmtpAddress = 0x39FE;

inline void AddRecipient(store::Message& m, uint32_t type, const std::string& name, const std::string& address) {
    store::Recipient r;
    r.props.setLong(store::pid::RecipientType, type);
    r.props.setString(store::pid::DisplayName, name);
    r.props.setString(store::pid::AddressType, "SMTP");
    r.props.setString(store::pid::EmailAddress, address);
    r.props.setString(kSmtpAddress, address);
    m.recipients.push_back(std::move(r));
}

inline void AddFile(store::Message& m, const std::string& name, std::string bytes,
                    const std::string& mime = "application/octet-stream") {
    store::Attachment a;
    a.props.setLong(store::pid::AttachMethod, 1);
    a.props.setString(store::pid::AttachLongFilename, name);
    a.props.setString(store::pid::DisplayName, name);
    a.props.setString(store::pid::AttachMimeTag, mime);
    a.props.setBinary(store::pid::AttachDataBinary, std::move(bytes));
    m.attachments.push_back(std::move(a));
}

inline void SetSender(store::Message& m, const std::string& name, const std::string& address) {
    m.props.setString(kSenderName, name);
    m.props.setString(kSenderEmail, address);
    m.props.setString(kSenderAddrType, "SMTP");
}

// Bytes that differ at every position, so a misplaced sector shows.
inline std::string PatternBytes(size_t size, uint32_t seed) {
    std::string s(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = char(x >> 16);
    }
    return s;
}

inline std::string Md5(const std::string& bytes) {
    gchar* sum = g_compute_checksum_for_data(G_CHECKSUM_MD5, reinterpret_cast<const guchar*>(bytes.data()),
                                             bytes.size());
    std::string out = sum;
    g_free(sum);
    return out;
}

inline std::string Hex(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// ---- running readers ----------------------------------------------------------

inline bool RunCapture(const std::string& command, std::string& out) {
    out.clear();
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return false;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
    return pclose(pipe) == 0;
}

inline std::string Quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += (c == '\'') ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// A python3 that can import olefile, or "".
inline const std::string& OlefilePython() {
    static const std::string found = [] {
        for (const char* py : {"python3", "/usr/bin/python3"}) {
            std::string out;
            if (RunCapture(std::string(py) + " -c 'import olefile' 2>/dev/null", out)) return std::string(py);
        }
        return std::string();
    }();
    return found;
}

inline bool HaveMsgconvert() {
    std::string out;
    return RunCapture("command -v msgconvert >/dev/null 2>&1", out);
}

#define MSGTEST_REQUIRE_OLEFILE()                                                      \
    do {                                                                               \
        if (msgtest::OlefilePython().empty())                                          \
            GTEST_SKIP() << "python3 with olefile (python3-olefile) not found; skipped"; \
    } while (0)

#define MSGTEST_REQUIRE_MSGCONVERT()                                                                     \
    do {                                                                                                 \
        if (!msgtest::HaveMsgconvert())                                                                  \
            GTEST_SKIP() << "msgconvert (libemail-outlook-message-perl) not found; skipped"; \
    } while (0)

inline fs::path ScratchDir() {
    fs::path dir = fs::path(::testing::TempDir()) / ("vellary-msg-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    return dir;
}

inline const char* kCheckerScript = R"PY(
# Reads a .msg file with olefile and prints one fact per line:
#   ISSUE text                          a structural fault
#   FILE key value                      file-level facts
#   HEADER storage len nextR nextA cntR cntA
#   STR storage/TAG hex(utf8)          string values, decoded (001E in the object's code page)
#   BIN storage/TAG size md5
#   INT storage/TAG value
#   NAMED TAG guid kind key            the named-property map
#   STREAM path size
import sys, struct, hashlib, olefile

path = sys.argv[1]
issues = []
try:
    ole = olefile.OleFileIO(path, raise_defects=olefile.DEFECT_INCORRECT)
except Exception as e:
    print("ISSUE olefile refused the file:", e)
    sys.exit(0)
for i in ole.parsing_issues:
    issues.append("olefile: %s" % (i,))
size = len(open(path, 'rb').read())
if size % 512 != 0:
    issues.append("file size %d not a multiple of 512" % size)
print("FILE clsid", ole.root.clsid)
print("FILE version %d.%x" % (ole.dll_version, ole.minor_version))

# Sibling trees: in-order traversal must give compound-file order; no red node with a red child.
def key(name):
    return (len(name), name.upper())
def walk(sid, out, depth=0):
    if sid == olefile.NOSTREAM or depth > 10000:
        return
    e = ole.direntries[sid]
    walk(e.sid_left, out, depth + 1)
    out.append(e)
    walk(e.sid_right, out, depth + 1)
def check_colors(sid, parent_red):
    if sid == olefile.NOSTREAM:
        return
    e = ole.direntries[sid]
    red = e.color == 0
    if red and parent_red:
        issues.append("two red nodes in a row at " + e.name)
    check_colors(e.sid_left, red)
    check_colors(e.sid_right, red)
for e in ole.direntries:
    if e is None or e.entry_type not in (1, 5) or e.sid_child == olefile.NOSTREAM:
        continue
    kids = []
    walk(e.sid_child, kids)
    names = [k.name for k in kids]
    if [key(n) for n in names] != sorted(key(n) for n in names):
        issues.append("children of %s out of order" % e.name)
    if ole.direntries[e.sid_child].color != 1:
        issues.append("tree root under %s not black" % e.name)
    check_colors(e.sid_child, False)
    def height(sid):
        if sid == olefile.NOSTREAM:
            return 0
        n = ole.direntries[sid]
        return 1 + max(height(n.sid_left), height(n.sid_right))
    if height(e.sid_child) > 2 * len(kids).bit_length():
        issues.append("sibling tree under %s is not balanced" % e.name)

entries = ole.listdir(streams=True, storages=True)
streams = {"/".join(p): p for p in entries if ole.get_type(p) == olefile.STGTY_STREAM}
storages = {"/".join(p) for p in entries if ole.get_type(p) == olefile.STGTY_STORAGE}
for s in sorted(streams):
    print("STREAM", s, ole.get_size(s))

def children(prefix):
    n = len(prefix)
    return sorted({p[n:].split("/")[0] for p in list(streams) + list(storages)
                   if p.startswith(prefix) and p != prefix.rstrip("/")})

# Named-property map.
named = {}
if "__nameid_version1.0" not in storages:
    issues.append("no __nameid_version1.0")
else:
    def rd(n):
        p = "__nameid_version1.0/__substg1.0_" + n
        if p not in streams:
            issues.append("missing " + p)
            return b""
        return ole.openstream(p).read()
    g, ent, strs = rd("00020102"), rd("00030102"), rd("00040102")
    lookups = {}
    for i in range(0, len(ent), 8):
        first, ik, idx = struct.unpack("<IHH", ent[i:i + 8])
        kind, gi = ik & 1, ik >> 1
        if idx != i // 8:
            issues.append("named entry %d has index %d" % (i // 8, idx))
        guid = {1: "PS_MAPI", 2: "PS_PUBLIC_STRINGS"}.get(gi) or g[(gi - 3) * 16:(gi - 2) * 16].hex()
        if kind:
            ln = struct.unpack("<I", strs[first:first + 4])[0]
            nm = strs[first + 4:first + 4 + ln]
            crc = 0
            for b in nm:
                crc ^= b
                for _ in range(8):
                    crc = (crc >> 1) ^ (0xEDB88320 if crc & 1 else 0)
            hk, label = crc, "name:" + nm.decode("utf-16-le").encode().hex()
        else:
            hk, label = first, "lid:%x" % first
        sid = 0x1000 + (hk ^ ((gi << 1) | kind)) % 0x1F
        lookups.setdefault(sid, b"")
        lookups[sid] += struct.pack("<IHH", hk, ik, idx)
        named[0x8000 + idx] = (guid, label)
        print("NAMED %04X %s %s" % (0x8000 + idx, guid, label))
    for sid, recs in lookups.items():
        p = "__nameid_version1.0/__substg1.0_%04X0102" % sid
        if p not in streams or ole.openstream(p).read() != recs:
            issues.append("lookup stream %04X wrong" % sid)

FIXED = {0x0002: 2, 0x0003: 4, 0x0004: 4, 0x0005: 8, 0x0006: 8, 0x0007: 8, 0x000A: 4, 0x000B: 1, 0x0014: 8, 0x0040: 8}
def pycodec(cp):
    return {65001: "utf-8", 20127: "ascii", 20866: "koi8_r", 28591: "latin-1", 932: "cp932"}.get(cp) or (
        "iso8859_%d" % (cp - 28590) if 28591 <= cp <= 28605 else "cp%d" % cp)

def read_object(prefix, header_len, codepage):
    """prefix: storage path with trailing '/' or ''"""
    label = prefix.rstrip("/") or "ROOT"
    pp = prefix + "__properties_version1.0"
    if pp not in streams:
        issues.append("no property stream in " + label)
        return
    data = ole.openstream(pp).read()
    if (len(data) - header_len) % 16:
        issues.append("property stream of %s has a partial entry" % label)
    if header_len >= 24:
        nr, na, cr, ca = struct.unpack("<IIII", data[8:24])
        print("HEADER", label, header_len, nr, na, cr, ca)
    props = {}
    for off in range(header_len, len(data) - 15, 16):
        tag, flags = struct.unpack("<II", data[off:off + 8])
        props[tag] = data[off + 8:off + 16]
    # 8-bit strings decode in this object's message code page.
    if 0x3FFD0003 in props:
        codepage = struct.unpack("<I", props[0x3FFD0003][:4])[0]
    used = set()
    for tag, raw in sorted(props.items()):
        typ = tag & 0xFFFF
        name = "%s/%08X" % (label, tag)
        sname = prefix + "__substg1.0_%08X" % tag
        if typ in FIXED:
            v = int.from_bytes(raw[:FIXED[typ]], "little")
            if raw[FIXED[typ]:] != bytes(8 - FIXED[typ]):
                issues.append("non-zero padding in " + name)
            print("INT", name, v)
            continue
        sz = struct.unpack("<I", raw[:4])[0]
        if typ == 0x000D:
            if sz != 0xFFFFFFFF:
                issues.append("object size of %s" % name)
            used.add("__substg1.0_%08X" % tag)
            continue
        if sname not in streams:
            issues.append("no stream for " + name)
            continue
        used.add("__substg1.0_%08X" % tag)
        val = ole.openstream(sname).read()
        if typ in (0x101F, 0x101E, 0x1102):
            n = len(val) // (8 if typ == 0x1102 else 4)
            if sz != len(val):
                issues.append("size of " + name)
            for i in range(n):
                vn = "__substg1.0_%08X-%08X" % (tag, i)
                used.add(vn)
                v = ole.openstream(prefix + vn).read()
                ln = struct.unpack("<I", val[i * (8 if typ == 0x1102 else 4):][:4])[0]
                if ln != len(v):
                    issues.append("length of value %d of %s" % (i, name))
                if typ == 0x101F:
                    print("STR", "%s[%d]" % (name, i), v[:-2].decode("utf-16-le").encode().hex())
                elif typ == 0x101E:
                    print("STR", "%s[%d]" % (name, i), v[:-1].decode(pycodec(codepage)).encode().hex())
                else:
                    print("BIN", "%s[%d]" % (name, i), len(v), hashlib.md5(v).hexdigest())
            continue
        extra = {0x001F: 2, 0x001E: 1}.get(typ, 0)
        if sz != len(val) + extra:
            issues.append("size field of %s: %d for %d bytes" % (name, sz, len(val)))
        if typ == 0x001F:
            if len(val) >= 2 and val[-2:] == b"\0\0":
                issues.append("NUL stored in " + name)
            print("STR", name, val.decode("utf-16-le").encode().hex())
        elif typ == 0x001E:
            print("STR", name, val.decode(pycodec(codepage)).encode().hex())
        else:
            print("BIN", name, len(val), hashlib.md5(val).hexdigest())
    for c in children(prefix):
        if c.startswith("__substg1.0_") and c not in used:
            issues.append("stream without entry: " + prefix + c)
        if c.startswith("__substg1.0_") and c[12:] != c[12:].upper():
            issues.append("lower-case name " + prefix + c)
    return props, codepage

def read_message(prefix, header_len, codepage):
    res = read_object(prefix, header_len, codepage)
    if res is None:
        return
    props, codepage = res
    data = ole.openstream(prefix + "__properties_version1.0").read()
    nr, na, cr, ca = struct.unpack("<IIII", data[8:24])
    kids = children(prefix)
    recips = sorted(c for c in kids if c.startswith("__recip_version1.0_#"))
    atts = sorted(c for c in kids if c.startswith("__attach_version1.0_#"))
    if recips != ["__recip_version1.0_#%08X" % i for i in range(cr)] or nr != cr:
        issues.append("recipient storages of %s do not match the header" % (prefix or "ROOT"))
    if atts != ["__attach_version1.0_#%08X" % i for i in range(ca)] or na != ca:
        issues.append("attachment storages of %s do not match the header" % (prefix or "ROOT"))
    for r in recips:
        read_object(prefix + r + "/", 8, codepage)
    for a in atts:
        read_object(prefix + a + "/", 8, codepage)
        emb = prefix + a + "/__substg1.0_3701000D"
        if emb in storages:
            if "__nameid_version1.0" in children(emb + "/"):
                issues.append("name map inside an embedded message")
            read_message(emb + "/", 24, codepage)

read_message("", 32, 1252)
for i in issues:
    print("ISSUE", i)
)PY";

// What the checker printed about one file.
struct OleFacts {
    std::vector<std::string> issues;
    std::map<std::string, std::string> values;  // "STR ROOT/0037001F" -> hex, "INT ..." -> n, "BIN ..." -> "size md5"
    std::map<std::string, uint64_t> streams;    // stream path -> size
    std::map<std::string, std::string> named;   // "8000" -> "guid label"
    std::map<std::string, std::string> file;    // "clsid", "version"
    std::vector<std::string> headers;           // "storage len nextR nextA cntR cntA"
    std::string raw;

    bool has(const std::string& key) const { return values.count(key) != 0; }
    std::string value(const std::string& key) const {
        auto it = values.find(key);
        return it == values.end() ? std::string("<missing " + key + ">") : it->second;
    }
    // A decoded string property as UTF-8 text.
    std::string text(const std::string& key) const {
        std::string hex = value(key);
        if (hex.rfind("<missing", 0) == 0) return hex;
        std::string out;
        for (size_t i = 0; i + 1 < hex.size(); i += 2) out += char(std::stoi(hex.substr(i, 2), nullptr, 16));
        return out;
    }
    // The tag a named property got in this file, e.g. "8001001F"-style id "8001".
    std::string namedId(const std::string& guidHex, const std::string& label) const {
        for (const auto& [id, what] : named)
            if (what == guidHex + " " + label) return id;
        return "<unmapped>";
    }
};

inline OleFacts ReadWithOlefile(const fs::path& file) {
    static const fs::path script = [] {
        fs::path p = ScratchDir() / "check_msg.py";
        std::ofstream(p) << kCheckerScript;
        return p;
    }();
    OleFacts facts;
    RunCapture(OlefilePython() + " " + Quote(script.string()) + " " + Quote(file.string()) + " 2>&1", facts.raw);
    std::istringstream lines(facts.raw);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream in(line);
        std::string kind, key, rest;
        in >> kind >> key;
        std::getline(in, rest);
        if (!rest.empty() && rest[0] == ' ') rest.erase(0, 1);
        if (kind == "ISSUE") facts.issues.push_back(key + " " + rest);
        else if (kind == "STR" || kind == "INT" || kind == "BIN") facts.values[kind + " " + key] = rest;
        else if (kind == "STREAM") facts.streams[key] = std::stoull(rest);
        else if (kind == "NAMED") facts.named[key] = rest;
        else if (kind == "FILE") facts.file[key] = rest;
        else if (kind == "HEADER") facts.headers.push_back(key + " " + rest);
        else if (!line.empty()) facts.issues.push_back("unexpected checker output: " + line);
    }
    return facts;
}

inline std::string Join(const std::vector<std::string>& v) {
    std::string out;
    for (const auto& s : v) out += s + "\n";
    return out;
}

// ---- msgconvert's .eml, parsed back with GMime -----------------------------------

struct EmlPart {
    std::string contentType;  // "type/subtype"
    std::string filename;
    std::string charset;
    std::string bytes;        // transfer-decoded content
    std::string text;         // for text parts: converted to UTF-8
    std::string embeddedSubject;
};

struct Eml {
    bool parsed = false;
    std::string subject, from, to, cc, messageId, date;
    std::vector<EmlPart> parts;  // leaves and message/rfc822 parts, in order
    std::string raw;

    const EmlPart* firstOfType(const std::string& type) const {
        for (const auto& p : parts)
            if (p.contentType == type && p.filename.empty()) return &p;
        return nullptr;
    }
    const EmlPart* byFilename(const std::string& name) const {
        for (const auto& p : parts)
            if (p.filename == name) return &p;
        return nullptr;
    }
};

inline std::string HeaderOf(GMimeObject* object, const char* name) {
    const char* v = g_mime_object_get_header(object, name);
    return v ? v : "";
}

inline void CollectParts(GMimeObject* parent, GMimeObject* part, gpointer data) {
    (void)parent;
    auto* eml = static_cast<Eml*>(data);
    EmlPart out;
    GMimeContentType* ct = g_mime_object_get_content_type(part);
    if (ct) {
        gchar* mime = g_mime_content_type_get_mime_type(ct);
        out.contentType = mime;
        g_free(mime);
        const char* cs = g_mime_content_type_get_parameter(ct, "charset");
        if (cs) out.charset = cs;
    }
    if (GMIME_IS_MESSAGE_PART(part)) {
        GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(part));
        if (inner && g_mime_message_get_subject(inner)) out.embeddedSubject = g_mime_message_get_subject(inner);
        eml->parts.push_back(out);
        return;
    }
    if (!GMIME_IS_PART(part)) return;
    const char* fn = g_mime_part_get_filename(GMIME_PART(part));
    if (fn) out.filename = fn;
    GMimeDataWrapper* content = g_mime_part_get_content(GMIME_PART(part));
    if (content) {
        GMimeStream* mem = g_mime_stream_mem_new();
        g_mime_data_wrapper_write_to_stream(content, mem);
        GByteArray* arr = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(mem));
        out.bytes.assign(reinterpret_cast<const char*>(arr->data), arr->len);
        g_object_unref(mem);
    }
    if (GMIME_IS_TEXT_PART(part)) {
        char* text = g_mime_text_part_get_text(GMIME_TEXT_PART(part));
        if (text) out.text = text;
        g_free(text);
    }
    eml->parts.push_back(out);
}

inline Eml ReadWithMsgconvert(const fs::path& file) {
    store::mime::EnsureGMimeStarted();
    Eml eml;
    if (!RunCapture("msgconvert --outfile - " + Quote(file.string()) + " 2>/dev/null", eml.raw)) return eml;
    GMimeStream* stream = g_mime_stream_mem_new_with_buffer(eml.raw.data(), eml.raw.size());
    GMimeParser* parser = g_mime_parser_new_with_stream(stream);
    GMimeMessage* message = g_mime_parser_construct_message(parser, nullptr);
    if (message) {
        eml.parsed = true;
        GMimeObject* obj = GMIME_OBJECT(message);
        if (const char* s = g_mime_message_get_subject(message)) eml.subject = s;
        eml.from = HeaderOf(obj, "From");
        eml.to = HeaderOf(obj, "To");
        eml.cc = HeaderOf(obj, "Cc");
        eml.messageId = HeaderOf(obj, "Message-Id");
        eml.date = HeaderOf(obj, "Date");
        GMimeObject* body = g_mime_message_get_mime_part(message);
        if (body && GMIME_IS_MULTIPART(body))
            g_mime_multipart_foreach(GMIME_MULTIPART(body), CollectParts, &eml);
        else if (body)
            CollectParts(nullptr, body, &eml);
        g_object_unref(message);
    }
    g_object_unref(parser);
    g_object_unref(stream);
    return eml;
}

}  // namespace msgtest
