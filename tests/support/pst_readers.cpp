#include "tests/support/pst_readers.h"

#include <glib.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <regex>
#include <sstream>

namespace testsupport {

std::string StructureProblems(const std::string& path, bool crashState, store::pst::VerifyReport* report) {
    std::vector<std::string> problems;
    store::pst::VerifyPst(path, &problems, {.strictAllocation = true, .crashState = crashState}, report);
    std::string all;
    for (const auto& p : problems) all += p + "\n";
    return all;
}

namespace {

// "Key:<tabs>Value" lines; blocks separated by empty lines.
std::vector<std::map<std::string, std::string>> ParseBlocks(const std::string& text) {
    std::vector<std::map<std::string, std::string>> blocks(1);
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) {
            if (!blocks.back().empty()) blocks.emplace_back();
            continue;
        }
        size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        size_t value = line.find_first_not_of('\t', colon + 1);
        blocks.back()[line.substr(0, colon)] = value == std::string::npos ? "" : line.substr(value);
    }
    if (blocks.back().empty()) blocks.pop_back();
    return blocks;
}

// The first property set of ItemValues.txt: tag (id << 16 | type) -> value bytes.
std::map<uint32_t, std::string> ParseItemValues(const std::string& text) {
    std::vector<std::map<uint32_t, std::string>> sets;
    std::istringstream in(text);
    std::string line;
    uint32_t id = 0, type = 0;
    size_t set = 0;
    std::string* value = nullptr;
    while (std::getline(in, line)) {
        if (line.rfind("Set:", 0) == 0) {
            set = std::stoul(line.substr(4));
            if (sets.size() <= set) sets.resize(set + 1);
            value = nullptr;
        } else if (line.rfind("Entry type:", 0) == 0) {
            id = uint32_t(std::stoul(line.substr(line.find("0x")), nullptr, 16));
            value = nullptr;
        } else if (line.rfind("Value type:", 0) == 0) {
            type = uint32_t(std::stoul(line.substr(line.find("0x")), nullptr, 16));
        } else if (line.rfind("Value:", 0) == 0) {
            if (sets.empty()) sets.resize(1);
            value = &sets[set][(id << 16) | type];
        } else if (value && line.size() > 12 && line.rfind("0x", 0) == 0 && line[10] == ':') {
            // "0x00000010: 73 00 20 00 61 00 20 00  73 00 ...   s. .a. ..."
            std::istringstream bytes(line.substr(12, 49));
            std::string token;
            while (bytes >> token)
                if (token.size() == 2 && std::isxdigit(static_cast<unsigned char>(token[0])) &&
                    std::isxdigit(static_cast<unsigned char>(token[1])))
                    *value += char(std::stoi(token, nullptr, 16));
        } else if (line.empty()) {
            value = nullptr;
        }
    }
    return sets.empty() ? std::map<uint32_t, std::string>{} : sets[0];
}

std::vector<fs::path> SortedEntries(const fs::path& dir) {
    std::vector<fs::path> out;
    std::error_code ec;
    for (auto& e : fs::directory_iterator(dir, ec)) out.push_back(e.path());
    std::sort(out.begin(), out.end());
    return out;
}

PffMessage ReadPffMessage(const fs::path& dir, const std::string& folder) {
    PffMessage m;
    m.dir = dir;
    m.folder = folder;
    for (auto& block : ParseBlocks(ReadFile(dir / "OutlookHeaders.txt"))) m.headers.insert(block.begin(), block.end());
    m.recipients = ParseBlocks(ReadFile(dir / "Recipients.txt"));
    m.hasBody = fs::exists(dir / "Message.txt");
    m.body = ReadFile(dir / "Message.txt");
    m.hasHtml = fs::exists(dir / "Message.html");
    m.html = ReadFile(dir / "Message.html");
    if (fs::exists(dir / "ItemValues.txt")) m.props = ParseItemValues(ReadFile(dir / "ItemValues.txt"));
    for (const fs::path& a : SortedEntries(dir / "Attachments")) {
        if (fs::is_regular_file(a)) {
            m.attachments[a.filename().string()] = ReadFile(a);
        } else if (fs::is_directory(a)) {
            // An attached message: one message folder inside (none when it could not be exported).
            PffMessage inner;
            for (const fs::path& d : SortedEntries(a))
                if (fs::exists(d / "OutlookHeaders.txt")) {
                    inner = ReadPffMessage(d, folder);
                    break;
                }
            m.embedded.push_back(std::move(inner));
        }
    }
    return m;
}

void WalkPff(const fs::path& dir, const std::string& folder, std::vector<PffMessage>& out) {
    for (const fs::path& e : SortedEntries(dir)) {
        if (!fs::is_directory(e)) continue;
        if (fs::exists(e / "OutlookHeaders.txt"))
            out.push_back(ReadPffMessage(e, folder));
        else
            WalkPff(e, folder.empty() ? e.filename().string() : folder + "/" + e.filename().string(), out);
    }
}

