#include "tests/support/roundtrip.h"

#include <gmime/gmime.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>

#include "conversion/ConversionRun.h"
#include "store/mime/GMimeSupport.h"
#include "tests/support/recording_view.h"

namespace testsupport {

namespace {

bool ValidUtf8(const std::string& s) { return g_utf8_validate(s.data(), gssize(s.size()), nullptr); }

// Text bytes in `charset` as UTF-8; bytes of no known charset are taken as
// UTF-8 when they are valid, else as Windows-1252.
std::string ToUtf8Impl(const std::string& bytes, const char* charset) {
    if (charset && *charset) {
        const char* iconvName = g_mime_charset_iconv_name(charset);
        gsize written = 0;
        GError* error = nullptr;
        char* out = g_convert(bytes.data(), gssize(bytes.size()), "UTF-8", iconvName, nullptr, &written, &error);
        if (out) {
            std::string s(out, written);
            g_free(out);
            return s;
        }
        g_clear_error(&error);
    }
    if (ValidUtf8(bytes)) return bytes;
    gsize written = 0;
    char* out = g_convert(bytes.data(), gssize(bytes.size()), "UTF-8", "WINDOWS-1252", nullptr, &written, nullptr);
    if (!out)  // bytes Windows-1252 leaves undefined (0x81, 0x8D, ...)
        out = g_convert(bytes.data(), gssize(bytes.size()), "UTF-8", "ISO-8859-1", nullptr, &written, nullptr);
    std::string s = out ? std::string(out, written) : bytes;
    g_free(out);
    return s;
}

std::string Content(GMimePart* part) {
    GMimeDataWrapper* wrapper = g_mime_part_get_content(part);
    if (!wrapper) return {};
    GMimeStream* mem = g_mime_stream_mem_new();
    g_mime_data_wrapper_write_to_stream(wrapper, mem);
    GByteArray* array = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(mem));
    std::string out(reinterpret_cast<const char*>(array->data), array->len);
    g_object_unref(mem);
    return out;
}

// A Content-Type field with no "type/subtype" in it, which GMime reads as
// application/octet-stream; MIME reads it as text/plain.
bool UntypedContentType(GMimeObject* o) {
    GMimeHeaderList* list = g_mime_object_get_header_list(o);
    GMimeHeader* h = list ? g_mime_header_list_get_header(list, "Content-Type") : nullptr;
    const char* raw = h ? g_mime_header_get_raw_value(h) : nullptr;
    static const std::regex typed(
        R"(^\s*(\([^()]*\)\s*)*[-!#$%&'*+.^_`{|}~0-9A-Za-z]+\s*/\s*[-!#$%&'*+.^_`{|}~0-9A-Za-z]+)");
    return raw && !std::regex_search(raw, typed);
}

bool IsType(GMimeObject* o, const char* type, const char* subtype) {
    GMimeContentType* ct = g_mime_object_get_content_type(o);
    if (ct && GMIME_IS_PART(o) && g_mime_content_type_is_type(ct, "application", "octet-stream") &&
        UntypedContentType(o))
        return g_ascii_strcasecmp(type, "text") == 0 &&
               (g_ascii_strcasecmp(subtype, "plain") == 0 || std::strcmp(subtype, "*") == 0);
    return ct && g_mime_content_type_is_type(ct, type, subtype);
}

bool IsAttachment(GMimeObject* o) {
    const char* d = g_mime_object_get_disposition(o);
    return d && g_ascii_strcasecmp(g_strstrip(std::string(d).data()), "attachment") == 0;
}

bool IsText(GMimeObject* o) {
    return GMIME_IS_PART(o) && !IsAttachment(o) && (IsType(o, "text", "plain") || IsType(o, "text", "html"));
}

std::vector<std::string> Addresses(InternetAddressList* list, int depth = 0) {
    std::vector<std::string> out;
    if (!list || depth > 8) return out;
    for (int i = 0, n = internet_address_list_length(list); i < n; ++i) {
        InternetAddress* a = internet_address_list_get_address(list, i);
        if (INTERNET_ADDRESS_IS_GROUP(a)) {
            auto members = Addresses(internet_address_group_get_members(INTERNET_ADDRESS_GROUP(a)), depth + 1);
            out.insert(out.end(), members.begin(), members.end());
        } else if (INTERNET_ADDRESS_IS_MAILBOX(a)) {
            const char* addr = internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(a));
            out.push_back(Lower(NormaliseLine(addr ? addr : "")));
        }
    }
    return out;
}

