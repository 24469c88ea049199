// Charsets, Windows code pages and text conversion for the store library.
// The MIME import uses it to turn message text into UTF-8 and to label HTML
// bodies with a code page; the .msg writer uses it to write 8-bit strings in
// a message's own code page. Conversion goes through iconv; this file does
// not depend on the MAPI model.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace store::mime {

// Windows code page identifier for a MIME charset name (case-insensitive;
// common aliases and misspellings such as "uft-8" or "latin1" accepted).
// windows-1252 -> 1252, utf-8 -> 65001, iso-8859-1 -> 28591, iso-2022-jp -> 50220,
// shift_jis -> 932, gb2312 -> 936, big5 -> 950, koi8-r -> 20866, ...
// Returns 0 when the charset is unknown.
uint32_t CodepageForCharset(const std::string& charset);

// Preferred MIME charset name for a code page ("windows-1252" for 1252,
// "utf-8" for 65001, ...); "" when the code page is unknown.
std::string CharsetForCodepage(uint32_t codepage);

// The Windows ANSI (or DBCS) code page closest to a code page, for storing
// 8-bit strings: ISO and KOI8 code pages map to their Windows relatives,
// ISO-2022-JP and EUC-JP to 932, the Unicode code pages to 65001; 0 (unknown)
// to 1252.
uint32_t AnsiCodepageFor(uint32_t codepage);

// Encodes UTF-8 text in a code page. Returns false when the code page is
// unknown or a character cannot be represented; *out then still holds the
// best effort, with '?' for each character that could not be represented
// (and a copy of the input when the code page is unknown).
bool Utf8ToCodepage(std::string_view utf8, uint32_t codepage, std::string* out);

// Decodes bytes in the given charset to UTF-8. Unknown charsets and bytes that
// do not decode fall back to: UTF-8 if the bytes are valid UTF-8, otherwise
// Windows-1252. Sets *exact (when given) to false if any fallback or
// replacement was needed. The result is always valid UTF-8.
std::string DecodeToUtf8(std::string_view bytes, const std::string& charset, bool* exact = nullptr);

// Valid UTF-8 from arbitrary bytes: valid UTF-8 is kept; otherwise the bytes
// are read as Windows-1252. NUL characters are removed.
std::string SanitizeUtf8(std::string_view bytes);

// Whether the bytes are well-formed UTF-8.
bool IsValidUtf8(std::string_view bytes);

// Windows-1252 bytes to UTF-8; the five undefined bytes map to U+0081 etc.
std::string Windows1252ToUtf8(std::string_view bytes);

}  // namespace store::mime
