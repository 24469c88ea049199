// Naming attachments; see AttachmentNames.h.
#include "store/mime/AttachmentNames.h"

#include <cstring>
#include <utility>

#include "store/MapiIds.h"
#include "store/mime/EncodedWords.h"
#include "store/mime/GMimeSupport.h"
#include "store/mime/ImportCommon.h"

namespace store::mime::detail {

namespace {

// Unfolded raw value of a Content-* header of a part. These fields are never
// kept from GMime as long fields (MimeImport.cpp), so GMime holds their value.
std::string ContentHeader(GMimeObject* part, const char* name) {
    GMimeHeader* header = FindHeader(part, name);
    return header ? Unfold(g_mime_header_get_raw_value(header)) : std::string();
}

std::string CleanFileName(std::string_view raw) {
    std::string name = CleanLine(std::string(raw));
    size_t slash = name.find_last_of("/\\");
    if (slash != std::string::npos) name = name.substr(slash + 1);
    std::string out;
    for (char c : name)
        if (!std::strchr(":*?\"<>|", c)) out += c;
    return Trim(out);
}

std::string ExtensionForMimeType(const std::string& type) {
    static const std::pair<const char*, const char*> table[] = {{"text/plain", ".txt"},
                                                                {"text/html", ".htm"},
                                                                {"text/calendar", ".ics"},
                                                                {"text/enriched", ".txt"},
                                                                {"text/rfc822-headers", ".txt"},
                                                                {"text/csv", ".csv"},
                                                                {"text/xml", ".xml"},
                                                                {"text/x-vcard", ".vcf"},
                                                                {"text/vcard", ".vcf"},
                                                                {"image/jpeg", ".jpg"},
                                                                {"image/jpg", ".jpg"},
                                                                {"image/pjpeg", ".jpg"},
                                                                {"image/png", ".png"},
                                                                {"image/gif", ".gif"},
                                                                {"image/bmp", ".bmp"},
                                                                {"image/tiff", ".tif"},
                                                                {"image/svg+xml", ".svg"},
                                                                {"application/pdf", ".pdf"},
                                                                {"application/zip", ".zip"},
                                                                {"application/msword", ".doc"},
                                                                {"application/ms-tnef", ".dat"},
                                                                {"application/xml", ".xml"},
                                                                {"application/json", ".json"},
                                                                {"application/pgp-signature", ".asc"},
                                                                {"application/pkcs7-signature", ".p7s"},
                                                                {"application/x-pkcs7-signature", ".p7s"},
                                                                {"application/pkcs7-mime", ".p7m"},
                                                                {"application/x-pkcs7-mime", ".p7m"},
                                                                {"message/rfc822", ".eml"},
                                                                {"message/delivery-status", ".txt"},
                                                                {"message/disposition-notification", ".txt"},
                                                                {"message/feedback-report", ".txt"},
                                                                {"audio/mpeg", ".mp3"},
                                                                {"audio/wav", ".wav"},
                                                                {"video/mp4", ".mp4"}};
    for (const auto& [mime, ext] : table)
        if (type == mime) return ext;
    return type.starts_with("text/") ? ".txt" : ".bin";
}

// Extension with its dot, or "" when the name has none.
std::string ExtensionOf(const std::string& name) {
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == name.size() || name.size() - dot > 16) return {};
    return name.substr(dot);
}

// 8.3 form: kept as is when it already fits, else up to six characters of the
// base + "~1" + up to three characters of the extension.
std::string ShortFileName(const std::string& longName) {
    std::string ext = ExtensionOf(longName);
    std::string base = longName.substr(0, longName.size() - ext.size());
    auto usable = [](const std::string& s) {
        std::string out;
        for (unsigned char c : s) {
            if (c >= 0x80) {
                if ((c & 0xC0) != 0x80) out += '_';  // one '_' per non-ASCII character
            } else if (c > 0x20 && !std::strchr(".\"/\\[]:;=,+*?<>|", c)) {
                out += char(c);
            }
        }
        return out;
    };
    std::string b = usable(base);
    std::string e = ext.empty() ? std::string() : usable(ext.substr(1));
    bool fits = b == base && (ext.empty() || e == ext.substr(1)) && b.size() <= 8 && e.size() <= 3 && !b.empty();
    if (fits) return longName;
    if (b.empty()) b = "ATTACH";
    std::string shortName = b.substr(0, 6) + "~1";
    if (!e.empty()) shortName += "." + e.substr(0, 3);
    return shortName;
}

// A parameter of a Content-Disposition (`disposition`) or Content-Type field,
// parsed anew from the field's raw value with its encoded-words repaired;
// encoded-words left in the value are decoded.
std::string ReparsedParameter(const std::string& raw, bool disposition, const char* parameter) {
    std::string normalised = NormaliseEncodedWords(raw);
    std::string value;
    if (disposition) {
        GObjectPtr<GMimeContentDisposition> d(
            g_mime_content_disposition_parse(LenientParserOptions(), normalised.c_str()));
        const char* v = d ? g_mime_content_disposition_get_parameter(d.get(), parameter) : nullptr;
        value = v ? v : "";
    } else {
        GObjectPtr<GMimeContentType> t(g_mime_content_type_parse(LenientParserOptions(), normalised.c_str()));
        const char* v = t ? g_mime_content_type_get_parameter(t.get(), parameter) : nullptr;
        value = v ? v : "";
    }
    if (value.find("=?") != std::string::npos)
        value = TakeGString(g_mime_utils_header_decode_text(LenientParserOptions(), value.c_str()));
    return value;
}

}  // namespace

std::string FileNameOf(GMimeObject* part) {
    const std::pair<const char*, const char*> sources[] = {{"Content-Disposition", "filename"},
                                                           {"Content-Type", "name"}};
    for (const auto& [header, parameter] : sources) {
        std::string raw = ContentHeader(part, header);
        if (raw.empty()) continue;
        std::string value;
        bool typeWithoutSubtype = header[8] == 'T' && raw.substr(0, raw.find(';')).find('/') == std::string::npos;
        if (typeWithoutSubtype && raw.find(';') != std::string::npos)  // "application-x-gzip; name=..."
            raw = "application/octet-stream" + raw.substr(raw.find(';'));
        if (raw.find("=?") != std::string::npos || typeWithoutSubtype) {
            value = ReparsedParameter(raw, header[8] == 'D', parameter);
        } else {
            const char* v = header[8] == 'D' ? g_mime_object_get_content_disposition_parameter(part, parameter)
                                             : g_mime_object_get_content_type_parameter(part, parameter);
            value = v ? v : "";
        }
        std::string name = CleanFileName(value);
        if (!name.empty()) return name;
    }
    return {};
}

std::string UnnamedPartName(GMimePart* part, const std::string& mimeType) {
    const char* description = g_mime_part_get_content_description(part);
    std::string text =
        description ? CleanFileName(TakeGString(g_mime_utils_header_decode_text(LenientParserOptions(), description)))
                    : "";
    return text.empty() ? "attachment" + ExtensionForMimeType(mimeType)
                        : (ExtensionOf(text).empty() ? text + ExtensionForMimeType(mimeType) : text);
}

void SetFileNames(PropertyBag& p, const std::string& longName) {
    p.setString(pid::AttachLongFilename, longName);
    p.setString(pid::AttachFilename, ShortFileName(longName));
    p.setString(pid::DisplayName, longName);
    std::string ext = ExtensionOf(longName);
    if (!ext.empty()) p.setString(ids::AttachExtension, ext);
}

}  // namespace store::mime::detail
