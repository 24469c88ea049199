// Fixed values of the Outlook message file layout (MS-OXMSG): storage and
// stream names, property stream header sizes, entry flags and the named-
// property map's fixed indexes. Property ids and values live in
// store/MapiIds.h. Used only by the .msg writer in this folder.
#pragma once

#include <cstdint>

namespace store::msg::detail {

// Stream and storage names (MS-OXMSG 2.1.3, 2.2.1, 2.2.2, 2.2.3).
inline constexpr const char* kPropertiesStream = "__properties_version1.0";
inline constexpr const char* kSubstgPrefix = "__substg1.0_";
inline constexpr const char* kRecipPrefix = "__recip_version1.0_#";
inline constexpr const char* kAttachPrefix = "__attach_version1.0_#";
inline constexpr const char* kNameIdStorage = "__nameid_version1.0";
inline constexpr const char* kEmbeddedStorage = "__substg1.0_3701000D";

// Property stream header lengths (MS-OXMSG 2.4.1.1, 2.4.1.2, 2.4.1.3).
inline constexpr uint32_t kTopHeaderBytes = 32;
inline constexpr uint32_t kEmbeddedHeaderBytes = 24;
inline constexpr uint32_t kRowHeaderBytes = 8;  // recipients and attachments
inline constexpr uint32_t kEntryBytes = 16;     // one property entry (MS-OXMSG 2.4.2)

// Entry flags (MS-OXMSG 2.4.2.1).
inline constexpr uint32_t kPropAttrMandatory = 0x1;
inline constexpr uint32_t kPropAttrReadable = 0x2;
inline constexpr uint32_t kPropAttrWritable = 0x4;

// Size field of a PT_OBJECT entry (MS-OXMSG 2.4.2.2).
inline constexpr uint32_t kObjectSize = 0xFFFFFFFF;

// At most this many recipient or attachment storages per message (MS-OXMSG 2.2.1, 2.2.2).
inline constexpr size_t kMaxRows = 2048;

// PidTagStoreSupportMask of a Unicode file when the model has none: with
// STORE_UNICODE_OK, as MS-OXMSG 2.1.1.1 asks of a Unicode .msg file.
inline constexpr uint32_t kUnicodeStoreSupportMask = 0x00040E79;

// Root storage class of a message file, {00020D0B-0000-0000-C000-000000000046},
// in stored byte order.
inline constexpr uint8_t kMessageClsid[16] = {0x0B, 0x0D, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                              0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};

// The named-property map (MS-OXMSG 2.2.3): the first id it assigns and its
// lookup streams. PS_MAPI and PS_PUBLIC_STRINGS take the fixed indexes 1 and 2
// and are not stored in its GUID stream (MS-OXMSG 2.2.3.1.2).
inline constexpr uint16_t kFirstNamedId = 0x8000;
inline constexpr uint32_t kNameHashBuckets = 0x1F;  // name-to-id lookup streams 0x1000..0x101E

}  // namespace store::msg::detail
