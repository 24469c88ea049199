// One-off EntryIDs and search keys for SMTP addresses.
#include "store/mime/MapiAddress.h"

#include <cctype>
#include <cstdint>

#include "store/mime/Codepages.h"

namespace store::mime {

std::string Utf8ToUtf16Le(const std::string& input) {
    const std::string utf8 = SanitizeUtf8(input);
    std::string out;
    out.reserve(utf8.size() * 2);
    auto put = [&](uint32_t unit) {
        out += char(unit & 0xFF);
        out += char(unit >> 8);
    };
    for (size_t i = 0; i < utf8.size();) {
        auto c = static_cast<unsigned char>(utf8[i]);
        uint32_t cp;
        size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        cp = n == 1 ? c : n == 2 ? (c & 0x1F) : n == 3 ? (c & 0x0F) : (c & 0x07);
        for (size_t k = 1; k < n && i + k < utf8.size(); ++k)
            cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        i += n;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            put(0xD800 | (cp >> 10));
            put(0xDC00 | (cp & 0x3FF));
        } else {
            put(cp);
        }
    }
    return out;
}

std::string OneOffEntryId(const std::string& displayNameUtf8, const std::string& address) {
    static const unsigned char kOneOffUid[16] = {0x81, 0x2B, 0x1F, 0xA4, 0xBE, 0xA3, 0x10, 0x19,
                                                 0x9D, 0x6E, 0x00, 0xDD, 0x01, 0x0F, 0x54, 0x02};
    std::string id(4, '\0');
    id.append(reinterpret_cast<const char*>(kOneOffUid), sizeof kOneOffUid);
    id += std::string("\x00\x00", 2);  // version
    id += std::string("\x01\x80", 2);  // MAPI_ONE_OFF_NO_RICH_INFO | MAPI_ONE_OFF_UNICODE, little-endian
    const std::string nul(2, '\0');
    id += Utf8ToUtf16Le(displayNameUtf8) + nul;
    id += Utf8ToUtf16Le("SMTP") + nul;
    id += Utf8ToUtf16Le(address) + nul;
    return id;
}

std::string SmtpSearchKey(const std::string& address) {
    std::string key = "SMTP:";
    for (char c : address) key += char(std::toupper(static_cast<unsigned char>(c)));
    key += '\0';
    return key;
}

}  // namespace store::mime
