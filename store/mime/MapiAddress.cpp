// One-off EntryIDs and search keys for SMTP addresses.
#include "store/mime/MapiAddress.h"

#include <cctype>
#include <cstdint>

#include "store/Unicode.h"
#include "store/mime/Codepages.h"

namespace store::mime {

std::string OneOffEntryId(const std::string& displayNameUtf8, const std::string& address) {
    static const unsigned char kOneOffUid[16] = {0x81, 0x2B, 0x1F, 0xA4, 0xBE, 0xA3, 0x10, 0x19,
                                                 0x9D, 0x6E, 0x00, 0xDD, 0x01, 0x0F, 0x54, 0x02};
    std::string id(4, '\0');
    id.append(reinterpret_cast<const char*>(kOneOffUid), sizeof kOneOffUid);
    id += std::string("\x00\x00", 2);  // version
    id += std::string("\x01\x80", 2);  // MAPI_ONE_OFF_NO_RICH_INFO | MAPI_ONE_OFF_UNICODE, little-endian
    const std::string nul(2, '\0');
    id += Utf8ToUtf16le(displayNameUtf8) + nul;
    id += Utf8ToUtf16le("SMTP") + nul;
    id += Utf8ToUtf16le(address) + nul;
    return id;
}

std::string SmtpSearchKey(const std::string& address) {
    std::string key = "SMTP:";
    for (char c : address) key += char(std::toupper(static_cast<unsigned char>(c)));
    key += '\0';
    return key;
}

}  // namespace store::mime
