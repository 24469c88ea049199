// The property stream of one .msg object; layout in PropertyStream.h.
#include "store/msg/PropertyStream.h"

#include "store/Endian.h"
#include "store/msg/MsgConstants.h"

#include <algorithm>

namespace store::msg::detail {
namespace {}  // namespace

uint32_t FixedValueBytes(uint16_t type) {
    switch (type) {
        case 0x000B: return 1;  // PtypBoolean
        case 0x0002: return 2;  // PtypInteger16
        case 0x0003:
        case 0x0004:
        case 0x000A: return 4;  // PtypInteger32, PtypFloating32, PtypErrorCode
        case 0x0005:
        case 0x0006:
        case 0x0007:  // PtypFloating64, PtypCurrency, PtypFloatingTime
        case 0x0014:
        case 0x0040: return 8;  // PtypInteger64, PtypTime
        default: return 0;
    }
}

void PropertyStreamBuilder::addFixed(uint32_t tag, uint32_t flags, uint64_t value) {
    uint32_t bytes = FixedValueBytes(uint16_t(tag & 0xFFFF));
    if (bytes == 1)
        value = value ? 1 : 0;
    else if (bytes < 8)
        value &= (uint64_t(1) << (8 * bytes)) - 1;  // padding must be zero
    entries_.push_back({tag, flags, value});
}

void PropertyStreamBuilder::addStreamBacked(uint32_t tag, uint32_t flags, uint32_t size) {
    entries_.push_back({tag, flags, size});  // size, then 4 reserved zero bytes
}

std::string PropertyStreamBuilder::serialize(HeaderKind kind, uint32_t recipientCount, uint32_t attachmentCount) {
    const size_t headerBytes = kind == HeaderKind::TopMessage        ? kTopHeaderBytes
                               : kind == HeaderKind::EmbeddedMessage ? kEmbeddedHeaderBytes
                                                                     : kRowHeaderBytes;
    // Built in place, zeros first: appending byte by byte cost more than the
    // rest of the stream's making.
    std::string out(headerBytes + entries_.size() * kEntryBytes, '\0');
    uint8_t* p = reinterpret_cast<uint8_t*>(out.data());
    if (kind != HeaderKind::RecipientOrAttachment) {
        // Storages are numbered 0..n-1 without gaps, so the next ids are the counts.
        put32(p + 8, recipientCount);
        put32(p + 12, attachmentCount);
        put32(p + 16, recipientCount);
        put32(p + 20, attachmentCount);
    }
    p += headerBytes;
    // Sorted in place, stably. An object has a few dozen entries: insertion
    // sort needs no buffer, where stable_sort allocated one per object.
    auto byTag = [](const Entry& a, const Entry& b) { return a.tag < b.tag; };
    if (entries_.size() > 64) {
        std::stable_sort(entries_.begin(), entries_.end(), byTag);
    } else {
        for (size_t i = 1; i < entries_.size(); ++i) {
            const Entry e = entries_[i];
            size_t j = i;
            for (; j > 0 && byTag(e, entries_[j - 1]); --j) entries_[j] = entries_[j - 1];
            entries_[j] = e;
        }
    }
    for (const Entry& e : entries_) {
        put32(p, e.tag);
        put32(p + 4, e.flags);
        put64(p + 8, e.valueField);
        p += kEntryBytes;
    }
    return out;
}

}  // namespace store::msg::detail