// Every header of that name, parsed as addresses.
std::vector<std::string> HeaderAddresses(GMimeObject* object, const char* name) {
    std::vector<std::string> out;
    GMimeHeaderList* list = g_mime_object_get_header_list(object);
    for (int i = 0, n = list ? g_mime_header_list_get_count(list) : 0; i < n; ++i) {
        GMimeHeader* h = g_mime_header_list_get_header_at(list, i);
        if (g_ascii_strcasecmp(g_mime_header_get_name(h), name) != 0) continue;
        InternetAddressList* parsed = internet_address_list_parse(nullptr, g_mime_header_get_raw_value(h));
        auto more = Addresses(parsed);
        if (parsed) g_object_unref(parsed);
        out.insert(out.end(), more.begin(), more.end());
    }
    return out;
}

std::string RawHeader(GMimeObject* object, const char* name) {
    GMimeHeaderList* list = g_mime_object_get_header_list(object);
    for (int i = 0, n = list ? g_mime_header_list_get_count(list) : 0; i < n; ++i) {
        GMimeHeader* h = g_mime_header_list_get_header_at(list, i);
        if (g_ascii_strcasecmp(g_mime_header_get_name(h), name) == 0) {
            const char* raw = g_mime_header_get_raw_value(h);
            return NormaliseLine(store::mime::TakeGString(g_mime_utils_header_unfold(raw ? raw : "")));
        }
    }
    return {};
}

// RFC 2047 text decoded word by word. GMime joins the base64 text of
// adjacent words before decoding, so padding in the first word
// ("...KOaXpQ==?= =?utf-8?B?5pys6KqeKQ==?=") cuts off the rest; here each
// word's payload is decoded alone, and the bytes of adjacent words in one
// charset are converted together (a character may be split between them).
std::string DecodeWords(const std::string& text) {
    static const std::regex word(R"(=\?([^?\s]+)\?([BbQq])\?([^?\s]*)\?=)");
    std::string out, pendingBytes, pendingCharset;
    auto flush = [&] {
        if (!pendingCharset.empty()) out += DecodeText(pendingBytes, pendingCharset.c_str());
        pendingBytes.clear();
        pendingCharset.clear();
    };
    size_t pos = 0;
    for (std::sregex_iterator it(text.begin(), text.end(), word), end; it != end; ++it) {
        const std::smatch& m = *it;
        std::string between = text.substr(pos, size_t(m.position(0)) - pos);
        bool blank = between.find_first_not_of(" \t\r\n") == std::string::npos;
        if (!blank || pos == 0) {
            flush();
            out += between;
        }
        std::string charset = Lower(m[1].str());
        if (size_t star = charset.find('*'); star != std::string::npos) charset.resize(star);  // RFC 2231 language
        std::string payload = m[3].str(), bytes;
        if (m[2].str() == "B" || m[2].str() == "b") {
            gsize n = 0;
            guchar* decoded = g_base64_decode(payload.c_str(), &n);
            bytes.assign(reinterpret_cast<const char*>(decoded), n);
            g_free(decoded);
        } else {
            for (size_t i = 0; i < payload.size(); ++i) {
                if (payload[i] == '_')
                    bytes += ' ';
                else if (payload[i] == '=' && i + 2 < payload.size() && g_ascii_isxdigit(payload[i + 1]) &&
                         g_ascii_isxdigit(payload[i + 2])) {
                    bytes += char(g_ascii_xdigit_value(payload[i + 1]) * 16 + g_ascii_xdigit_value(payload[i + 2]));
                    i += 2;
                } else
                    bytes += payload[i];
            }
        }
        if (charset != pendingCharset) flush();
        pendingCharset = charset;
        pendingBytes += bytes;
        pos = size_t(m.position(0) + m.length(0));
    }
    flush();
    out += text.substr(pos);
    return out;
}

