// Encoded-word repair; see EncodedWords.h.
#include "store/mime/EncodedWords.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "store/Codepages.h"
#include "store/mime/GMimeSupport.h"
#include "store/mime/ImportCommon.h"

namespace store::mime::detail {

namespace {

struct EncodedWord {
    size_t begin = 0, end = 0;  // byte range in the text, "=?" to "?="
    std::string charset;
    char encoding = 0;  // 'B' or 'Q'
    std::string payload;
};

// The encoded-word starting at text[at], if there is one.
bool ParseEncodedWord(std::string_view text, size_t at, EncodedWord* word) {
    if (text.compare(at, 2, "=?") != 0) return false;
    size_t q1 = text.find('?', at + 2);
    if (q1 == std::string_view::npos || q1 + 3 >= text.size() || text[q1 + 2] != '?') return false;
    char enc = char(std::toupper(static_cast<unsigned char>(text[q1 + 1])));
    if (enc != 'B' && enc != 'Q') return false;
    size_t close = text.find("?=", q1 + 3);
    if (close == std::string_view::npos) return false;
    std::string_view charset = text.substr(at + 2, q1 - at - 2);
    std::string_view payload = text.substr(q1 + 3, close - q1 - 3);
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    if (charset.empty() || std::any_of(charset.begin(), charset.end(), blank) ||
        std::any_of(payload.begin(), payload.end(), blank))
        return false;
    *word = {at, close + 2, Lower(std::string(charset)), enc, std::string(payload)};
    return true;
}

// Payload bytes of one encoded-word.
std::string DecodeWordPayload(const EncodedWord& w) {
    if (w.encoding == 'B') {
        // Repair the padding first ("VEVTVA=" is "TEST" with one '=' missing).
        std::string b64;
        for (char ch : w.payload)
            if (std::isalnum(static_cast<unsigned char>(ch)) || ch == '+' || ch == '/') b64 += ch;
        if (b64.size() % 4 == 1) b64.pop_back();
        while (b64.size() % 4 != 0) b64 += '=';
        gsize len = 0;
        guchar* raw = g_base64_decode(b64.c_str(), &len);
        std::string bytes(reinterpret_cast<const char*>(raw), len);
        g_free(raw);
        return bytes;
    }
    std::string bytes;
    for (size_t i = 0; i < w.payload.size(); ++i) {
        char c = w.payload[i];
        if (c == '_') {
            bytes += ' ';
        } else if (c == '=' && i + 2 < w.payload.size() &&
                   std::isxdigit(static_cast<unsigned char>(w.payload[i + 1])) &&
                   std::isxdigit(static_cast<unsigned char>(w.payload[i + 2]))) {
            bytes += char(std::stoi(w.payload.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            bytes += c;
        }
    }
    return bytes;
}

}  // namespace

std::string NormaliseEncodedWords(std::string input) {
    if (input.find("=?") == std::string::npos) return input;
    const std::string_view text = input;
    std::string out;
    size_t pos = 0;
    while (pos < text.size()) {
        EncodedWord first;
        size_t at = text.find("=?", pos);
        if (at == std::string_view::npos || !ParseEncodedWord(text, at, &first)) {
            size_t stop = at == std::string_view::npos ? text.size() : at + 2;
            out.append(text.substr(pos, stop - pos));
            pos = stop;
            continue;
        }
        out.append(text.substr(pos, at - pos));
        std::vector<EncodedWord> run{first};
        size_t next = first.end;
        for (;;) {
            size_t k = next;
            while (k < text.size() && (text[k] == ' ' || text[k] == '\t' || text[k] == '\r' || text[k] == '\n')) ++k;
            EncodedWord w;
            if (!ParseEncodedWord(text, k, &w)) break;
            run.push_back(w);
            next = w.end;
        }
        std::string utf8;
        for (size_t i = 0; i < run.size();) {
            std::string bytes;
            size_t j = i;
            for (; j < run.size() && run[j].charset == run[i].charset; ++j) bytes += DecodeWordPayload(run[j]);
            std::string charset = run[i].charset.substr(0, run[i].charset.find('*'));  // RFC 2231 language suffix
            utf8 += DecodeToUtf8(bytes, charset);
            i = j;
        }
        if (!utf8.empty())
            out += "=?utf-8?B?" +
                   TakeGString(g_base64_encode(reinterpret_cast<const guchar*>(utf8.data()), utf8.size())) + "?=";
        pos = run.back().end;
    }
    return out;
}

}  // namespace store::mime::detail
