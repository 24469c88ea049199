// The MIME import: turns one RFC 5322 / MIME message into our MAPI message
// model (store/MapiMessage.h), which the .pst and .msg writers consume.
// GMime does the parsing; nothing outside store/mime sees GMime types.
#pragma once

#include <string>
#include <string_view>

#include "store/MapiMessage.h"

namespace store::mime {

// Reads a MIME message file (RFC 5322/MIME; it may begin with an mbox
// "From " separator line, which is not part of the message) into a MAPI
// message. Damaged input still yields a message (at worst one whose body is
// the raw text); false only when the file cannot be read, with *error set.
// `out` is replaced.
bool ImportMimeFile(const std::string& path, store::Message& out, std::string* error);

// The same for a message already in memory.
bool ImportMimeBytes(std::string_view bytes, store::Message& out, std::string* error);

}  // namespace store::mime
