// Address-related binary values of the MAPI model: one-off EntryIDs and
// search keys for SMTP addresses (MS-OXCDATA 2.2.5.1, MS-OXCPRPT).
#pragma once

#include <string>

namespace store::mime {

// One-off EntryID for an SMTP address: flags 0, MAPI_ONE_OFF_UID, version 0,
// flags MAPI_ONE_OFF_UNICODE | MAPI_ONE_OFF_NO_RICH_INFO, then display name,
// "SMTP" and the address as NUL-terminated UTF-16LE strings.
std::string OneOffEntryId(const std::string& displayNameUtf8, const std::string& address);

// Search key: "SMTP:" + the address in upper case + one NUL byte.
std::string SmtpSearchKey(const std::string& address);

}  // namespace store::mime
