#include "tests/support/msg_readers.h"

#include "store/mime/GMimeSupport.h"

#include <gmime/gmime.h>

#include <sstream>

namespace testsupport {

namespace {

const fs::path kSupportDir = VELLARY_TEST_SUPPORT_DIR;

std::string HeaderOf(GMimeObject* object, const char* name) {
    const char* v = g_mime_object_get_header(object, name);
    return v ? v : "";
}

void CollectParts(GMimeObject*, GMimeObject* part, gpointer data) {
    auto* eml = static_cast<Eml*>(data);
    EmlPart out;
    if (GMimeContentType* ct = g_mime_object_get_content_type(part)) {
        gchar* mime = g_mime_content_type_get_mime_type(ct);
        out.contentType = mime;
        g_free(mime);
        if (const char* cs = g_mime_content_type_get_parameter(ct, "charset")) out.charset = cs;
    }
    if (GMIME_IS_MESSAGE_PART(part)) {
        GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(part));
        if (inner && g_mime_message_get_subject(inner)) out.embeddedSubject = g_mime_message_get_subject(inner);
        eml->parts.push_back(out);
        return;
    }
    if (!GMIME_IS_PART(part)) return;
    if (const char* fn = g_mime_part_get_filename(GMIME_PART(part))) out.filename = fn;
    if (GMimeDataWrapper* content = g_mime_part_get_content(GMIME_PART(part))) {
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

std::string Field(const std::string& hex) { return hex == "-" ? std::string() : FromHex(hex); }

}  // namespace

const std::string& OlefilePython() {
    static const std::string found = [] {
        for (const char* py : {"python3", "/usr/bin/python3"})
            if (RunCommand(std::string(py) + " -c 'import olefile' 2>/dev/null") == 0) return std::string(py);
        return std::string();
    }();
    return found;
}

std::string OleFacts::value(const std::string& key) const {
    auto it = values.find(key);
    return it == values.end() ? std::string("<missing " + key + ">") : it->second;
}

std::string OleFacts::text(const std::string& key) const {
    std::string hex = value(key);
    return hex.rfind("<missing", 0) == 0 ? hex : FromHex(hex);
}

std::string OleFacts::namedId(const std::string& guidHex, const std::string& label) const {
    for (const auto& [id, what] : named)
        if (what == guidHex + " " + label) return id;
    return "<unmapped>";
}

OleFacts ReadWithOlefile(const fs::path& file) {
    OleFacts facts;
    RunCommand(
        OlefilePython() + " " + Quote((kSupportDir / "msg_facts.py").string()) + " " + Quote(file.string()) + " 2>&1",
        &facts.raw);
    std::istringstream lines(facts.raw);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream in(line);
        std::string kind, key, rest;
        in >> kind >> key;
        std::getline(in, rest);
        if (!rest.empty() && rest[0] == ' ') rest.erase(0, 1);
        if (kind == "ISSUE")
            facts.issues.push_back(key + " " + rest);
        else if (kind == "STR" || kind == "INT" || kind == "BIN")
            facts.values[kind + " " + key] = rest;
        else if (kind == "STREAM")
            facts.streams[key] = std::stoull(rest);
        else if (kind == "NAMED")
            facts.named[key] = rest;
        else if (kind == "FILE")
            facts.file[key] = rest;
        else if (kind == "HEADER")
            facts.headers.push_back(key + " " + rest);
        else if (!line.empty())
            facts.issues.push_back("unexpected checker output: " + line);
    }
    return facts;
}

std::map<std::string, OleMessage> ReadAllWithOlefile(const std::vector<fs::path>& files, const fs::path& scratch,
                                                     std::string* log) {
    const fs::path list = scratch / "list.txt";
    std::string paths;
    for (const auto& f : files) paths += f.string() + "\n";
    WriteFile(list, paths);
    std::string out;
    RunCommand(OlefilePython() + " " + Quote((kSupportDir / "msg_summary.py").string()) + " < " + Quote(list.string()) +
                   " 2>&1",
               &out);
    std::map<std::string, OleMessage> messages;
    OleMessage* cur = nullptr;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string kind, a, b;
        words >> kind >> a >> b;
        if (kind == "FILE")
            cur = &messages[FromHex(a)];
        else if (!cur)
            *log += line + "\n";
        else if (kind == "ERROR")
            cur->error = FromHex(a);
        else if (kind == "CP")
            cur->codepage = uint32_t(std::stoul(a));
        else if (kind == "S")
            cur->strings[uint16_t(std::stoul(a, nullptr, 16))] = Field(b);
        else if (kind == "T")
            cur->hasTime = true, cur->time = std::stoull(a);
        else if (kind == "FLAGS")
            cur->hasFlags = true, cur->flags = uint32_t(std::stoul(a));
        else if (kind == "HTML")
            cur->hasHtml = true, cur->html = Field(a);
        else if (kind == "R") {
            // A recipient kept by its name alone (no address GMime could find) has no address to compare.
            if (b != "-") (a == "1" ? cur->to : a == "2" ? cur->cc : cur->bcc).push_back(Lower(Field(b)));
        } else if (kind == "A")
            cur->files.push_back({Field(a), Field(b)});
        else if (kind == "E")
            cur->embedded.push_back(Field(a));
        else
            *log += line + "\n";
    }
    return messages;
}

const EmlPart* Eml::firstOfType(const std::string& type) const {
    for (const auto& p : parts)
        if (p.contentType == type && p.filename.empty()) return &p;
    return nullptr;
}

const EmlPart* Eml::byFilename(const std::string& name) const {
    for (const auto& p : parts)
        if (p.filename == name) return &p;
    return nullptr;
}

Eml ReadWithMsgconvert(const fs::path& file) {
    store::mime::EnsureGMimeStarted();
    Eml eml;
    if (RunCommand("msgconvert --outfile - " + Quote(file.string()) + " 2>/dev/null", &eml.raw) != 0) return eml;
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

std::string UndoDoubleUtf8(const std::string& text) {
    gsize written = 0;
    char* bytes = g_convert(text.data(), gssize(text.size()), "ISO-8859-1", "UTF-8", nullptr, &written, nullptr);
    if (!bytes) return text;
    std::string out(bytes, written);
    g_free(bytes);
    return g_utf8_validate(out.data(), gssize(out.size()), nullptr) ? out : text;
}

}  // namespace testsupport
