// Charsets, Windows code pages and text conversion for the whole store
// library: the MIME import turns message text into UTF-8 with it and labels
// the message with a code page; the .msg writer encodes 8-bit strings in that
// code page with it. Conversion goes through glibc iconv (GMime only names
// charsets our table lacks); this file does not depend on the MAPI model.
//
// Two rules hold everywhere:
//  - Bytes that are not UTF-8 where UTF-8 is expected are read as
//    Windows-1252: stray 8-bit bytes in mail are nearly always Western text,
//    so this keeps the character where U+FFFD would lose it. NULs are dropped,
//    as an 8-bit string ends at its first NUL.
//  - 8-bit strings are stored in a Windows code page that holds every
//    character of them (RoundTripsCodepage): the one of their own script
//    (AnsiCodepageFor) when it does, else the first of WindowsCodepages that
//    does. Text that none holds is not written in 8 bits at all.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace store {

inline constexpr uint32_t kCodepageUtf8 = 65001;
inline constexpr uint32_t kCodepageWestern = 1252;

// Windows code page identifier for a MIME charset name (case-insensitive;
// common aliases and misspellings such as "uft-8" or "latin1" accepted).
// windows-1252 -> 1252, utf-8 -> 65001, iso-8859-1 -> 28591, iso-2022-jp -> 50220,
// shift_jis -> 932, gb2312 -> 936, big5 -> 950, koi8-r -> 20866, ...
// Returns 0 when the charset is unknown.
uint32_t CodepageForCharset(const std::string& charset);

// Preferred MIME charset name for a code page ("windows-1252" for 1252,
// "utf-8" for 65001, ...); "" when the code page is unknown.
std::string CharsetForCodepage(uint32_t codepage);

// The Windows ANSI (or DBCS) code page to store 8-bit strings in for a text
// in `codepage`: ISO, KOI8, DOS and Mac code pages map to the Windows code
// page of their script (28591 and us-ascii -> 1252, koi8-r -> 1251), the
// ISO-2022 and EUC forms to the DBCS code page (iso-2022-jp -> 932), the
// Unicode forms to 65001; 0 (none) -> 1252; an unknown code page -> 65001.
uint32_t AnsiCodepageFor(uint32_t codepage);

// The Windows ANSI and DBCS code pages 8-bit strings can be stored in, in
// the order they are tried for text that its own code page cannot hold:
// Western first, then the other single-byte scripts, then the DBCS ones.
std::span<const uint32_t> WindowsCodepages();
// Whether `codepage` is one of those.
bool IsWindowsCodepage(uint32_t codepage);

// Whether the text, encoded in the code page and decoded again, is the same
// text: every character has a form there, and none is joined with its
// neighbours or split on the way (CP1258 and CP1255 compose and decompose
// accents). Malformed UTF-8 never round-trips.
bool RoundTripsCodepage(std::string_view utf8, uint32_t codepage);

// The distinct characters of some texts: a quick first test of which code
// pages can hold the texts, without converting them whole for each.
class TextCharacters {
public:
    // Adds the characters of a text, read as NextCodePoint reads it.
    void add(std::string_view utf8);
    // Whether every character added has a form in the code page that reads
    // back as itself. The texts themselves can still fail RoundTripsCodepage
    // where a converter joins neighbouring characters.
    bool fitIn(uint32_t codepage) const;

private:
    std::vector<uint64_t> seen_;  // one bit per code point above U+007F
    std::string sample_;          // each of them once, one per line
};

// Encodes UTF-8 text in a code page into *out (when given; with a null `out`
// the text is only checked). False when the text is not valid UTF-8, when a
// character has no representation in the code page, or when the code page is
// unknown; *out is then unspecified. 65001 gives valid UTF-8 back as it is.
bool EncodeCodepage(std::string_view utf8, uint32_t codepage, std::string* out);

// Decodes bytes in a code page to UTF-8. False on bytes that are not valid
// in the code page or on an unknown code page; *utf8 is then unspecified.
bool DecodeCodepage(std::string_view bytes, uint32_t codepage, std::string* utf8);

// Decodes bytes in the given charset to UTF-8, never failing. Unknown
// charsets and bytes that do not decode fall back to: UTF-8 if the bytes are
// valid UTF-8, otherwise Windows-1252. Sets *exact (when given) to false if
// any fallback or replacement was needed. The result is always valid UTF-8.
std::string DecodeToUtf8(std::string_view bytes, const std::string& charset, bool* exact = nullptr);

// Valid UTF-8 from arbitrary bytes: valid sequences are kept, every other
// byte is read as Windows-1252, and NUL characters are removed.
std::string SanitizeUtf8(std::string_view bytes);

// Whether the bytes are well-formed UTF-8.
bool IsValidUtf8(std::string_view bytes);

// Windows-1252 bytes to UTF-8; the five undefined bytes map to U+0081 etc.
std::string Windows1252ToUtf8(std::string_view bytes);

}  // namespace store