std::string DecodeBase64(const std::string& in) {
    gsize n = 0;
    guchar* bytes = g_base64_decode(in.c_str(), &n);
    std::string out(reinterpret_cast<const char*>(bytes), n);
    g_free(bytes);
    return out;
}

// Undoes readpst's =?utf-8?B?...?= header words.
std::string DecodeWords(std::string s) {
    for (;;) {
        auto a = s.find("=?utf-8?B?");
        if (a == std::string::npos) return s;
        auto b = s.find("?=", a + 10);
        if (b == std::string::npos) return s;
        s = s.substr(0, a) + DecodeBase64(s.substr(a + 10, b - a - 10)) + s.substr(b + 2);
    }
}

std::map<std::string, std::string> HeaderLines(const std::string& text) {
    std::map<std::string, std::string> headers;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        std::string line = text.substr(pos, eol - pos);
        pos = eol == std::string::npos ? text.size() : eol + 1;
        if (line.empty()) break;
        auto colon = line.find(": ");
        if (colon != std::string::npos) headers[line.substr(0, colon)] = DecodeWords(line.substr(colon + 2));
    }
    return headers;
}

}  // namespace

std::string PffMessage::header(const std::string& key) const {
    auto it = headers.find(key);
    return it == headers.end() ? std::string() : it->second;
}

std::string PffMessage::text(uint16_t id) const {
    auto it = props.find((uint32_t(id) << 16) | 0x001F);
    if (it == props.end()) return {};
    glong written = 0;
    gchar* out = g_utf16_to_utf8(reinterpret_cast<const gunichar2*>(it->second.data()), glong(it->second.size() / 2),
                                 nullptr, &written, nullptr);
    std::string s = out ? std::string(out, size_t(written)) : "<bad UTF-16>";
    g_free(out);
    return s;
}

uint64_t PffMessage::u64(uint32_t tag) const {
    auto it = props.find(tag);
    uint64_t v = 0;
    if (it != props.end())
        for (size_t i = 0; i < 8 && i < it->second.size(); ++i) v |= uint64_t(uint8_t(it->second[i])) << (8 * i);
    return v;
}

std::vector<SourceFile> PffMessage::files() const {
    std::map<int, SourceFile> numbered;
    static const std::regex file(R"((\d+)_(.*))");
    for (const auto& [name, bytes] : attachments) {
        std::smatch m;
        if (std::regex_match(name, m, file)) numbered[std::stoi(m[1])] = {m[2], bytes};
    }
    std::vector<SourceFile> out;
    for (auto& [n, f] : numbered) out.push_back(std::move(f));
    return out;
}

std::vector<std::string> PffMessage::addresses(const std::string& type) const {
    std::vector<std::string> out;
    for (const auto& r : recipients) {
        auto t = r.find("Recipient type"), a = r.find("Email address");
        if (t == r.end() || t->second != type || a == r.end() || a->second.empty()) continue;
        std::string address = a->second;
        for (char& c : address) c = char(g_ascii_tolower(c));
        out.push_back(address);
    }
    return out;
}

std::vector<PffMessage> ReadPffExport(const fs::path& exportDir) {
    std::vector<PffMessage> out;
    WalkPff(exportDir, "", out);
    return out;
}

int64_t ParsePffTime(const std::string& text) {
    std::tm t{};
    const char* end = strptime(text.c_str(), "%b %d, %Y %H:%M:%S", &t);
    return end ? int64_t(timegm(&t)) : -1;
}

std::vector<SourceFile> ReadpstMessage::files() const {
    std::vector<SourceFile> out;
    for (const auto& [name, bytes] : attachments) out.push_back({name, bytes});
    return out;
}

std::vector<ReadpstMessage> ReadReadpst(const fs::path& dir) {
    std::map<std::pair<std::string, int>, ReadpstMessage> found;
    static const std::regex message(R"(\d+)"), attachment(R"((\d+)-(.*))");
    for (const std::string& rel : ListFiles(dir)) {
        const fs::path p(rel);
        const fs::path folderPath = p.parent_path();
        // readpst puts everything below a folder named after the store.
        std::string folder = folderPath.empty() ? "" : folderPath.lexically_relative(*folderPath.begin()).string();
        if (folder == ".") folder.clear();
        const std::string name = p.filename().string();
        std::smatch m;
        if (std::regex_match(name, message)) {
            ReadpstMessage& msg = found[{folder, std::stoi(name)}];
            msg.folder = folder;
            msg.number = std::stoi(name);
            msg.text = ReadFile(dir / rel);
            msg.headers = HeaderLines(msg.text);
        } else if (std::regex_match(name, m, attachment)) {
            found[{folder, std::stoi(m[1])}].attachments[m[2]] = ReadFile(dir / rel);
        }
    }
    std::vector<ReadpstMessage> out;
    for (auto& [key, msg] : found) out.push_back(std::move(msg));
    return out;
}

}  // namespace testsupport
