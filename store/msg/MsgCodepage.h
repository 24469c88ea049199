// Text encodings for the .msg writer: UTF-8 (the model's form) to UTF-16LE for
// Unicode files, and to a Windows code page for 8-bit (PT_STRING8) files, on
// glibc iconv. Used only by the .msg writer; no dependency beyond libc.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "store/Unicode.h"

namespace store::msg::detail {

inline constexpr uint32_t kCodepageUtf8 = 65001;
inline constexpr uint32_t kCodepageWestern = 1252;

// `utf8` with every malformed sequence replaced by U+FFFD.
std::string SanitizeUtf8(std::string_view utf8);

// True when iconv on this system can convert to and from `codepage`.
bool IsCodepageSupported(uint32_t codepage);

// Encodes UTF-8 text in `codepage`. False (and `out` unspecified) when the text
// is not valid UTF-8, when a character has no representation in the code
// page, or when the code page is unknown. 65001 gives the UTF-8 bytes back.
bool EncodeCodepage(std::string_view utf8, uint32_t codepage, std::string& out);

// Whether EncodeCodepage would succeed, without keeping its result.
bool FitsCodepage(std::string_view utf8, uint32_t codepage);

// Decodes bytes in `codepage` to UTF-8. False on bytes that are not valid in
// the code page or on an unknown code page.
bool DecodeCodepage(std::string_view bytes, uint32_t codepage, std::string& utf8);

// The code page to write 8-bit strings in for a message whose own code page
// is `codepage`: the code page itself when it is a plain 8-bit or multi-byte
// encoding iconv knows; for the 7-bit and stateful Internet encodings (us-ascii,
// the ISO-2022 family, UTF-7, HZ) and the EUC forms, the Windows code page of
// the same script (us-ascii -> 1252, iso-2022-jp -> 932, ...); UTF-16/32 and
// unknown code pages -> 65001.
uint32_t StringCodepageFor(uint32_t codepage);

// The MIME charset name of a code page ("windows-1252", "shift_jis", "utf-8"),
// or "" when there is none in our table.
std::string CharsetNameOfCodepage(uint32_t codepage);

}  // namespace store::msg::detail
