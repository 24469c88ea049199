// text/enriched to HTML and plain text; see EnrichedText.h.
#include "store/mime/EnrichedText.h"

#include <algorithm>
#include <cctype>
#include <utility>

namespace store::mime::detail {

namespace {

// The formatting commands with an HTML form; the rest (and <param>'s
// content, which only they read) are dropped, their text kept.
struct Command {
    std::string_view name;
    std::string_view open, close;
};
constexpr Command kCommands[] = {
    {"bold", "<b>", "</b>"},
    {"italic", "<i>", "</i>"},
    {"underline", "<u>", "</u>"},
    {"fixed", "<tt>", "</tt>"},
    {"smaller", "<small>", "</small>"},
    {"bigger", "<big>", "</big>"},
    {"center", "<div align=\"center\">", "</div>"},
    {"flushleft", "<div align=\"left\">", "</div>"},
    {"flushright", "<div align=\"right\">", "</div>"},
    {"flushboth", "<div align=\"justify\">", "</div>"},
    {"excerpt", "<blockquote>", "</blockquote>"},
    {"nofill", "<pre>", "</pre>"},
};

std::string LowerAscii(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = char(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

}  // namespace

EnrichedBodies ConvertEnriched(std::string_view text) {
    EnrichedBodies out;
    std::string& html = out.html;
    std::string& plain = out.plain;
    html = "<html><head><meta charset=\"utf-8\"></head><body>";
    int nofill = 0, param = 0;
    for (size_t i = 0; i < text.size();) {
        char c = text[i];
        if (c == '<' && i + 1 < text.size() && text[i + 1] == '<') {  // "<<" is a literal '<'
            if (!param) {
                html += "&lt;";
                plain += '<';
            }
            i += 2;
            continue;
        }
        if (c == '<') {
            size_t close = text.find('>', i);
            if (close == std::string_view::npos) close = text.size();
            std::string_view token = text.substr(i + 1, close - i - 1);
            i = std::min(text.size(), close + 1);
            bool ending = !token.empty() && token[0] == '/';
            std::string name = LowerAscii(ending ? token.substr(1) : token);
            if (name == "param") {
                param = std::max(0, param + (ending ? -1 : 1));
                continue;
            }
            if (name == "nofill") nofill = std::max(0, nofill + (ending ? -1 : 1));
            for (const Command& command : kCommands)
                if (command.name == name) html += ending ? command.close : command.open;
            continue;
        }
        if (c == '\r' || c == '\n') {
            // A run of n line breaks stands for n-1 of them, a lone one for a
            // blank; in <nofill> each one is a line break.
            size_t breaks = 0;
            while (i < text.size() && (text[i] == '\r' || text[i] == '\n')) {
                if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
                ++i;
                ++breaks;
            }
            if (param) continue;
            size_t shown = nofill ? breaks : breaks - 1;
            if (shown == 0) {
                html += ' ';
                plain += ' ';
            }
            for (size_t k = 0; k < shown; ++k) {
                html += nofill ? "\n" : "<br>\n";
                plain += "\r\n";
            }
            continue;
        }
        ++i;
        if (param) continue;
        plain += c;
        if (c == '&')
            html += "&amp;";
        else if (c == '>')
            html += "&gt;";
        else
            html += c;
    }
    while (!plain.empty() && (plain.back() == ' ' || plain.back() == '\r' || plain.back() == '\n')) plain.pop_back();
    html += "</body></html>";
    return out;
}

}  // namespace store::mime::detail
