// Repair of RFC 2047 encoded-words before GMime decodes a header value: every
// run of adjacent encoded-words is decoded here, with our own charset
// handling (store/Codepages.h), and put back as one UTF-8 base64 word.
//
// Rather than leaving the words to GMime's decoder, which on its own joins the
// base64 text of adjacent words before decoding them, so padding in the first
// word ("...pQ==?= =?utf-8?B?5pys...") cuts off the rest; it also misreads raw
// 8-bit bytes inside Q words and knows fewer charset aliases.
// Invariants:
//  1. Adjacent words in one charset are decoded together, so a character
//     split between two words survives.
//  2. Base64 padding is repaired per word ("VEVTVA=" is "TEST" with one '='
//     missing); text outside encoded-words is copied unchanged.
//  3. A run that decodes to nothing disappears; everything else becomes one
//     "=?utf-8?B?...?=" word that GMime decodes to the same UTF-8.
#pragma once

#include <string>

namespace store::mime::detail {

// The value with its encoded-words rewritten as above (returned as it is
// when it holds none).
std::string NormaliseEncodedWords(std::string input);

}  // namespace store::mime::detail
