// text/enriched (RFC 1896) as the body: an HTML body and a plain-text one
// beside it (MS-OXCMAIL 2.2.3.3.2), made from the decoded UTF-8 text.
#pragma once

#include <string>
#include <string_view>

namespace store::mime::detail {

struct EnrichedBodies {
    std::string plain;  // the text with its markup removed, CRLF line ends
    std::string html;   // a whole UTF-8 HTML document
};

EnrichedBodies ConvertEnriched(std::string_view text);

}  // namespace store::mime::detail
