// Naming attachments: the file name a part carries, a name for a part that
// carries none, and the long, 8.3 and display names the model stores for it.
// Every name is one line of valid UTF-8 with no folder part and none of the
// characters Windows reserves in file names (":*?\"<>|").
//
// Names are read from the raw Content-* fields, not from GMime's parameter
// values alone: GMime decodes adjacent base64 encoded-words wrongly (see
// EncodedWords.h), so a value with encoded-words is parsed again from the
// repaired field.
#pragma once

#include <gmime/gmime.h>

#include <string>

#include "store/MapiMessage.h"

namespace store::mime::detail {

// The Content-Disposition filename, else the Content-Type name (RFC 2231 and
// RFC 2047 decoded), cleaned; "" when the part names no file.
std::string FileNameOf(GMimeObject* part);

// For a part that names no file: its Content-Description, else "attachment",
// with the extension of `mimeType` (".bin" when unknown) when it has none.
std::string UnnamedPartName(GMimePart* part, const std::string& mimeType);

// AttachLongFilename, AttachFilename (8.3: kept when it fits, else up to six
// characters + "~1" + up to three of the extension), DisplayName and
// AttachExtension (when the name has one).
void SetFileNames(PropertyBag& p, const std::string& longName);

}  // namespace store::mime::detail
