// The MIME import: turns one RFC 5322 / MIME message into our MAPI message
// model (store/MapiMessage.h), which the .pst and .msg writers consume.
// GMime does the parsing; nothing outside store/mime sees GMime types.
#pragma once

#include <string>
#include <string_view>

#include "store/MapiMessage.h"

namespace store::mime {

// What the import puts into the model (ids in store::pid and store::ids):
//  message      MessageClass "IPM.Note", MessageFlags 1 (read); Subject,
//               SubjectPrefix (only when there is one), NormalizedSubject,
//               ConversationTopic (Thread-Topic, else the normalized subject),
//               ConversationIndex (Thread-Index decoded, only when the
//               message has one); SentRepresenting* (From) and Sender*
//               (Sender, else From): Name, AddressType "SMTP", EmailAddress,
//               SmtpAddress, EntryId (one-off), SearchKey; DisplayTo/Cc/Bcc
//               (always, as Property::RecipientNames: made from the rows by
//               the writers, "" when there are none); ReplyRecipientNames/Entries;
//               ClientSubmitTime and MessageDeliveryTime (Date / first
//               Received; absent when neither parses); InternetMessageId,
//               InReplyToId, InternetReferences (verbatim); Importance,
//               Priority, Sensitivity (always); TransportMessageHeaders (CRLF);
//               Body (UTF-8, CRLF) and/or Html (PT_BINARY, original bytes);
//               InternetCodepage (of the HTML, else of the text);
//               MessageCodepage (a Windows ANSI/DBCS code page, or 65001).
//  recipients   one row per mailbox of To, Cc, Bcc (groups flattened):
//               RecipientType 1/2/3, DisplayName, RecipientDisplayName,
//               TransmittableDisplayName, AddressType, EmailAddress,
//               SmtpAddress, EntryId, RecipientEntryId, SearchKey, Rowid,
//               ObjectType 6, DisplayType 0, SendRichInfo false,
//               RecipientFlags 1.
//  attachments  AttachNumber, ObjectType 7, RenderingPosition 0xFFFFFFFF,
//               AttachMimeTag, AttachContentId, AttachContentLocation,
//               AttachFlags, AttachmentHidden; by value (AttachMethod 1):
//               AttachDataBinary, AttachSize, AttachLongFilename,
//               AttachFilename (8.3), DisplayName, AttachExtension,
//               TextAttachmentCharset; message/rfc822 (AttachMethod 5):
//               Attachment::embedded and DisplayName = its subject (no
//               PT_OBJECT property is added; writers key on the method).
// Left to the writers: MessageSize, HasAttachments / mfHasAttach, SearchKey
// of the message, creation and modification times, StoreSupportMask.

// Reads a MIME message file (RFC 5322/MIME; it may begin with an mbox
// "From " separator line, which is not part of the message) into a MAPI
// message. Damaged input still yields a message (at worst one whose body is
// the raw text); false only when the file cannot be read, with *error set.
// `out` is replaced.
bool ImportMimeFile(const std::string& path, store::Message& out, std::string* error);

// The same for a message already in memory.
bool ImportMimeBytes(std::string_view bytes, store::Message& out, std::string* error);

}  // namespace store::mime
