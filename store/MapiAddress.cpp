// One-off EntryIDs and search keys; see MapiAddress.h.
#include "store/MapiAddress.h"

#include <cstdint>

#include "store/MapiIds.h"
#include "store/Unicode.h"

namespace store {

std::string OneOffEntryId(std::string_view displayNameUtf8, std::string_view addressType, std::string_view address) {
    std::string id(4, '\0');  // flags
    id.append(reinterpret_cast<const char*>(ids::MAPI_ONE_OFF_UID.data()), ids::MAPI_ONE_OFF_UID.size());
    id += std::string("\x00\x00", 2);  // version
    id += std::string("\x01\x80", 2);  // MAPI_ONE_OFF_NO_RICH_INFO | MAPI_ONE_OFF_UNICODE, little-endian
    for (std::string_view s : {displayNameUtf8, addressType, address}) {
        AppendUtf16le(id, s);
        id += std::string(2, '\0');
    }
    return id;
}

std::string SearchKey(std::string_view addressType, std::string_view address) {
    std::string key;
    key.reserve(addressType.size() + address.size() + 2);
    key.append(addressType).append(":").append(address);
    for (char& c : key)
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    key += '\0';
    return key;
}

}  // namespace store