std::string RawSubject(GMimeObject* object) {
    GMimeHeaderList* list = g_mime_object_get_header_list(object);
    for (int i = 0, n = list ? g_mime_header_list_get_count(list) : 0; i < n; ++i) {
        GMimeHeader* h = g_mime_header_list_get_header_at(list, i);
        if (g_ascii_strcasecmp(g_mime_header_get_name(h), "Subject") != 0) continue;
        const char* raw = g_mime_header_get_raw_value(h);
        return store::mime::TakeGString(g_mime_utils_header_unfold(raw ? raw : ""));
    }
    return {};
}

std::string DecodedSubject(GMimeObject* object) {
    return NormaliseLine(DecodeWords(DecodeText(RawSubject(object), nullptr)));
}

bool HasHeader(GMimeObject* object, const char* name) {
    GMimeHeaderList* list = g_mime_object_get_header_list(object);
    return list && g_mime_header_list_contains(list, name);
}

// The body: the first plain or HTML text that is not an attachment; when it
// stands in a multipart/alternative (perhaps inside its multipart/related),
// the first plain and the first HTML text of that alternative together.
struct Walker {
    SourceMail& mail;
    GMimePart* plain = nullptr;
    GMimePart* html = nullptr;
    bool bodyTaken = false;
    std::set<GMimeObject*> bodyParts;

    void collectText(GMimeObject* o, int depth) {
        if (depth > 16) return;
        if (GMIME_IS_MULTIPART(o)) {
            auto* mp = GMIME_MULTIPART(o);
            for (int i = 0, n = g_mime_multipart_get_count(mp); i < n; ++i)
                collectText(g_mime_multipart_get_part(mp, i), depth + 1);
        } else if (IsText(o)) {
            if (IsType(o, "text", "plain") && !plain) plain = GMIME_PART(o), bodyParts.insert(o);
            if (IsType(o, "text", "html") && !html) html = GMIME_PART(o), bodyParts.insert(o);
        }
    }

    // The multipart/alternative above `o`, if any, within the message.
    GMimeObject* alternativeAbove(const std::vector<GMimeObject*>& path) {
        for (auto it = path.rbegin(); it != path.rend(); ++it) {
            if (IsType(*it, "multipart", "alternative")) return *it;
            if (!IsType(*it, "multipart", "related")) return nullptr;
        }
        return nullptr;
    }

    void findBody(GMimeObject* o, std::vector<GMimeObject*>& path) {
        if (bodyTaken || !o) return;
        // A message that is one text/enriched part: that text is its body.
        if (path.empty() && GMIME_IS_PART(o) && !IsAttachment(o) && IsType(o, "text", "enriched")) {
            bodyTaken = true;
            plain = GMIME_PART(o);
            bodyParts.insert(o);
            return;
        }
        if (GMIME_IS_MULTIPART(o)) {
            if (IsAttachment(o)) return;
            path.push_back(o);
            auto* mp = GMIME_MULTIPART(o);
            for (int i = 0, n = g_mime_multipart_get_count(mp); i < n && !bodyTaken; ++i)
                findBody(g_mime_multipart_get_part(mp, i), path);
            path.pop_back();
        } else if (IsText(o)) {
            bodyTaken = true;
            if (GMimeObject* alt = alternativeAbove(path)) {
                collectText(alt, 0);
            } else {
                collectText(o, 0);
            }
        }
    }

    void collectFiles(GMimeObject* o, int depth) {
        if (!o || depth > 32) return;
        if (bodyParts.count(o)) return;
        if (GMIME_IS_MESSAGE_PART(o)) {
            GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(o));
            mail.embedded.push_back(inner ? DecodedSubject(GMIME_OBJECT(inner)) : std::string());
            return;
        }
        if (GMIME_IS_MULTIPART(o)) {
            auto* mp = GMIME_MULTIPART(o);
            for (int i = 0, n = g_mime_multipart_get_count(mp); i < n; ++i)
                collectFiles(g_mime_multipart_get_part(mp, i), depth + 1);
            return;
        }
        if (!GMIME_IS_PART(o)) return;
        SourceFile f;
        const char* name = g_mime_part_get_filename(GMIME_PART(o));
        f.name = name ? NormaliseLine(name) : "";
        f.bytes = Content(GMIME_PART(o));
        bool blank = std::all_of(f.bytes.begin(), f.bytes.end(), [](char c) { return g_ascii_isspace(c); });
        // An inline text part that holds nothing is no file.
        if (f.name.empty() && !IsAttachment(o) && IsType(o, "text", "*") && blank) return;
        mail.files.push_back(std::move(f));
    }
};

