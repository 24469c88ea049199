#include "common/registry.h"

#include <filesystem>
#include <system_error>

#include "common/Platform.h"

namespace fs = std::filesystem;

bool IsPathSeparator(char c) {
#ifdef _WIN32
    return c == '\\' || c == '/';
#else
    return c == '/';
#endif
}

std::string FileNameOfPath(const std::string& path) { return path.substr(FolderOfPath(path).size()); }

std::string FolderOfPath(const std::string& path) {
    size_t end = path.size();
    while (end > 0 && !IsPathSeparator(path[end - 1])) --end;
    return path.substr(0, end);
}

std::string PathWithoutRoot(const std::string& path) {
    auto slash = [](char c) { return c == '\\' || c == '/'; };
    // Drive: a letter, a colon and, usually, a separator.
    if (path.size() >= 2 && path[1] == ':' &&
        ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'))) {
        size_t rest = 2;
        while (rest < path.size() && slash(path[rest])) ++rest;
        return path.substr(rest);
    }
    if (path.empty() || !slash(path[0])) return path;
    // A root is made of one kind of separator, the one the path starts with.
    // On POSIX a backslash is part of a name: in "/\\a\\b\\../c" it must not
    // end a root, or the rest would start with "..".
    const char sep = path[0];
    // UNC share: two separators, a server name, a separator, a share name, a separator.
    if (path.size() >= 2 && path[1] == sep) {
        size_t server_end = path.find(sep, 2);
        if (server_end == std::string::npos) return "";
        size_t share_end = path.find(sep, server_end + 1);
        if (share_end == std::string::npos) return "";
        size_t rest = share_end;
        while (rest < path.size() && path[rest] == sep) ++rest;
        return path.substr(rest);
    }
    size_t rest = 0;
    while (rest < path.size() && path[rest] == sep) ++rest;
    return path.substr(rest);
}

std::string TrimBlanks(const std::string& text) {
    size_t b = text.find_first_not_of(' ');
    if (b == std::string::npos) return "";
    size_t e = text.find_last_not_of(' ');
    return text.substr(b, e - b + 1);
}

std::string NormaliseSourcePath(const std::string& path) {
    std::string trimmed = TrimBlanks(path);
    if (trimmed.empty()) return trimmed;
    fs::path p = PathFromUtf8(trimmed);
    if (p.is_relative()) {
        std::error_code ec;
        fs::path base = fs::current_path(ec);
        if (!ec) p = base / p;
    }
    // ".." goes up from where the folder before it really is: after a
    // symbolic link ("link/..") that is the parent of the link's target,
    // which is what the system opens. A path without ".." keeps its text.
    fs::path resolved;
    for (const fs::path& part : p) {
        if (part == "..") {
            std::error_code ec;
            fs::path real = fs::weakly_canonical(resolved, ec);
            if (!ec) resolved = std::move(real);
            resolved = resolved.parent_path();
        } else {
            resolved /= part;
        }
    }
    fs::path normal = resolved.lexically_normal();
    std::string text = Utf8FromPath(normal);
    // lexically_normal keeps a trailing separator for "dir/"; a mailbox is a file.
    while (text.size() > 1 && IsPathSeparator(text.back())) text.pop_back();
    return text;
}

std::string ReplaceAll(std::string text, const std::string& what, const std::string& with) {
    if (what.empty()) return text;
    std::string out;
    size_t pos = 0;
    for (;;) {
        size_t hit = text.find(what, pos);
        if (hit == std::string::npos) break;
        out.append(text, pos, hit - pos);
        out += with;
        pos = hit + what.size();
    }
    out.append(text, pos, std::string::npos);
    return out;
}
