// The named-property map of a .msg file (MS-OXMSG 2.2.3): assigns property
// ids 0x8000, 0x8001, ... to (property set, LID or name) keys in order of
// first use, and serialises the __nameid_version1.0 storage's streams.
// Layer: under the message writer, above nothing but the model's NamedKey.
//
// Streams (all little-endian):
//   __substg1.0_00020102  GUID stream: 16-byte property sets, each once; PS_MAPI
//                         (index 1) and PS_PUBLIC_STRINGS (index 2) never stored,
//                         stored set n has index n + 3.
//   __substg1.0_00030102  entry stream, 8 bytes per property in id order:
//                         0 u32 LID, or byte offset of the name in the string stream
//                         4 u16 (GUID index << 1) | kind (0 numeric, 1 string)
//                         6 u16 property index (id - 0x8000)
//   __substg1.0_00040102  string stream: u32 byte length + UTF-16LE name (no NUL),
//                         each record padded to 4 bytes.
//   __substg1.0_10XX0102  name-to-id lookup streams (MS-OXMSG 2.2.3.2), 8 bytes per
//                         property: u32 LID or CRC-32 of the UTF-16LE name (no
//                         pre/post inversion), then the entry's last 4 bytes; the
//                         stream number is 0x1000 + ((key XOR (GUID index << 1 | kind)) mod 0x1F).
#pragma once

#include "store/MapiMessage.h"

#include <string>
#include <utility>
#include <vector>

namespace store::msg::detail {

class NamedPropertyMap {
public:
    // The id for `key`, assigned on first use; 0 when all 0x7FFF ids are taken.
    uint16_t idFor(const NamedKey& key);

    // The streams of __nameid_version1.0, as (name, bytes); the three fixed
    // streams are always present, possibly empty.
    std::vector<std::pair<std::string, std::string>> streams() const;

private:
    uint16_t guidIndex(const Guid& set) const;  // the set's index in the entry records

    std::vector<NamedKey> keys_;  // keys_[i] has id 0x8000 + i
    std::vector<Guid> guids_;     // the GUID stream
};

}  // namespace store::msg::detail
