// The named-property map of a .msg file; layout in NamedPropertyMap.h.
#include "store/msg/NamedPropertyMap.h"

#include "store/Endian.h"
#include "store/MapiIds.h"
#include "store/Unicode.h"
#include "store/msg/MsgConstants.h"

#include <algorithm>
#include <cstdio>
#include <map>

namespace store::msg::detail {
namespace {

// CRC-32 (reflected, polynomial 0xEDB88320) starting from 0, with no final
// inversion, as the lookup streams use it.
uint32_t nameCrc(const std::string& bytes) {
    uint32_t crc = 0;
    for (unsigned char b : bytes) {
        crc ^= b;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ ((crc & 1) ? 0xEDB88320u : 0u);
    }
    return crc;
}

}  // namespace

uint16_t NamedPropertyMap::idFor(const NamedKey& key) {
    auto it = std::find(keys_.begin(), keys_.end(), key);
    if (it != keys_.end()) return uint16_t(kFirstNamedId + (it - keys_.begin()));
    if (keys_.size() >= 0x7FFF) return 0;
    keys_.push_back(key);
    // The GUID stream lists the other property sets in order of first use.
    const Guid& set = key.propertySet;
    if (set != ids::PS_MAPI && set != ids::PS_PUBLIC_STRINGS &&
        std::find(guids_.begin(), guids_.end(), set) == guids_.end())
        guids_.push_back(set);
    return uint16_t(kFirstNamedId + keys_.size() - 1);
}

uint16_t NamedPropertyMap::guidIndex(const Guid& set) const {
    if (set == ids::PS_MAPI) return 1;
    if (set == ids::PS_PUBLIC_STRINGS) return 2;
    auto it = std::find(guids_.begin(), guids_.end(), set);  // present: idFor added it
    return uint16_t(3 + (it - guids_.begin()));
}

std::vector<std::pair<std::string, std::string>> NamedPropertyMap::streams() const {
    std::string guidStream, entryStream, stringStream;
    for (const Guid& g : guids_) guidStream.append(reinterpret_cast<const char*>(g.data()), g.size());

    std::map<uint16_t, std::string> lookup;  // stream number -> records
    for (size_t i = 0; i < keys_.size(); ++i) {
        const NamedKey& key = keys_[i];
        uint16_t guidIdx = guidIndex(key.propertySet);
        uint16_t kind = key.isString ? 1 : 0;
        uint32_t first;  // LID or string offset
        uint32_t hashKey;
        if (key.isString) {
            std::string name = Utf8ToUtf16le(key.name);
            first = uint32_t(stringStream.size());
            append32(stringStream, uint32_t(name.size()));
            stringStream += name;
            while (stringStream.size() % 4) stringStream += '\0';
            hashKey = nameCrc(name);
        } else {
            first = key.lid;
            hashKey = key.lid;
        }
        uint16_t indexKind = uint16_t((guidIdx << 1) | kind);
        std::string tail;
        append16(tail, indexKind);
        append16(tail, uint16_t(i));
        append32(entryStream, first);
        entryStream += tail;

        uint16_t streamNumber = uint16_t(0x1000 + (hashKey ^ (uint32_t(guidIdx) << 1 | kind)) % kNameHashBuckets);
        std::string& records = lookup[streamNumber];
        append32(records, hashKey);
        records += tail;
    }

    std::vector<std::pair<std::string, std::string>> out;
    out.emplace_back("__substg1.0_00020102", std::move(guidStream));
    out.emplace_back("__substg1.0_00030102", std::move(entryStream));
    out.emplace_back("__substg1.0_00040102", std::move(stringStream));
    for (auto& [number, records] : lookup) {
        char name[32];
        std::snprintf(name, sizeof name, "__substg1.0_%04X0102", unsigned(number));
        out.emplace_back(name, std::move(records));
    }
    return out;
}

}  // namespace store::msg::detail