SourceMail ReadMessage(GMimeMessage* message) {
    SourceMail mail;
    GMimeObject* object = GMIME_OBJECT(message);
    if (HasHeader(object, "Subject")) {
        mail.hasSubject = true;
        mail.subject = DecodedSubject(object);
        mail.rawSubject = NormaliseLine(RawSubject(object));
    }
    auto from = HeaderAddresses(object, "From");
    auto sender = HeaderAddresses(object, "Sender");
    mail.from = from.empty() ? (sender.empty() ? "" : sender.front()) : from.front();
    mail.sender = sender.empty() ? mail.from : sender.front();
    mail.to = HeaderAddresses(object, "To");
    mail.cc = HeaderAddresses(object, "Cc");
    mail.bcc = HeaderAddresses(object, "Bcc");
    if (HasHeader(object, "Date")) {
        // Zone names in any case ("cst"): GMime knows them in upper case only.
        static const std::regex zone(R"(\s([A-Za-z]+)\s*$)");
        std::smatch m;
        std::string date = RawHeader(object, "Date");
        if (std::regex_search(date, m, zone)) {
            std::string name = m[1].str();
            for (char& c : name) c = g_ascii_toupper(c);
            date = m.prefix().str() + " " + name;
        }
        if (GDateTime* d = g_mime_utils_header_decode_date(date.c_str())) {
            mail.hasDate = true;
            mail.date = g_date_time_to_unix(d);
            g_date_time_unref(d);
        }
    }
    mail.messageId = RawHeader(object, "Message-ID");

    Walker walker{mail, nullptr, nullptr, false, {}};
    std::vector<GMimeObject*> path;
    GMimeObject* top = g_mime_message_get_mime_part(message);
    walker.findBody(top, path);
    if (walker.plain) {
        mail.hasPlain = true;
        mail.plain = DecodeText(Content(walker.plain),
                                g_mime_object_get_content_type_parameter(GMIME_OBJECT(walker.plain), "charset"));
    }
    if (walker.html) {
        mail.hasHtml = true;
        mail.html = Content(walker.html);
        const char* charset = g_mime_object_get_content_type_parameter(GMIME_OBJECT(walker.html), "charset");
        mail.htmlCharset = charset ? charset : "";
    }
    walker.collectFiles(top, 0);
    return mail;
}

SourceMail ParseStream(GMimeStream* stream) {
    store::mime::EnsureGMimeStarted();
    GMimeParser* parser = g_mime_parser_new_with_stream(stream);
    g_mime_parser_set_format(parser, GMIME_FORMAT_MESSAGE);
    GMimeMessage* message = g_mime_parser_construct_message(parser, nullptr);
    SourceMail mail;
    if (message) {
        mail = ReadMessage(message);
        g_object_unref(message);
    }
    g_object_unref(parser);
    return mail;
}

std::string Strip(std::string s) {
    size_t b = s.find_first_not_of(" \t");
    size_t e = s.find_last_not_of(" \t");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

}  // namespace

std::string DecodeText(const std::string& bytes, const char* charset) { return ToUtf8Impl(bytes, charset); }

