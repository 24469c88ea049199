// The helpers the MIME import's files share; see ImportCommon.h.
#include "store/mime/ImportCommon.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "store/Codepages.h"
#include "store/mime/GMimeSupport.h"

namespace store::mime::detail {

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string Lower(std::string s) {
    for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string Trim(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return std::string(s.substr(b, e - b));
}

std::string ToCrlf(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 32);
    // The text between line ends is appended as a run: a push_back per byte
    // was 4 % of the store forms.
    for (size_t i = 0; i < text.size();) {
        size_t j = i;
        while (j < text.size() && text[j] != '\r' && text[j] != '\n') ++j;
        out.append(text.data() + i, j - i);
        if (j == text.size()) break;
        out += "\r\n";
        i = j + (text[j] == '\r' && j + 1 < text.size() && text[j + 1] == '\n' ? 2 : 1);
    }
    return out;
}

std::string CleanLine(std::string s) {
    // Worked on in place: header values can be megabytes long.
    if (!IsValidUtf8(s) || s.find('\0') != std::string::npos) s = SanitizeUtf8(s);
    // A TAB stays: unfolding removes the line break only, and the blank
    // after it (often a TAB) is part of the text.
    for (char& c : s)
        if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F) c = ' ';
    constexpr const char* kBlanks = " \t\n\v\f\r";
    s.erase(std::min(s.find_last_not_of(kBlanks) + 1, s.size()));  // npos + 1 is 0: all blank
    s.erase(0, std::min(s.find_first_not_of(kBlanks), s.size()));
    return s;
}

std::string Unfold(const char* raw) {
    if (!raw) return {};
    return CleanLine(TakeGString(g_mime_utils_header_unfold(raw)));
}

GMimeHeader* FindHeader(GMimeObject* object, const char* name) {
    GMimeHeaderList* list = g_mime_object_get_header_list(object);
    return list ? g_mime_header_list_get_header(list, name) : nullptr;
}

void SkipCfws(std::string_view s, size_t& i) {
    int depth = 0;
    for (; i < s.size(); ++i) {
        char c = s[i];
        if (depth > 0) {
            if (c == '\\')
                ++i;
            else if (c == '(')
                ++depth;
            else if (c == ')')
                --depth;
        } else if (c == '(') {
            depth = 1;
        } else if (c != ' ' && c != '\t' && c != '\r' && c != '\n') {
            return;
        }
    }
}

namespace {

// Whether a token (RFC 2045: no blank, control or tspecial) starts at i; moves past it.
bool SkipToken(std::string_view s, size_t& i) {
    size_t start = i;
    while (i < s.size()) {
        auto c = static_cast<unsigned char>(s[i]);
        if (c <= 0x20 || c >= 0x7F || std::strchr("()<>@,;:\\\"/[]?=", c)) break;
        ++i;
    }
    return i > start;
}

// A Content-Type field that is there but holds no "type/subtype". GMime
// reads it as application/octet-stream; MIME reads it as text/plain in
// us-ascii, so the part is text (and may be the body), not a file.
bool HasUnreadableContentType(GMimeObject* object) {
    GMimeContentType* type = g_mime_object_get_content_type(object);
    if (type) {
        const char* media = g_mime_content_type_get_media_type(type);
        const char* sub = g_mime_content_type_get_media_subtype(type);
        if (media && *media && sub && *sub && !g_mime_content_type_is_type(type, "application", "octet-stream"))
            return false;
    }
    GMimeHeader* header = FindHeader(object, "Content-Type");
    const char* raw = header ? g_mime_header_get_raw_value(header) : nullptr;
    if (!raw) return false;
    std::string_view value = raw;
    size_t i = 0;
    SkipCfws(value, i);
    if (!SkipToken(value, i)) return true;
    SkipCfws(value, i);
    if (i >= value.size() || value[i] != '/') return true;
    ++i;
    SkipCfws(value, i);
    return !SkipToken(value, i);
}

}  // namespace

std::string MimeType(GMimeObject* object) {
    GMimeContentType* type = g_mime_object_get_content_type(object);
    if (!type) return "application/octet-stream";
    if (HasUnreadableContentType(object)) return "text/plain";
    return SanitizeUtf8(Lower(TakeGString(g_mime_content_type_get_mime_type(type))));
}

bool IsAttachmentDisposition(GMimeObject* object) {
    const char* disposition = g_mime_object_get_disposition(object);
    return disposition && EqualsNoCase(Trim(disposition), "attachment");
}

bool IsType(GMimeObject* object, const char* type, const char* subtype) {
    GMimeContentType* ct = g_mime_object_get_content_type(object);
    if (ct && GMIME_IS_PART(object) && HasUnreadableContentType(object))
        return EqualsNoCase(type, "text") && (EqualsNoCase(subtype, "plain") || std::string_view(subtype) == "*");
    return ct && g_mime_content_type_is_type(ct, type, subtype);
}

}  // namespace store::mime::detail
