// Helpers the MIME import's files share, inside store/mime only: clean-up of
// text on its way into a property, and what kind of part a GMime object is.
// Stateless. Header values that may be long fields kept from GMime are read
// through MimeImport.cpp, never here.
#pragma once

#include <gmime/gmime.h>

#include <string>
#include <string_view>

namespace store::mime::detail {

bool EqualsNoCase(std::string_view a, std::string_view b);
std::string Lower(std::string s);
std::string Trim(std::string_view s);

// Line ends to CRLF (bare LF and bare CR alike).
std::string ToCrlf(std::string_view text);

// One-line text for a property: valid UTF-8, line breaks and control
// characters but TAB turned into spaces, surrounding blanks removed.
std::string CleanLine(std::string s);

// A raw header value unfolded and cleaned as CleanLine does ("" for null).
std::string Unfold(const char* raw);

// The first header of `object` with this name, or null.
GMimeHeader* FindHeader(GMimeObject* object, const char* name);
// Moves i past blanks, line breaks and (nested) comments (RFC 5322 CFWS).
void SkipCfws(std::string_view s, size_t& i);

// Lower-case "type/subtype"; application/octet-stream when the part has no
// type, text/plain when its Content-Type field holds no "type/subtype" (and
// IsType answers as for text/plain then).
std::string MimeType(GMimeObject* object);
// Content-Disposition says "attachment".
bool IsAttachmentDisposition(GMimeObject* object);
bool IsType(GMimeObject* object, const char* type, const char* subtype);

}  // namespace store::mime::detail
