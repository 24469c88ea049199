// Base64 as mail carries it: the decoder for well-formed content, which the
// MIME import uses before it falls back to GMime's own decoder.
#pragma once

#include <string>
#include <string_view>

namespace store::mime {

// Decodes well-formed base64 (the alphabet in lines, '=' padding only at
// the end, a whole number of quads) into `out`; false, with `out` left to
// the caller to clear, for anything else. Every decoder agrees on such
// input, and GMime's own decoder, run byte by byte through its filter stream,
// was a quarter of the .pst form: it is left the content that is not
// well formed, whose reading this keeps GMime's.
bool DecodeCleanBase64(std::string_view in, std::string& out);

}  // namespace store::mime
