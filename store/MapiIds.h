// Property ids, values and property sets that the MIME import and the store
// writers set beyond the frequent ids in store/MapiMessage.h (MS-OXPROPS
// names without the PidTag prefix).
#pragma once

#include <array>
#include <cstdint>

namespace store::ids {
constexpr uint16_t AlternateRecipientAllowed = 0x0002;
constexpr uint16_t Sensitivity = 0x0036;
constexpr uint16_t SubjectPrefix = 0x003D;
constexpr uint16_t NormalizedSubject = 0x0E1D;
constexpr uint16_t ConversationTopic = 0x0070;
constexpr uint16_t ConversationIndex = 0x0071;
constexpr uint16_t ReadReceiptRequested = 0x0029;
constexpr uint16_t ReplyRecipientEntries = 0x004F;
constexpr uint16_t ReplyRecipientNames = 0x0050;

// Originator groups: From -> SentRepresenting*, Sender -> Sender*.
constexpr uint16_t SentRepresentingEntryId = 0x0041;
constexpr uint16_t SentRepresentingName = 0x0042;
constexpr uint16_t SentRepresentingSearchKey = 0x003B;
constexpr uint16_t SentRepresentingAddressType = 0x0064;
constexpr uint16_t SentRepresentingEmailAddress = 0x0065;
constexpr uint16_t SentRepresentingSmtpAddress = 0x5D02;
constexpr uint16_t SenderEntryId = 0x0C19;
constexpr uint16_t SenderName = 0x0C1A;
constexpr uint16_t SenderSearchKey = 0x0C1D;
constexpr uint16_t SenderAddressType = 0x0C1E;
constexpr uint16_t SenderEmailAddress = 0x0C1F;
constexpr uint16_t SenderSmtpAddress = 0x5D01;

// Recipient rows.
constexpr uint16_t EntryId = 0x0FFF;
constexpr uint16_t SearchKey = 0x300B;
constexpr uint16_t ObjectType = 0x0FFE;
constexpr uint16_t Rowid = 0x3000;
constexpr uint16_t DisplayType = 0x3900;
constexpr uint16_t SmtpAddress = 0x39FE;
constexpr uint16_t TransmittableDisplayName = 0x3A20;
constexpr uint16_t SendRichInfo = 0x3A40;
constexpr uint16_t RecipientDisplayName = 0x5FF6;
constexpr uint16_t RecipientEntryId = 0x5FF7;
constexpr uint16_t RecipientFlags = 0x5FFD;
constexpr uint16_t Responsibility = 0x0E0F;

// Attachments.
constexpr uint16_t AttachExtension = 0x3703;
constexpr uint16_t AttachContentLocation = 0x3713;
constexpr uint16_t TextAttachmentCharset = 0x371B;

// Object types (MS-OXCPRPT PidTagObjectType) and display type.
constexpr uint32_t MAPI_MAILUSER = 6;
constexpr uint32_t MAPI_ATTACH = 7;
constexpr uint32_t DT_MAILUSER = 0;

// PidTagAttachMethod values and PidTagAttachFlags bits.
constexpr uint32_t afByValue = 1;
constexpr uint32_t afEmbeddedMessage = 5;
constexpr uint32_t attRenderedInBody = 0x4;

// PidTagMessageFlags bits: read, and has attachments (a store works the
// latter out from the message's attachments).
constexpr uint32_t mfRead = 0x01;
constexpr uint32_t mfHasAttach = 0x10;

// PidTagStoreSupportMask and its STORE_UNICODE_OK bit (MS-OXMSG 2.1.1.1).
constexpr uint16_t StoreSupportMask = 0x340D;
constexpr uint32_t STORE_UNICODE_OK = 0x00040000;

// Property sets and the one-off provider UID, in stored byte order
// (MS-OXPROPS 1.3.2, MS-OXCDATA 2.2.5.1).
using PropertySet = std::array<uint8_t, 16>;
inline constexpr PropertySet PS_MAPI = {0x28, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                        0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
inline constexpr PropertySet PS_PUBLIC_STRINGS = {0x29, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                                  0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
inline constexpr PropertySet PS_INTERNET_HEADERS = {0x86, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                                    0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
inline constexpr PropertySet PSETID_Common = {0x08, 0x20, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00,
                                              0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
inline constexpr PropertySet PSETID_Task = {0x03, 0x20, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00,
                                            0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
inline constexpr PropertySet MAPI_ONE_OFF_UID = {0x81, 0x2B, 0x1F, 0xA4, 0xBE, 0xA3, 0x10, 0x19,
                                                 0x9D, 0x6E, 0x00, 0xDD, 0x01, 0x0F, 0x54, 0x02};

}  // namespace store::ids
