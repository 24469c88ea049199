// Address-related binary values of the MAPI model, for the MIME import and
// both store writers: one-off EntryIDs (MS-OXCDATA 2.2.5.1) and search keys
// (PidTagSearchKey, MS-OXCPRPT).
#pragma once

#include <string>
#include <string_view>

namespace store {

// One-off EntryID: flags 0, MAPI_ONE_OFF_UID, version 0, flags
// MAPI_ONE_OFF_UNICODE | MAPI_ONE_OFF_NO_RICH_INFO, then the display name,
// the address type and the address as NUL-terminated UTF-16LE strings.
std::string OneOffEntryId(std::string_view displayNameUtf8, std::string_view addressType, std::string_view address);
inline std::string OneOffEntryId(std::string_view displayNameUtf8, std::string_view address) {
    return OneOffEntryId(displayNameUtf8, "SMTP", address);
}

// Search key: the address type, ':', the address, in upper case (ASCII
// letters only), and one NUL byte.
std::string SearchKey(std::string_view addressType, std::string_view address);
inline std::string SmtpSearchKey(std::string_view address) { return SearchKey("SMTP", address); }

}  // namespace store