std::string HtmlText(const std::string& bytes, const std::string& charset) {
    static const std::regex declared(R"((charset\s*=\s*["']?)[A-Za-z0-9_.:-]+)", std::regex::icase);
    return std::regex_replace(NormaliseHtml(DecodeText(bytes, charset.c_str())), declared, "$1*");
}

bool SourceMail::nonAscii() const {
    auto high = [](const std::string& s) {
        return std::any_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
    };
    if (high(subject) || high(plain)) return true;
    for (const auto& f : files)
        if (high(f.name)) return true;
    return false;
}

SourceMail ReadSourceMail(const fs::path& file) {
    std::string bytes = ReadFile(file);
    // A byte-order mark and the mbox "From " line are no part of the message.
    if (bytes.rfind("\xEF\xBB\xBF", 0) == 0) bytes.erase(0, 3);
    if (bytes.rfind("From ", 0) == 0) {
        size_t eol = bytes.find('\n');
        bytes.erase(0, eol == std::string::npos ? bytes.size() : eol + 1);
    }
    SourceMail mail = ReadMailBytes(bytes);
    mail.file = file;
    return mail;
}

SourceMail ReadMailBytes(const std::string& bytes) {
    store::mime::EnsureGMimeStarted();
    GMimeStream* stream = g_mime_stream_mem_new_with_buffer(bytes.data(), bytes.size());
    SourceMail mail = ParseStream(stream);
    g_object_unref(stream);
    return mail;
}

bool OkButEmptyMailboxes(const conversion::RunOutcome& o) {
    if (!o.started || o.storeFailure || o.stopped || o.messagesFailed > 0 || o.storesUnfinished > 0) return false;
    int empty = 0;
    for (const auto& f : o.failures)
        if (f.cause == conversion::kNoMessagesFound) ++empty;
    return empty == o.mailboxesFailed && size_t(empty) == o.failures.size();
}

std::vector<SourceMailbox> ConvertToEml(const std::vector<fs::path>& mailboxes, const fs::path& outFolder) {
    std::vector<SourceMailbox> boxes;
    std::set<std::string> names;
    std::vector<std::string> rows;
    for (const auto& m : mailboxes) {
        std::string name = m.filename().string();
        if (name.size() > 5 && name.compare(name.size() - 5, 5, ".mbox") == 0) name.resize(name.size() - 5);
        if (!names.insert(name).second) continue;
        rows.push_back(fs::weakly_canonical(m).string());
        SourceMailbox box;
        box.name = name;
        // The run names the output folder after the source's full path.
        box.source = fs::weakly_canonical(m);
        box.folder = outFolder / box.source.relative_path();
        boxes.push_back(box);
    }
    ConvertRows(outFolder, conversion::TargetForm::Eml, rows);
    for (auto& box : boxes) {
        std::error_code ec;
        std::map<int, fs::path> files;
        for (auto& e : fs::directory_iterator(box.folder, ec)) {
            std::string n = e.path().filename().string();
            if (n.rfind("email-", 0) == 0 && e.path().extension() == ".eml") files[std::atoi(n.c_str() + 6)] = e.path();
        }
        for (const auto& [number, path] : files) {
            SourceMail mail = ReadSourceMail(path);
            mail.number = number;
            box.mails.push_back(std::move(mail));
        }
    }
    return boxes;
}

std::string NormaliseText(const std::string& text) {
    std::string lf;
    lf.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            lf += '\n';
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else if (text[i] != '\0') {
            lf += text[i];
        }
    }
    std::string out;
    std::istringstream in(lf);
    std::string line;
    while (std::getline(in, line)) {
        size_t e = line.find_last_not_of(" \t");
        out += (e == std::string::npos ? std::string() : line.substr(0, e + 1)) + "\n";
    }
    while (!out.empty() && (out.back() == '\n')) out.pop_back();
    size_t b = out.find_first_not_of('\n');
    return b == std::string::npos ? std::string() : out.substr(b);
}

std::string NormaliseHtml(const std::string& html) { return NormaliseText(html); }

std::string MaskAstral(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xF8) == 0xF0 && i + 3 < text.size()) {
            out += '?';
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string NormaliseLine(const std::string& text) {
    std::string out;
    bool blank = false;
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F || c == ' ') {
            blank = true;
            continue;
        }
        if (blank && !out.empty()) out += ' ';
        blank = false;
        out += c;
    }
    return out;
}

std::string StoredFileName(const std::string& name) {
    std::string n = NormaliseLine(name);
    size_t slash = n.find_last_of("/\\");
    if (slash != std::string::npos) n = n.substr(slash + 1);
    std::string out;
    for (char c : n)
        if (!std::strchr(":*?\"<>|", c)) out += c;
    return Strip(out);
}

