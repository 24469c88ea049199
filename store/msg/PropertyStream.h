// The __properties_version1.0 stream of one .msg object (MS-OXMSG 2.4): a
// header whose length depends on where the object sits, then one 16-byte
// entry per property. Layer: under the message writer; no file access.
//
// Header (little-endian):
//   top-level message, 32 bytes: 8 reserved, next recipient id, next attachment
//                                id, recipient count, attachment count, 8 reserved
//   embedded message, 24 bytes:  the same without the last 8 reserved bytes
//   recipient / attachment, 8 bytes: reserved
// Entry, 16 bytes: tag u32, flags u32, then either the fixed-size value padded
// with zeros to 8 bytes, or for a stream-backed value the size u32 (stream
// length; +2 for PT_UNICODE, +1 for PT_STRING8; 0xFFFFFFFF for PT_OBJECT; the
// length stream's length for variable-size multi-valued types) and 4 zero bytes.
// Entries are written sorted by tag, so output does not depend on the model's order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace store::msg::detail {

enum class HeaderKind { TopMessage, EmbeddedMessage, RecipientOrAttachment };

// Bytes of a fixed-size value of `type` inside an entry (MS-OXCDATA 2.11.1),
// 0 when the type is not fixed-size.
uint32_t FixedValueBytes(uint16_t type);

class PropertyStreamBuilder {
public:
    // A fixed-size value; only its FixedValueBytes(type) low bytes are kept.
    void addFixed(uint32_t tag, uint32_t flags, uint64_t value);
    // A value held in a stream (or a storage for PT_OBJECT); `size` per the rule above.
    void addStreamBacked(uint32_t tag, uint32_t flags, uint32_t size);

    // The stream; sorts the entries it holds.
    std::string serialize(HeaderKind kind, uint32_t recipientCount, uint32_t attachmentCount);

private:
    struct Entry {
        uint32_t tag;
        uint32_t flags;
        uint64_t valueField;  // the 8 bytes at offset 8, little-endian
    };
    std::vector<Entry> entries_;
};

}  // namespace store::msg::detail
