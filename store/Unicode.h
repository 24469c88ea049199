// UTF-8 and UTF-16 helpers shared by the MIME import and the store writers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace store {

// Decodes the code point at s[i] and moves i past it. The first byte of a
// malformed or cut-off sequence is read as Windows-1252 (stray 8-bit bytes in
// mail are nearly always Western text) and i moves one byte on.
uint32_t NextCodePoint(std::string_view s, size_t& i);

// The code point of one Windows-1252 byte; the five undefined bytes map to
// U+0081, U+008D, U+008F, U+0090 and U+009D.
uint32_t Windows1252CodePoint(uint8_t byte);

// Appends the UTF-8 form of one code point.
void AppendUtf8(std::string& out, uint32_t codePoint);

// The end of the run of ASCII bytes (below 0x80) that starts at s[from]:
// the text's bulk, which every conversion copies or widens as a run.
size_t AsciiRunEnd(std::string_view s, size_t from);

// UTF-8 to UTF-16LE bytes. Malformed sequences are read as NextCodePoint
// reads them, so the result is always well formed.
std::string Utf8ToUtf16le(std::string_view utf8);
// The same, appended to `out`.
void AppendUtf16le(std::string& out, std::string_view utf8);

// The length in bytes of Utf8ToUtf16le(utf8), without making it.
size_t Utf16leSize(std::string_view utf8);

}  // namespace store
