// The parts of the platform layer that are the same text on every system.
#include "common/Platform.h"

#include <vector>

std::filesystem::path PathFromUtf8(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string Utf8FromPath(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::string WindowsLongPathForm(const std::string& path) {
    if (path.size() < kClassicPathLimit || path.starts_with("\\\\?\\")) return path;
    std::string text = path;
    for (char& c : text)
        if (c == '/') c = '\\';
    std::string root;  // what ".." never climbs above
    size_t rest;
    const bool drive = text.size() >= 3 && ((text[0] | 0x20) >= 'a' && (text[0] | 0x20) <= 'z') && text[1] == ':' &&
                       text[2] == '\\';
    if (drive) {
        root = "\\\\?\\" + text.substr(0, 2);
        rest = 3;
    } else if (text.starts_with("\\\\") && text.size() > 2 && text[2] != '\\') {
        // \\server\share: both names belong to the root.
        size_t server = text.find('\\', 2);
        size_t share = server == std::string::npos ? std::string::npos : text.find('\\', server + 1);
        if (server == std::string::npos || share == server + 1) return path;
        if (share == std::string::npos) share = text.size();
        root = "\\\\?\\UNC\\" + text.substr(2, share - 2);
        rest = share;
    } else {
        return path;  // relative, or rooted on the current drive: left to the system
    }
    std::vector<std::string> parts;
    while (rest < text.size()) {
        size_t end = text.find('\\', rest);
        if (end == std::string::npos) end = text.size();
        std::string part = text.substr(rest, end - rest);
        rest = end + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
            continue;
        }
        parts.push_back(std::move(part));
    }
    std::string out = root;
    for (const std::string& part : parts) out += '\\' + part;
    if (parts.empty()) out += '\\';
    return out;
}