int64_t ParseUtc(const std::string& text) {
    std::tm t{};
    if (std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour, &t.tm_min,
                    &t.tm_sec) != 6)
        return -1;
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    return int64_t(timegm(&t));
}

std::vector<std::string> Rows(const std::vector<SourceMailbox>& boxes) {
    std::vector<std::string> rows;
    for (const auto& box : boxes) rows.push_back(box.source.string());
    return rows;
}

int64_t FiletimeToUnix(uint64_t ft) { return int64_t(ft / 10000000ULL) - 11644473600LL; }

std::string Describe(const SourceMailbox& box, const SourceMail& mail) {
    return box.name + " #" + std::to_string(mail.number) + " (" + mail.subject.substr(0, 40) + ")";
}

void Mismatches::add(const std::string& where, const std::string& what, const std::string& expected,
                     const std::string& actual) {
    // Source messages GMime alone misreads, and what of them: a header block
    // not closed by an empty line (GMime drops the first body lines, or an
    // attachment's content), and a text/enriched body, whose markup GMime
    // leaves as text where the converter makes HTML and plain text of it.
    static const std::pair<const char*, const char*> kMisread[] = {
        {"mailutils-bigto #1 (", "plain body"},
        {"mimekit-issue1189 #2 (", "attachments"},
        {"ponymail-text_enriched #1 (", "plain body"},
        {"ponymail-text_enriched #1 (", "HTML body"},
    };
    for (const auto& [message, field] : kMisread)
        if (where.rfind(message, 0) == 0 && what.rfind(field, 0) == 0) return;
    // Long values: shown from a little before the first difference.
    size_t from = 0;
    if (expected.size() > 160 || actual.size() > 160) {
        size_t diff = 0;
        while (diff < expected.size() && diff < actual.size() && expected[diff] == actual[diff]) ++diff;
        from = diff > 40 ? diff - 40 : 0;
        while (from > 0 && (static_cast<unsigned char>(expected[from]) & 0xC0) == 0x80) --from;
    }
    auto cut = [from](const std::string& s) {
        std::string part = from < s.size() ? s.substr(from, 160) : std::string();
        return (from ? "..." : "") + part + (from + 160 < s.size() ? "..." : "");
    };
    ++count_;
    ++kinds_[what.substr(0, what.find(':'))];
    if (lines_.size() < 60)
        lines_.push_back(where + ": " + what + "\n    source: " + cut(expected) + "\n    read:   " + cut(actual));
}

void Mismatches::note(const std::string& line) {
    ++count_;
    ++kinds_["other"];
    if (lines_.size() < 60) lines_.push_back(line);
}

std::string Mismatches::report() const {
    std::string out = std::to_string(count_) + " mismatch(es):";
    for (const auto& [kind, n] : kinds_) out += " " + kind + " " + std::to_string(n) + ";";
    out += "\n";
    for (const auto& l : lines_) out += l + "\n";
    return out;
}

bool SameFiles(const std::vector<SourceFile>& expected, const std::vector<SourceFile>& actual, std::string* why) {
    std::vector<bool> used(actual.size(), false);
    for (const auto& f : expected) {
        bool found = false;
        for (size_t i = 0; i < actual.size() && !found; ++i) {
            if (used[i] || actual[i].bytes != f.bytes) continue;
            if (!f.name.empty() && actual[i].name != StoredFileName(f.name)) continue;
            used[i] = found = true;
        }
        if (!found) {
            *why = "missing '" + f.name + "' (" + std::to_string(f.bytes.size()) + " bytes)";
            return false;
        }
    }
    for (size_t i = 0; i < actual.size(); ++i)
        if (!used[i]) {
            *why = "unexpected '" + actual[i].name + "' (" + std::to_string(actual[i].bytes.size()) + " bytes)";
            return false;
        }
    return true;
}

std::string Names(const std::vector<SourceFile>& files) {
    std::string out;
    for (const auto& f : files) out += "'" + f.name + "':" + std::to_string(f.bytes.size()) + " ";
    return out;
}

std::vector<std::string> WithAddress(std::vector<std::string> v) {
    v.erase(std::remove(v.begin(), v.end(), std::string()), v.end());
    return v;
}

}  // namespace testsupport
