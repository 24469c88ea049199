// The MIME import: GMime parses the message, this file maps headers, bodies,
// recipients and attachments onto the MAPI message model (MS-OXCMAIL 2.2).
// It never rejects a message: whatever GMime cannot make sense of ends up as
// raw text in the body, and every string put into the model is valid UTF-8.
// Here: preparing the input, header fields too long to give GMime, and the
// walk from message to properties, recipients and attachment rows. Beside
// it: EncodedWords (RFC 2047 repair), BodyChoice (which parts are the body),
// AttachmentNames (file names), ImportCommon (helpers they share).
#include "store/mime/MimeImport.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string_view>
#include <vector>

#include "common/MappedFile.h"
#include "common/Platform.h"
#include "common/sourceFile.h"
#include "store/Codepages.h"
#include "store/MapiAddress.h"
#include "store/MapiIds.h"
#include "store/mime/AttachmentNames.h"
#include "store/mime/Base64.h"
#include "store/mime/BodyChoice.h"
#include "store/mime/EncodedWords.h"
#include "store/mime/EnrichedText.h"
#include "store/mime/GMimeSupport.h"
#include "store/mime/ImportCommon.h"

namespace store::mime {

namespace {

using namespace detail;

// How deep attached messages nest as embedded messages. Each level is a
// whole message in the model, which the .pst and .msg writers (and the
// readers of their files) descend into in turn; a deeper message/rfc822 part
// stays a plain .eml attachment, nothing lost. Not the walk's limit on
// multipart nesting (BodyChoice.cpp), which restarts in every attached message.
constexpr int kMaxEmbeddingDepth = 32;
constexpr uint64_t kUnixEpochAsFiletime = 116444736000000000ULL;

// ---------------------------------------------------------------------------
// Preparing the input bytes

bool LooksLikeHeaderLine(std::string_view line) {
    size_t colon = line.find(':');
    if (colon == 0 || colon == std::string_view::npos) return false;
    for (size_t i = 0; i < colon; ++i) {
        auto c = static_cast<unsigned char>(line[i]);
        if (c <= 0x20 || c >= 0x7F) {
            // "Name : value" (blanks before the colon) is obsolete but seen.
            return std::all_of(line.begin() + long(i), line.begin() + long(colon),
                               [](char x) { return x == ' ' || x == '\t'; });
        }
    }
    return true;
}

// Without a UTF-8 byte-order mark and the mbox "From " separator line.
std::string_view SkipSeparator(std::string_view in) {
    if (in.size() >= 3 && std::memcmp(in.data(), "\xEF\xBB\xBF", 3) == 0) in.remove_prefix(3);
    if (in.size() >= 5 && in.substr(0, 5) == "From ") {
        size_t eol = in.find_first_of("\r\n");
        if (eol == std::string_view::npos) {
            in = {};
        } else {
            if (in[eol] == '\r' && eol + 1 < in.size() && in[eol + 1] == '\n') ++eol;
            in.remove_prefix(eol + 1);
        }
    }
    return in;
}

// Apple Mail .emlx: a first line holding the message's length in bytes. The
// message alone, when `in` starts with such a line before a header.
std::string_view SkipEmlxLength(std::string_view in) {
    if (size_t eol = in.find('\n'); eol != std::string_view::npos && eol > 0 && eol < 12) {
        std::string_view first = in.substr(0, eol);
        if (first.back() == '\r') first.remove_suffix(1);
        std::string_view second = in.substr(eol + 1, in.find_first_of("\r\n", eol + 1) - eol - 1);
        bool digits = !first.empty() && std::all_of(first.begin(), first.end(),
                                                    [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
        if (digits && LooksLikeHeaderLine(second)) {
            size_t length = std::stoul(std::string(first));
            in.remove_prefix(eol + 1);
            if (length < in.size()) in = in.substr(0, length);
        }
    }
    return in;
}

// Without the blank lines (some with stray spaces) before the first header.
std::string_view SkipLeadingBlankLines(std::string_view in) {
    while (!in.empty()) {
        size_t eol = in.find('\n');
        std::string_view line = in.substr(0, eol == std::string_view::npos ? in.size() : eol);
        if (!std::all_of(line.begin(), line.end(), [](char c) { return c == ' ' || c == '\t' || c == '\r'; }) ||
            eol == std::string_view::npos)
            break;
        in.remove_prefix(eol + 1);
    }
    return in;
}

// The line starting at `pos` without its line end, and where the next starts.
std::string_view LineAt(std::string_view in, size_t pos, size_t& next) {
    size_t eol = in.find('\n', pos);
    next = eol == std::string_view::npos ? in.size() : eol + 1;
    std::string_view line = in.substr(pos, next - pos);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    return line;
}

bool IsBlankLine(std::string_view line) {
    return std::all_of(line.begin(), line.end(), [](char c) { return c == ' ' || c == '\t'; });
}

// The boundary parameters named anywhere in the message, with "--" before.
std::vector<std::string> Delimiters(std::string_view in) {
    std::vector<std::string> out;
    constexpr std::string_view kName = "boundary=";
    // Found by its '=' (memchr) and the name checked before it: a search
    // comparing every byte of the message without case was a tenth of the
    // .pst form's work. The name holds no '=', so matches never overlap.
    constexpr size_t kStem = kName.size() - 1;
    auto isName = [&](size_t at) {
        for (size_t k = 0; k < kStem; ++k)
            if ((static_cast<unsigned char>(in[at + k]) | 0x20) != static_cast<unsigned char>(kName[k])) return false;
        return true;
    };
    for (size_t eq = kStem; eq < in.size(); ++eq) {
        const void* hit = std::memchr(in.data() + eq, '=', in.size() - eq);
        if (!hit) break;
        eq = size_t(static_cast<const char*>(hit) - in.data());
        if (eq < kStem || !isName(eq - kStem)) continue;
        size_t v = eq + 1;
        std::string value;
        if (v < in.size() && in[v] == '"') {
            size_t close = in.find_first_of("\"\r\n", v + 1);
            if (close != std::string_view::npos && in[close] == '"') value = in.substr(v + 1, close - v - 1);
        } else {
            size_t e = in.find_first_of(" \t\r\n;", v);
            value = in.substr(v, (e == std::string_view::npos ? in.size() : e) - v);
        }
        if (!value.empty() && std::find(out.begin(), out.end(), "--" + value) == out.end()) out.push_back("--" + value);
    }
    return out;
}

// A line that plainly starts a header field: a name of letters, digits and
// '-' before the colon, and no URL ("http://...") in a body line.
bool StartsField(std::string_view line) {
    size_t colon = line.find(':');
    if (colon == 0 || colon == std::string_view::npos || line.substr(colon + 1).starts_with("//")) return false;
    return std::all_of(line.begin(), line.begin() + long(colon),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-'; });
}

// Where a header block starting at `pos` lacks the empty line that should
// close it: at its first line that is neither a header field nor a
// continuation line, or at a line of blanks, which GMime would take for a
// continuation. Odd lines (a signature or a Received field whose folds lost
// their indent, a blank line inside a folded field) are read over, as GMime
// reads over them, when the header block goes on after them: a field, or a
// continuation after a blank line, follows before any empty line. Adds
// (offset, length of the blank line to drop) to `cuts`. A message's text
// that starts with no header field at all has no header block (`part`
// false); a part's does, an empty one.
void FindUnclosedHeader(std::string_view in, size_t pos, bool part, std::vector<std::pair<size_t, size_t>>& cuts) {
    bool any = false;
    while (pos < in.size()) {
        size_t next;
        std::string_view line = LineAt(in, pos, next);
        if (line.empty()) return;  // closed as it should be
        bool blank = IsBlankLine(line);
        bool continuation = !blank && (line[0] == ' ' || line[0] == '\t');
        if (!blank && (continuation ? any : LooksLikeHeaderLine(line))) {
            any = true;
            pos = next;
            continue;
        }
        if (any) {
            // Does the header go on after this run of odd lines?
            size_t at = next, after;
            bool goesOn = false;
            while (at < in.size()) {
                std::string_view following = LineAt(in, at, after);
                if (following.empty() || following.starts_with("--")) break;  // nor past a delimiter
                bool followingBlank = IsBlankLine(following);
                if (!followingBlank &&
                    (StartsField(following) || (blank && (following[0] == ' ' || following[0] == '\t')))) {
                    goesOn = true;
                    break;
                }
                if (blank && !followingBlank) break;
                at = after;
            }
            if (goesOn) {
                pos = at;
                continue;
            }
        }
        if (any || part) cuts.emplace_back(pos, blank ? line.size() : 0);
        return;
    }
}

// Whether a line is one of the message's delimiter lines ("--" and a
// boundary; blanks after it allowed).
bool IsDelimiter(const std::vector<std::string>& delimiters, std::string_view line) {
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
    return std::find(delimiters.begin(), delimiters.end(), line) != delimiters.end();
}

// The message with an empty line closing each header block that has none
// (the message's, and each part's after a delimiter line), so that GMime
// does not read the first lines of a body as header lines and lose them.
// Empty when every block is closed.
std::string CloseHeaderBlocks(std::string_view in) {
    std::vector<std::pair<size_t, size_t>> cuts;
    FindUnclosedHeader(in, 0, false, cuts);
    std::vector<std::string> delimiters = Delimiters(in);
    if (!delimiters.empty()) {
        for (size_t pos = 0, next; pos < in.size(); pos = next) {
            std::string_view line = LineAt(in, pos, next);
            if (line.size() < 3 || line[0] != '-' || line[1] != '-') continue;
            if (!IsDelimiter(delimiters, line)) continue;
            // A delimiter right after another leaves an empty part between
            // them, which GMime passes over: there is no header to close.
            size_t after;
            if (!IsDelimiter(delimiters, LineAt(in, next, after))) FindUnclosedHeader(in, next, true, cuts);
        }
    }
    if (cuts.empty()) return {};
    // An odd line read over may be a delimiter: then one place is found twice.
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end(), [](auto& a, auto& b) { return a.first == b.first; }), cuts.end());
    std::string out;
    out.reserve(in.size() + cuts.size());
    size_t copied = 0;
    for (auto [at, drop] : cuts) {
        out.append(in.substr(copied, at - copied));
        if (!drop) out += '\n';
        copied = at + drop;
    }
    out.append(in.substr(copied));
    return out;
}

// Removes what comes before the message (SkipSeparator, SkipEmlxLength,
// SkipLeadingBlankLines), turns a classic-Mac (CR-only) message into LF
// lines, which GMime reads, and closes header blocks (CloseHeaderBlocks).
// The result is a view into `in`, or into `converted` when bytes had to
// change: only then is the message copied.
std::string_view PrepareInput(std::string_view in, std::string& converted) {
    in = SkipLeadingBlankLines(SkipEmlxLength(SkipSeparator(in)));
    // Classic-Mac line ends: more bare CRs than LFs means CR is the line end.
    // Bare CRs found with memchr; the LFs are counted only when there are
    // any, which is seldom (a count of every message's LFs was a tenth of
    // the .pst form).
    size_t bareCr = 0;
    // p != end first: an empty view may have no data at all, and memchr must
    // not be given a null pointer even for no bytes.
    for (const char *p = in.data(), *end = p + in.size();
         p != end && (p = static_cast<const char*>(std::memchr(p, '\r', size_t(end - p)))) != nullptr; ++p)
        if (p + 1 == end || p[1] != '\n') ++bareCr;
    if (bareCr > 0 && bareCr > size_t(std::count(in.begin(), in.end(), '\n'))) {
        converted.assign(in);
        for (size_t i = 0; i < converted.size(); ++i)
            if (converted[i] == '\r' && (i + 1 == converted.size() || converted[i + 1] != '\n')) converted[i] = '\n';
        in = converted;
    }
    if (std::string closed = CloseHeaderBlocks(in); !closed.empty()) {
        converted = std::move(closed);
        in = converted;
    }
    return in;
}

// Where the top-level header block ends (0 when there is none): after the
// last line before the first blank line or the first line that is not a
// header field.
size_t HeaderBlockEnd(std::string_view bytes) {
    size_t pos = 0, end = 0;
    bool any = false;
    while (pos < bytes.size()) {
        size_t eol = bytes.find('\n', pos);
        size_t next = eol == std::string_view::npos ? bytes.size() : eol + 1;
        std::string_view line = bytes.substr(pos, next - pos);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
        if (line.empty()) break;
        bool continuation = line[0] == ' ' || line[0] == '\t';
        if (continuation ? !any : !LooksLikeHeaderLine(line)) break;
        any = true;
        pos = next;
        end = next;
    }
    return end;
}

// The header block `head` (HeaderBlockEnd's bytes) with CRLF line ends, valid
// UTF-8 and one final CRLF; "" when there is none. When `map` is set, `head`
// lies in it and is read a piece at a time, the mapped pages let go behind
// each piece, so that a block of megabytes is not resident beside its copy.
std::string RawHeaderBlock(std::string_view head, MappedFile* map) {
    if (head.empty()) return {};
    std::string block;
    if (!map) {
        block = ToCrlf(head);
    } else {
        // Reading a page maps its neighbours too, those behind it as well
        // (fault-around): what is let go reaches back a window before the
        // range just read, or those pages stayed resident (5 MB of a header
        // block of 10 MB).
        constexpr size_t kBehind = 2 << 20;
        auto letGo = [&](size_t from, size_t to) {
            from = from > kBehind ? from - kBehind : 0;
            map->dropResidentPages(head.substr(from, to - from));
        };
        constexpr size_t kPiece = 1 << 20;
        size_t breaks = 0;
        for (size_t at = 0; at < head.size(); at += kPiece) {
            std::string_view piece = head.substr(at, kPiece);
            breaks +=
                size_t(std::count(piece.begin(), piece.end(), '\n') + std::count(piece.begin(), piece.end(), '\r'));
            letGo(at, at + piece.size());
        }
        block.reserve(head.size() + breaks + 2);
        // Converted in smaller pieces: a megabyte's copy was a tenth of a
        // header block of 9 MB beside the block at the import's peak.
        constexpr size_t kConverted = 64 * 1024;
        for (size_t at = 0; at < head.size();) {
            // Pieces end after a line feed, where ToCrlf keeps no state.
            size_t cut = head.find('\n', std::min(head.size(), at + kConverted));
            cut = cut == std::string_view::npos ? head.size() : cut + 1;
            block += ToCrlf(head.substr(at, cut - at));
            letGo(at, cut);
            at = cut;
        }
    }
    if (!IsValidUtf8(block) || block.find('\0') != std::string::npos) block = SanitizeUtf8(block);  // drops NULs too
    if (block.size() < 2 || block.compare(block.size() - 2, 2, "\r\n") != 0) block += "\r\n";
    return block;
}

// The top-level header block of a message, as RawHeaderBlock(head, nullptr).
std::string RawHeaderBlock(std::string_view bytes) {
    size_t end = HeaderBlockEnd(bytes);
    if (end == 0) return {};
    return RawHeaderBlock(bytes.substr(0, end), nullptr);
}

// ---------------------------------------------------------------------------
// Header access

// Header fields longer than this are kept from GMime, which on parsing
// decodes a Subject and takes address fields apart at several times their
// size (a 20 MB Subject cost 230 MB of GMime's memory). GMime sees an empty
// placeholder; the raw value is read here, and long values are decoded and
// parsed in pieces of about this size.
constexpr size_t kLongFieldBytes = 64 * 1024;

struct LongFields {
    GMimeObject* owner = nullptr;     // the top-level message, once parsed
    std::string marker;               // placeholder value, followed by the index
    std::vector<std::string> values;  // raw values of the fields kept from GMime
};
thread_local LongFields* tlsLongFields = nullptr;

// The header block with every long field but the structural ones (Content-*,
// MIME-Version, Date) replaced by a placeholder, then the rest of the
// message; "" when no field is long.
std::string HideLongFields(std::string_view bytes, LongFields& fields) {
    size_t end = HeaderBlockEnd(bytes);
    std::string out;
    size_t pos = 0, copied = 0;
    while (pos < end) {
        size_t fieldEnd = pos;  // the field and its continuation lines
        do {
            size_t eol = bytes.find('\n', fieldEnd);
            fieldEnd = eol == std::string_view::npos || eol >= end ? end : eol + 1;
        } while (fieldEnd < end && (bytes[fieldEnd] == ' ' || bytes[fieldEnd] == '\t'));
        std::string_view field = bytes.substr(pos, fieldEnd - pos);
        size_t colon = field.find(':');
        std::string_view name = colon == std::string_view::npos ? field : field.substr(0, colon);
        bool structural = (name.size() >= 8 && EqualsNoCase(name.substr(0, 8), "Content-")) ||
                          EqualsNoCase(Trim(name), "MIME-Version") || EqualsNoCase(Trim(name), "Date");
        if (field.size() > kLongFieldBytes && colon != std::string_view::npos && !structural) {
            if (fields.marker.empty()) {
                char token[48];
                std::snprintf(token, sizeof token, "\x7Fvellary-long-field-%p-", static_cast<const void*>(&fields));
                fields.marker = token;
            }
            out.append(bytes.substr(copied, pos - copied));
            out.append(name)
                .append(": ")
                .append(fields.marker)
                .append(std::to_string(fields.values.size()))
                .append("\n");
            fields.values.emplace_back(field.substr(colon + 1));
            copied = fieldEnd;
        }
        pos = fieldEnd;
    }
    if (fields.values.empty()) return {};
    out.append(bytes.substr(copied));
    return out;
}

// The raw value of a header, or of the long field its placeholder stands for.
const char* RawValueOf(GMimeObject* object, GMimeHeader* header) {
    const char* raw = g_mime_header_get_raw_value(header);
    const LongFields* fields = tlsLongFields;  // values dropped by DropLongFields read as their placeholder
    if (!raw || !fields || object != fields->owner) return raw;
    std::string_view value = raw;
    size_t at = value.find(fields->marker);
    if (at == std::string_view::npos) return raw;
    size_t index = std::strtoul(raw + at + fields->marker.size(), nullptr, 10);
    return index < fields->values.size() ? fields->values[index].c_str() : raw;
}

// Frees the long value `header` of `object` stands for, read for the last time.
void ReleaseLongValue(GMimeObject* object, GMimeHeader* header) {
    LongFields* fields = tlsLongFields;
    const char* raw = g_mime_header_get_raw_value(header);
    if (!raw || !fields || object != fields->owner) return;
    const char* at = std::strstr(raw, fields->marker.c_str());
    if (!at) return;
    size_t index = std::strtoul(at + fields->marker.size(), nullptr, 10);
    if (index < fields->values.size()) std::string().swap(fields->values[index]);
}

// Frees the long values of `object` once its header fields have all been read.
void DropLongFields(GMimeObject* object) {
    if (tlsLongFields && tlsLongFields->owner == object) std::vector<std::string>().swap(tlsLongFields->values);
}

// g_mime_utils_header_decode_text, in pieces for a long text: GMime's decoder
// holds a few dozen bytes per word. Pieces end inside a run of blanks that
// does not separate two encoded-words, where the decoder keeps the blanks as
// they are, so the pieces decode to the whole.
std::string DecodeHeaderText(const std::string& text) {
    auto decode = [](const char* piece) {
        return TakeGString(g_mime_utils_header_decode_text(LenientParserOptions(), piece));
    };
    if (text.size() <= kLongFieldBytes) return decode(text.c_str());
    std::string out;
    out.reserve(text.size());  // decoding seldom lengthens text
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.size();
        for (size_t blank = text.find_first_of(" \t", start + kLongFieldBytes); blank != std::string::npos;) {
            size_t next = text.find_first_not_of(" \t", blank);
            if (next == std::string::npos) break;
            bool encodedBefore = blank >= 2 && text.compare(blank - 2, 2, "?=") == 0;
            bool encodedAfter = text.compare(next, 2, "=?") == 0;
            if (!encodedBefore || !encodedAfter) {
                end = next;
                break;
            }
            blank = text.find_first_of(" \t", next);
        }
        out += decode(text.substr(start, end - start).c_str());
        start = end;
    }
    return out;
}

// Unfolded raw value of the first header with this name ("" when absent).
std::string RawHeader(GMimeObject* object, const char* name) {
    GMimeHeader* header = FindHeader(object, name);
    return header ? Unfold(RawValueOf(object, header)) : std::string();
}

// Value with RFC 2047 encoded-words decoded.
std::string DecodedHeader(GMimeObject* object, const char* name) {
    GMimeHeader* header = FindHeader(object, name);
    if (!header) return {};
    const char* raw = RawValueOf(object, header);
    if (!raw) return {};
    std::string unfolded = NormaliseEncodedWords(TakeGString(g_mime_utils_header_unfold(raw)));
    return CleanLine(DecodeHeaderText(unfolded));
}

// A date-time as GMime reads it: comments removed, and with them the
// folding white space that may stand inside the time ("09(x):   55 : 06"),
// and zone names in upper case (they are case-insensitive: "cst" is CST).
std::string NormalizedDate(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        const size_t from = i;
        SkipCfws(text, i);
        if (i > from) {
            if (!out.empty() && out.back() != ' ' && out.back() != ':') out += ' ';
            continue;
        }
        const char c = text[i++];
        if (c == ':' && !out.empty() && out.back() == ' ') out.pop_back();
        out += c;
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    size_t zone = out.rfind(' ') + 1;  // npos + 1 is 0
    if (zone < out.size() && std::all_of(out.begin() + long(zone), out.end(),
                                         [](char c) { return std::isalpha(static_cast<unsigned char>(c)); }))
        for (size_t i = zone; i < out.size(); ++i) out[i] = char(std::toupper(static_cast<unsigned char>(out[i])));
    return out;
}

uint64_t ToFiletime(GDateTime* date) {
    if (!date) return 0;
    gint64 unixSeconds = g_date_time_to_unix(date);
    if (unixSeconds <= -11644473600LL) return 0;  // before 1601: no FILETIME
    return uint64_t(int64_t(kUnixEpochAsFiletime) + unixSeconds * 10000000LL);
}

// The time a Date-like text stands for, or 0.
uint64_t DecodeDate(std::string_view text) {
    std::string normalized = NormalizedDate(text);
    GDateTime* date = g_mime_utils_header_decode_date(normalized.c_str());
    uint64_t ft = ToFiletime(date);
    if (date) g_date_time_unref(date);
    return ft;
}

// Date of the topmost Received field (the text after its last ';'), or 0.
uint64_t ReceivedTime(GMimeObject* object) {
    std::string received = RawHeader(object, "Received");
    size_t semicolon = received.rfind(';');
    if (semicolon == std::string::npos) return 0;
    return DecodeDate(std::string_view(received).substr(semicolon + 1));
}

// ---------------------------------------------------------------------------
// Subject, importance, originators, recipients

void SetSubject(Message& out, GMimeMessage* message) {
    GMimeObject* object = GMIME_OBJECT(message);
    if (!FindHeader(object, "Subject")) return;
    std::string subject = DecodedHeader(object, "Subject");

    // A prefix is one to three characters other than ':', blank or digit,
    // then ':' and any blanks ("Re: ", "AW:", "Fwd:  ").
    std::string prefix;
    size_t rest = 0;  // where the normalized subject starts
    size_t i = 0, chars = 0;
    while (i < subject.size() && chars < 4) {
        char c = subject[i];
        if (c == ':' || c == ' ' || std::isdigit(static_cast<unsigned char>(c))) break;
        size_t len = 1;
        while (i + len < subject.size() && (static_cast<unsigned char>(subject[i + len]) & 0xC0) == 0x80) ++len;
        i += len;
        ++chars;
    }
    if (chars >= 1 && chars <= 3 && i < subject.size() && subject[i] == ':') {
        prefix = subject.substr(0, i) + ": ";
        rest = i + 1;
        while (rest < subject.size() && subject[rest] == ' ') ++rest;
    }
    if (subject.size() > kLongFieldBytes) {
        // A long subject is held once: the subject, its normalized form and
        // the topic made from it share one text. Held apart, a 50 MB subject
        // cost three times its size beside the header block.
        auto text = std::make_shared<const std::string>(std::move(subject));
        out.props.set(Property::SharedText(pid::Subject, text, 0));
        if (!prefix.empty()) out.props.setString(ids::SubjectPrefix, prefix);
        out.props.set(Property::SharedText(ids::NormalizedSubject, std::move(text), rest));
        return;
    }
    out.props.setString(pid::Subject, subject);
    if (!prefix.empty()) out.props.setString(ids::SubjectPrefix, prefix);
    subject.erase(0, rest);
    out.props.setString(ids::NormalizedSubject, std::move(subject));
}

void SetImportance(Message& out, GMimeObject* object) {
    uint32_t importance = 1, priority = 0, sensitivity = 0;
    std::string value = Lower(RawHeader(object, "Importance"));
    std::string prio = Lower(RawHeader(object, "Priority"));
    if (!value.empty()) {
        if (value.starts_with("low"))
            importance = 0;
        else if (value.starts_with("high"))
            importance = 2;
    } else if (!prio.empty()) {
        if (prio.starts_with("non-urgent"))
            importance = 0;
        else if (prio.starts_with("urgent"))
            importance = 2;
    } else if (std::string x = RawHeader(object, "X-Priority"); !x.empty()) {
        char digit = x[0];
        if (digit == '1' || digit == '2')
            importance = 2;
        else if (digit == '4' || digit == '5')
            importance = 0;
    } else if (std::string ms = Lower(RawHeader(object, "X-MSMail-Priority")); !ms.empty()) {
        if (ms.starts_with("low"))
            importance = 0;
        else if (ms.starts_with("high"))
            importance = 2;
    }
    if (prio.starts_with("non-urgent"))
        priority = 0xFFFFFFFFu;
    else if (prio.starts_with("urgent"))
        priority = 1;

    std::string sens = Lower(RawHeader(object, "Sensitivity"));
    if (sens == "personal")
        sensitivity = 1;
    else if (sens == "private")
        sensitivity = 2;
    else if (sens == "company-confidential" || sens == "confidential")
        sensitivity = 3;

    out.props.setLong(pid::Importance, importance);
    out.props.setLong(pid::Priority, priority);
    out.props.setLong(ids::Sensitivity, sensitivity);
}

struct Mailbox {
    std::string name;     // decoded display name (the address when there is none)
    std::string address;  // addr-spec
};

// Mailboxes of an address list, groups flattened into their members.
void Flatten(InternetAddressList* list, std::vector<Mailbox>& out, int depth = 0) {
    if (!list || depth > 8) return;
    for (int i = 0, n = internet_address_list_length(list); i < n; ++i) {
        InternetAddress* address = internet_address_list_get_address(list, i);
        if (INTERNET_ADDRESS_IS_GROUP(address)) {
            Flatten(internet_address_group_get_members(INTERNET_ADDRESS_GROUP(address)), out, depth + 1);
        } else if (INTERNET_ADDRESS_IS_MAILBOX(address)) {
            const char* addr = internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(address));
            const char* name = internet_address_get_name(address);
            Mailbox m{CleanLine(name ? name : ""), CleanLine(addr ? addr : "")};
            if (m.name.size() >= 2 && m.name.front() == '\'' && m.name.back() == '\'')
                m.name = Trim(std::string_view(m.name).substr(1, m.name.size() - 2));
            if (m.name.empty()) m.name = m.address;
            if (m.name.find("=?") != std::string::npos)  // words GMime left undecoded
                m.name =
                    CleanLine(TakeGString(g_mime_utils_header_decode_text(LenientParserOptions(), m.name.c_str())));
            if (!m.name.empty()) out.push_back(std::move(m));
        }
    }
}

// Whether a parsed list holds a group. An empty group ("unlisted:; (none)")
// names no recipient, and is no display name to keep either.
bool HoldsGroup(InternetAddressList* list) {
    for (int i = 0, n = list ? internet_address_list_length(list) : 0; i < n; ++i)
        if (INTERNET_ADDRESS_IS_GROUP(internet_address_list_get_address(list, i))) return true;
    return false;
}

// An address list cut at top-level commas (outside quotes, comments, angle
// brackets and groups) into pieces of about kLongFieldBytes, which GMime
// parses to the same mailboxes one by one with memory for one piece.
std::vector<std::string_view> AddressPieces(std::string_view list) {
    std::vector<std::string_view> pieces;
    size_t start = 0;
    int comment = 0;
    bool quoted = false, angle = false, group = false;
    for (size_t i = 0; i < list.size(); ++i) {
        char ch = list[i];
        if (quoted || comment) {
            if (ch == '\\')
                ++i;
            else if (quoted && ch == '"')
                quoted = false;
            else if (comment && ch == '(')
                ++comment;
            else if (comment && ch == ')')
                --comment;
            continue;
        }
        if (ch == '"')
            quoted = true;
        else if (ch == '(')
            comment = 1;
        else if (ch == '<')
            angle = true;
        else if (ch == '>')
            angle = false;
        else if (ch == ':' && !angle)
            group = true;
        else if (ch == ';' && !angle)
            group = false;
        else if (ch == ',' && !angle && !group && i - start >= kLongFieldBytes) {
            pieces.push_back(list.substr(start, i - start));
            start = i + 1;
        }
    }
    pieces.push_back(list.substr(start));
    return pieces;
}

// Calls f on the mailboxes of every header with this name, a piece of the
// field at a time (a To: of 100,000 addresses is never held as mailboxes at
// once); a header GMime finds no address in is kept as a display name alone.
// With `lastRead`, a long field's raw value is freed once it is unfolded.
void ForEachMailbox(GMimeObject* object, const char* name, const std::function<void(Mailbox&)>& f,
                    bool lastRead = false) {
    GMimeHeaderList* list = g_mime_object_get_header_list(object);
    std::vector<Mailbox> boxes;
    for (int i = 0, n = list ? g_mime_header_list_get_count(list) : 0; i < n; ++i) {
        GMimeHeader* header = g_mime_header_list_get_header_at(list, i);
        const char* headerName = g_mime_header_get_name(header);
        if (!headerName || !EqualsNoCase(headerName, name)) continue;
        const char* raw = RawValueOf(object, header);
        if (!raw) continue;
        // The unfolded text is used where GMime made it unless encoded-words
        // have to be rewritten: copied, a long field was held twice more.
        GCharPtr unfolded(g_mime_utils_header_unfold(raw));
        if (lastRead) ReleaseLongValue(object, header);
        std::string normalised;
        std::string_view value = unfolded ? unfolded.get() : "";
        if (value.find("=?") != std::string_view::npos) {
            normalised = std::string(value);
            unfolded.reset();
            normalised = NormaliseEncodedWords(std::move(normalised));
            value = normalised;
        }
        size_t found = 0;
        for (std::string_view piece : AddressPieces(value)) {
            GObjectPtr<InternetAddressList> parsed(
                internet_address_list_parse(LenientParserOptions(), std::string(piece).c_str()));
            boxes.clear();
            Flatten(parsed.get(), boxes);
            found += boxes.size() + (HoldsGroup(parsed.get()) ? 1 : 0);
            for (Mailbox& m : boxes) f(m);
        }
        if (found == 0) {
            std::string text = CleanLine(DecodeHeaderText(std::string(value)));
            // "undisclosed-recipients:;" (or without the ';'): a group with no member.
            size_t colon = text.find(':');
            bool onlyGroupSyntax =
                colon != std::string::npos && text.find_first_not_of(" \t;", colon + 1) == std::string::npos;
            if (!text.empty() && !onlyGroupSyntax) {
                Mailbox m{std::move(text), {}};
                f(m);
            }
        }
    }
}

std::vector<Mailbox> MailboxesOf(GMimeObject* object, const char* name) {
    std::vector<Mailbox> boxes;
    ForEachMailbox(object, name, [&](Mailbox& m) { boxes.push_back(std::move(m)); });
    return boxes;
}

void SetOriginator(PropertyBag& props, const Mailbox& m, bool sender) {
    props.setString(sender ? ids::SenderName : ids::SentRepresentingName, m.name);
    if (m.address.empty()) return;
    props.setString(sender ? ids::SenderAddressType : ids::SentRepresentingAddressType, "SMTP");
    props.setString(sender ? ids::SenderEmailAddress : ids::SentRepresentingEmailAddress, m.address);
    props.setString(sender ? ids::SenderSmtpAddress : ids::SentRepresentingSmtpAddress, m.address);
    props.setBinary(sender ? ids::SenderEntryId : ids::SentRepresentingEntryId, OneOffEntryId(m.name, m.address));
    props.setBinary(sender ? ids::SenderSearchKey : ids::SentRepresentingSearchKey, SmtpSearchKey(m.address));
}

void SetOriginators(Message& out, GMimeMessage* message) {
    std::vector<Mailbox> from = MailboxesOf(GMIME_OBJECT(message), "From");
    std::vector<Mailbox> sender = MailboxesOf(GMIME_OBJECT(message), "Sender");
    // From names the author (sent-representing); Sender the mailbox that sent
    // it, which is the author when there is no Sender field.
    const Mailbox* author = !from.empty() ? &from.front() : !sender.empty() ? &sender.front() : nullptr;
    const Mailbox* agent = !sender.empty() ? &sender.front() : author;
    if (author) SetOriginator(out.props, *author, false);
    if (agent) SetOriginator(out.props, *agent, true);
}

// Reply-To as PR_REPLY_RECIPIENT_NAMES and PR_REPLY_RECIPIENT_ENTRIES (a
// FlatEntryList of one-off EntryIDs, each entry padded to 4 bytes).
void SetReplyRecipients(Message& out, GMimeMessage* message) {
    std::vector<Mailbox> replyTo = MailboxesOf(GMIME_OBJECT(message), "Reply-To");
    std::string names, entries;
    uint32_t count = 0;
    auto putLong = [](std::string& s, uint32_t v) {
        for (int i = 0; i < 4; ++i) s += char((v >> (8 * i)) & 0xFF);
    };
    for (const Mailbox& m : replyTo) {
        if (m.address.empty()) continue;
        std::string id = OneOffEntryId(m.name, m.address);
        putLong(entries, uint32_t(id.size()));
        entries += id;
        entries.append((4 - entries.size() % 4) % 4, '\0');
        if (!names.empty()) names += "; ";
        names += m.name;
        ++count;
    }
    if (count == 0) return;
    std::string flat;
    putLong(flat, count);
    putLong(flat, uint32_t(entries.size()));
    out.props.setBinary(ids::ReplyRecipientEntries, flat + entries);
    out.props.setString(ids::ReplyRecipientNames, names);
}

void SetRecipients(Message& out, GMimeMessage* message) {
    struct Kind {
        const char* header;
        uint32_t recipientType;
        uint16_t displayProp;
    };
    const Kind kinds[] = {{"To", 1, pid::DisplayTo}, {"Cc", 2, pid::DisplayCc}, {"Bcc", 3, pid::DisplayBcc}};
    // Room for one recipient per '@' of the address fields: grown by
    // doubling, the list of a To: of 350,000 addresses held its old and new
    // copies at once (50 MB of a 9 MB message) at the import's peak. The room
    // is made at the first mailbox, once the field's raw value is freed, so
    // that the two are not held together.
    size_t ats = 0, fieldBytes = 0;
    if (GMimeHeaderList* list = g_mime_object_get_header_list(GMIME_OBJECT(message)))
        for (int i = 0, n = g_mime_header_list_get_count(list); i < n; ++i) {
            GMimeHeader* header = g_mime_header_list_get_header_at(list, i);
            const char* name = g_mime_header_get_name(header);
            if (!name || !(EqualsNoCase(name, "To") || EqualsNoCase(name, "Cc") || EqualsNoCase(name, "Bcc"))) continue;
            if (const char* raw = RawValueOf(GMIME_OBJECT(message), header)) {
                const char* c = raw;
                for (; *c; ++c) ats += *c == '@';
                fieldBytes += size_t(c - raw);
            }
        }
    bool reserved = false;
    for (const Kind& kind : kinds) {
        ForEachMailbox(
            GMIME_OBJECT(message), kind.header,
            [&](Mailbox& m) {
                if (!reserved) {
                    out.recipients.reserve(out.recipients.size() + ats, fieldBytes);
                    reserved = true;
                }
                // Compact: the writers expand each row only while they store it.
                out.recipients.addSmtp(kind.recipientType, m.name, m.address);
            },
            true);
        // The display list is every mailbox's name (never empty) in order:
        // made by the writers from the rows rather than held beside them (a
        // To: of 9 MB held another 9 MB here).
        out.props.set(Property::RecipientNames(kind.displayProp, kind.recipientType));
    }
}

// ---------------------------------------------------------------------------
// Leaf content

// Transfer-decoded content of a leaf part, decoded straight into the
// string (as GMime's data wrapper would decode it, without its stream copy).
std::string DecodedContent(GMimePart* part) {
    GMimeDataWrapper* wrapper = g_mime_part_get_content(part);
    GMimeStream* raw = wrapper ? g_mime_data_wrapper_get_stream(wrapper) : nullptr;
    if (!raw) return {};
    GMimeContentEncoding encoding = g_mime_data_wrapper_get_encoding(wrapper);
    gint64 length = g_mime_stream_length(raw);
    bool decodes = encoding == GMIME_CONTENT_ENCODING_BASE64 || encoding == GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE ||
                   encoding == GMIME_CONTENT_ENCODING_UUENCODE;
    auto readAll = [](GMimeStream* from, std::string& into) {
        char buffer[65536];
        while (!g_mime_stream_eos(from)) {
            ssize_t n = g_mime_stream_read(from, buffer, sizeof buffer);
            if (n < 0) return false;
            into.append(buffer, size_t(n));
        }
        return true;
    };
    std::string out;
    // Decoded content is never longer than its encoded form; base64 is 3/4 of it.
    if (length > 0) out.reserve(size_t(encoding == GMIME_CONTENT_ENCODING_BASE64 ? length / 4 * 3 + 3 : length));
    g_mime_stream_reset(raw);
    if (encoding == GMIME_CONTENT_ENCODING_BASE64) {
        // A part of a message parsed from memory is a window on the same
        // bytes (a memory stream's substream shares its array): decoded
        // there, without a copy through the stream. A part read through its
        // file (a message over 1 MB) goes through GMime's filter, a piece at
        // a time: a copy of its encoded bytes beside the decoded ones would
        // double a large attachment's peak.
        GByteArray* array =
            GMIME_IS_STREAM_MEM(raw) ? g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(raw)) : nullptr;
        const gint64 start = raw->bound_start, end = array && raw->bound_end < 0 ? gint64(array->len) : raw->bound_end;
        if (array && start >= 0 && start <= end && end <= gint64(array->len)) {
            const std::string_view view(reinterpret_cast<const char*>(array->data) + start, size_t(end - start));
            if (DecodeCleanBase64(view, out)) return out;
            out.clear();
        }
    }
    bool ok;
    if (decodes) {
        GObjectPtr<GMimeStream> filtered(g_mime_stream_filter_new(raw));
        GObjectPtr<GMimeFilter> decoder(g_mime_filter_basic_new(encoding, FALSE));
        g_mime_stream_filter_add(GMIME_STREAM_FILTER(filtered.get()), decoder.get());
        ok = readAll(filtered.get(), out);
    } else {
        ok = readAll(raw, out);
    }
    g_mime_stream_reset(raw);
    if (!ok) {
        // Decoding failed: fall back to the bytes as they stand.
        out.clear();
        if (!readAll(raw, out)) out.clear();
        g_mime_stream_reset(raw);
    }
    return out;
}

// ---------------------------------------------------------------------------
// Bodies

std::string PartCharset(GMimeObject* part) {
    const char* charset = g_mime_object_get_content_type_parameter(part, "charset");
    return charset ? Trim(charset) : std::string();
}

// Charset named by a <meta> tag near the start of an HTML document.
std::string MetaCharset(std::string_view html) {
    std::string head = Lower(std::string(html.substr(0, 4096)));
    size_t at = head.find("charset");
    while (at != std::string::npos) {
        size_t p = at + 7;
        while (p < head.size() && (head[p] == ' ' || head[p] == '=' || head[p] == '"' || head[p] == '\'')) ++p;
        size_t e = p;
        while (e < head.size() && (std::isalnum(static_cast<unsigned char>(head[e])) || head[e] == '-' ||
                                   head[e] == '_' || head[e] == '.' || head[e] == ':'))
            ++e;
        if (e > p && head.rfind("<meta", at) != std::string::npos) return head.substr(p, e - p);
        at = head.find("charset", at + 7);
    }
    return {};
}

bool HasEightBit(std::string_view s) {
    return std::any_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

// Code page that describes the bytes of a text part.
uint32_t CodepageOfText(const std::string& charset, std::string_view bytes, bool html) {
    uint32_t cp = CodepageForCharset(charset);
    if (cp == 20127 && HasEightBit(bytes)) cp = 0;   // "us-ascii" that is not
    if (cp == 65001 && !IsValidUtf8(bytes)) cp = 0;  // "utf-8" that is not
    if (cp == 0 && html) cp = CodepageForCharset(MetaCharset(bytes));
    if (cp != 0) return cp;
    if (!HasEightBit(bytes)) return 20127;
    return IsValidUtf8(bytes) ? 65001 : 1252;
}

void SetBodies(Message& out, const Collected& c) {
    uint32_t internetCp = 0;
    if (c.plain) {
        std::string bytes = DecodedContent(c.plain);
        std::string charset = PartCharset(GMIME_OBJECT(c.plain));
        internetCp = CodepageOfText(charset, bytes, false);
        std::string utf8 = DecodeToUtf8(bytes, charset);
        std::string().swap(bytes);  // a huge body is held twice at most, not three times
        if (IsType(GMIME_OBJECT(c.plain), "text", "enriched")) {
            // Its markup is not text: the body is the text without it, and
            // the HTML made from it when there is no HTML alternative.
            EnrichedBodies converted = ConvertEnriched(utf8);
            out.props.setString(pid::Body, std::move(converted.plain));
            if (!c.html) {
                if (HasEightBit(converted.html)) internetCp = 65001;  // the HTML is UTF-8
                out.props.setBinary(pid::Html, std::move(converted.html));
            }
        } else {
            out.props.setString(pid::Body, ToCrlf(utf8));
        }
    }
    if (c.html) {
        std::string bytes = DecodedContent(c.html);
        internetCp = CodepageOfText(PartCharset(GMIME_OBJECT(c.html)), bytes, true);
        out.props.setBinary(pid::Html, std::move(bytes));
    }
    if (internetCp != 0) out.props.setLong(pid::InternetCodepage, internetCp);
    out.props.setLong(pid::MessageCodepage, AnsiCodepageFor(internetCp));
}

// ---------------------------------------------------------------------------
// Attachments

std::string UrlDecode(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
            out += char(std::stoi(std::string(s.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

// Content-IDs the HTML refers to by cid: URLs (lower case, URL-decoded).
std::set<std::string> CidReferences(std::string_view html) {
    std::set<std::string> ids;
    std::string lower = Lower(std::string(html));
    for (size_t at = lower.find("cid:"); at != std::string::npos; at = lower.find("cid:", at + 4)) {
        size_t e = at + 4;
        while (e < lower.size() && !std::strchr("\"'<> \t\r\n)", lower[e])) ++e;
        ids.insert(UrlDecode(lower.substr(at + 4, e - at - 4)));
    }
    return ids;
}

void SetCommonAttachProps(PropertyBag& p, GMimeObject* part, const std::string& mimeType, size_t index) {
    p.setLong(pid::AttachNumber, uint32_t(index));
    p.setLong(ids::ObjectType, ids::MAPI_ATTACH);
    p.setLong(pid::RenderingPosition, 0xFFFFFFFFu);
    p.setString(pid::AttachMimeTag, mimeType);
    if (const char* id = g_mime_object_get_content_id(part)) {
        std::string cid = CleanLine(id);
        if (cid.size() >= 2 && cid.front() == '<' && cid.back() == '>') cid = cid.substr(1, cid.size() - 2);
        if (!cid.empty()) p.setString(pid::AttachContentId, cid);
    }
    if (GMIME_IS_PART(part)) {
        if (const char* location = g_mime_part_get_content_location(GMIME_PART(part))) {
            std::string loc = CleanLine(location);
            if (!loc.empty()) p.setString(ids::AttachContentLocation, loc);
        }
    }
}

// A message file up to this size is read into memory whole and parsed there
// (its pages resident beside its decoded parts cost at most this much); a
// larger one is mapped, and GMime reads its parts back through the file.
constexpr size_t kSmallMessageBytes = 1 << 20;

// The file a top-level message's bytes were mapped from.
struct SourceFile {
    const std::string& path;
    MappedFile& map;  // holds the bytes given to ImportInto
};

void ImportInto(std::string_view input, Message& out, int depth, SourceFile* file = nullptr);

class Importer {
public:
    // `rawHeaders` makes the header block as it stands in the input; it is
    // called once the header fields have been read, so that a block of many
    // megabytes is not held beside the long values decoded from it.
    void importMessage(GMimeMessage* message, const std::function<std::string()>& rawHeaders, Message& out, int depth);

private:
    void addLeaf(GMimePart* part, const Collected& c, const std::set<std::string>& cids, const std::string& html,
                 Message& out);
    void addEmbedded(GMimeObject* part, GMimeMessage* inner, Message& out, int depth);
    void addEmbeddedBytes(GMimeObject* part, std::string_view bytes, Message& out, int depth);
    void finishEmbedded(GMimeObject* part, std::unique_ptr<Message> child, Message& out);
    void addBytes(GMimeObject* part, std::string bytes, const std::string& defaultName, Message& out);
};

void Importer::addLeaf(GMimePart* part, const Collected& c, const std::set<std::string>& cids, const std::string& html,
                       Message& out) {
    GMimeObject* object = GMIME_OBJECT(part);
    std::string mimeType = MimeType(object);
    std::string data = DecodedContent(part);
    std::string name = FileNameOf(object);
    if (name.empty() && !IsAttachmentDisposition(object) && mimeType.starts_with("text/") &&
        std::all_of(data.begin(), data.end(), [](char ch) { return std::isspace(static_cast<unsigned char>(ch)); }))
        return;  // an empty inline text part after the body carries nothing

    Attachment a;
    PropertyBag& p = a.props;
    SetCommonAttachProps(p, object, mimeType, out.attachments.size());
    p.setLong(pid::AttachMethod, ids::afByValue);
    if (name.empty()) name = UnnamedPartName(part, mimeType);
    SetFileNames(p, name);
    if (mimeType.starts_with("text/")) {
        std::string charset = PartCharset(object);
        if (!charset.empty()) p.setString(ids::TextAttachmentCharset, CleanLine(charset));
    }

    // Shown inside the HTML: referenced by cid:, or by Content-Location from
    // within the multipart/related that holds the HTML.
    bool inlineShown = false;
    if (const Property* cid = p.find(pid::AttachContentId)) inlineShown = cids.count(Lower(cid->text)) > 0;
    if (!inlineShown && c.related.count(object)) {
        if (const Property* loc = p.find(ids::AttachContentLocation))
            inlineShown = html.find(loc->text) != std::string::npos;
    }
    p.setLong(pid::AttachFlags, inlineShown ? ids::attRenderedInBody : 0);
    p.setBool(pid::AttachmentHidden, inlineShown);

    p.setLong(pid::AttachSize, uint32_t(std::min<size_t>(data.size(), 0xFFFFFFFFu)));
    p.setBinary(pid::AttachDataBinary, std::move(data));
    out.attachments.push_back(std::move(a));
}

void Importer::addBytes(GMimeObject* part, std::string bytes, const std::string& defaultName, Message& out) {
    Attachment a;
    PropertyBag& p = a.props;
    std::string mimeType = MimeType(part);
    SetCommonAttachProps(p, part, mimeType, out.attachments.size());
    p.setLong(pid::AttachMethod, ids::afByValue);
    std::string name = FileNameOf(part);
    SetFileNames(p, name.empty() ? defaultName : name);
    p.setLong(pid::AttachFlags, 0);
    p.setBool(pid::AttachmentHidden, false);
    p.setLong(pid::AttachSize, uint32_t(std::min<size_t>(bytes.size(), 0xFFFFFFFFu)));
    p.setBinary(pid::AttachDataBinary, std::move(bytes));
    out.attachments.push_back(std::move(a));
}

// `inner` is the parsed message of the message/rfc822 part `object` (null
// when GMime found none).
void Importer::addEmbedded(GMimeObject* object, GMimeMessage* inner, Message& out, int depth) {
    if (!inner || depth >= kMaxEmbeddingDepth) {
        std::string bytes;
        if (inner) bytes = TakeGString(g_mime_object_to_string(GMIME_OBJECT(inner), nullptr));
        addBytes(object, std::move(bytes), "message.eml", out);
        return;
    }
    GMimeHeaderList* headerList = g_mime_object_get_header_list(GMIME_OBJECT(inner));
    if (!headerList || g_mime_header_list_get_count(headerList) == 0) {
        // The attached message starts with a blank line, so GMime found its
        // header in the body: read it again without that line.
        addEmbeddedBytes(object, TakeGString(g_mime_object_to_string(GMIME_OBJECT(inner), nullptr)), out, depth);
        return;
    }
    auto child = std::make_unique<Message>();
    std::string headers = TakeGString(g_mime_object_get_headers(GMIME_OBJECT(inner), nullptr));
    importMessage(
        inner, [&] { return SanitizeUtf8(ToCrlf(headers)); }, *child, depth + 1);
    finishEmbedded(object, std::move(child), out);
}

void Importer::addEmbeddedBytes(GMimeObject* object, std::string_view bytes, Message& out, int depth) {
    if (depth >= kMaxEmbeddingDepth) {
        addBytes(object, std::string(bytes), "message.eml", out);
        return;
    }
    auto child = std::make_unique<Message>();
    ImportInto(bytes, *child, depth + 1);
    finishEmbedded(object, std::move(child), out);
}

// Adds the attachment row for an embedded message already imported.
void Importer::finishEmbedded(GMimeObject* object, std::unique_ptr<Message> child, Message& out) {
    Attachment a;
    PropertyBag& p = a.props;
    SetCommonAttachProps(p, object, MimeType(object), out.attachments.size());
    p.setLong(pid::AttachMethod, ids::afEmbeddedMessage);
    p.setLong(pid::AttachFlags, 0);
    p.setBool(pid::AttachmentHidden, false);
    const Property* subject = child->props.find(pid::Subject);
    std::string display = subject ? std::string(subject->textView()) : std::string();
    if (display.empty()) {
        display = FileNameOf(object);
    }
    p.setString(pid::DisplayName, display.empty() ? "Untitled message" : display);
    a.embedded = std::move(child);
    out.attachments.push_back(std::move(a));
}

// The conversation index a Thread-Index field carries in base64; "" when
// there is none or it is not base64.
std::string ConversationIndexOf(GMimeObject* object) {
    std::string b64;
    for (char ch : RawHeader(object, "Thread-Index")) {
        const auto c = static_cast<unsigned char>(ch);
        if (std::isalnum(c) || ch == '+' || ch == '/' || ch == '=')
            b64 += ch;
        else if (!std::isspace(c))
            return "";
    }
    const size_t pad = b64.find('=');
    if (b64.empty() || b64.size() % 4 != 0 ||
        (pad != std::string::npos && (b64.size() - pad > 2 || b64.find_first_not_of('=', pad) != std::string::npos)))
        return "";
    gsize len = 0;
    guchar* raw = g_base64_decode(b64.c_str(), &len);
    std::string bytes(reinterpret_cast<const char*>(raw), len);
    g_free(raw);
    return bytes;
}

void Importer::importMessage(GMimeMessage* message, const std::function<std::string()>& rawHeaders, Message& out,
                             int depth) {
    GMimeObject* object = GMIME_OBJECT(message);
    out.props.setString(pid::MessageClass, "IPM.Note");
    out.props.setLong(pid::MessageFlags, 0x01);  // read

    SetSubject(out, message);
    std::string topic = DecodedHeader(object, "Thread-Topic");
    // Without a Thread-Topic the topic is the normalized subject, copied in
    // once the long header values are dropped (below), so that a subject of
    // many megabytes is not held three times at once; the property is made
    // here all the same, to keep its place among the others.
    const bool topicIsSubject = topic.empty();
    if (!topic.empty() || out.props.find(pid::Subject)) out.props.setString(ids::ConversationTopic, std::move(topic));
    // Only the index the message carries; without one, readers thread it by
    // its topic.
    if (std::string index = ConversationIndexOf(object); !index.empty())
        out.props.setBinary(ids::ConversationIndex, std::move(index));

    SetOriginators(out, message);
    SetRecipients(out, message);
    SetReplyRecipients(out, message);

    uint64_t sent = FindHeader(object, "Date") ? DecodeDate(RawHeader(object, "Date")) : 0;
    uint64_t received = ReceivedTime(object);
    if (sent == 0) sent = received;  // no usable Date: the first hop's time is the best guess
    if (received == 0) received = sent;
    if (sent) out.props.setTime(pid::ClientSubmitTime, sent);
    if (received) out.props.setTime(pid::MessageDeliveryTime, received);

    if (std::string id = RawHeader(object, "Message-ID"); !id.empty()) out.props.setString(pid::InternetMessageId, id);
    if (std::string id = RawHeader(object, "In-Reply-To"); !id.empty()) out.props.setString(pid::InReplyToId, id);
    if (std::string refs = RawHeader(object, "References"); !refs.empty())
        out.props.setString(pid::InternetReferences, refs);
    SetImportance(out, object);
    DropLongFields(object);  // the last header field read
    if (const Property* normalized = out.props.find(ids::NormalizedSubject);
        topicIsSubject && normalized && !normalized->textView().empty()) {
        if (normalized->shared)
            out.props.set(
                Property::SharedText(ids::ConversationTopic, normalized->shared, size_t(normalized->integer)));
        else
            out.props.setString(ids::ConversationTopic, std::string(normalized->text));
    }
    if (std::string block = rawHeaders(); !block.empty())
        out.props.setString(pid::TransportMessageHeaders, std::move(block));

    Collected c;
    Walk(g_mime_message_get_mime_part(message), c, 0);
    SetBodies(out, c);
    if (!c.plain && !c.html && c.attachments.empty() &&
        std::any_of(c.leftovers.begin(), c.leftovers.end(),
                    [](char ch) { return !std::isspace(static_cast<unsigned char>(ch)); })) {
        out.props.setString(pid::Body, ToCrlf(SanitizeUtf8(c.leftovers)));
    }

    // The HTML as the model holds it (the loop below adds attachments, not properties).
    static const std::string kNoHtml;
    const Property* htmlProperty = out.props.find(pid::Html);
    const std::string& html = htmlProperty ? htmlProperty->text : kNoHtml;
    std::set<std::string> cids = CidReferences(html);
    for (GMimeObject* part : c.attachments) {
        if (GMIME_IS_MESSAGE_PART(part)) {
            addEmbedded(part, g_mime_message_part_get_message(GMIME_MESSAGE_PART(part)), out, depth);
        } else if (GMIME_IS_PART(part) && (IsType(part, "message", "rfc822") || IsType(part, "message", "global"))) {
            // A message/rfc822 part in base64 or quoted-printable, which GMime
            // leaves unparsed: decode it and parse the message inside.
            std::string bytes = DecodedContent(GMIME_PART(part));
            std::string converted;
            if (!RawHeaderBlock(PrepareInput(bytes, converted)).empty())
                addEmbeddedBytes(part, bytes, out, depth);
            else
                addLeaf(GMIME_PART(part), c, cids, html, out);
        } else if (GMIME_IS_PART(part)) {
            addLeaf(GMIME_PART(part), c, cids, html, out);
        }
    }
}

// A message GMime could not parse at all: everything becomes the body text.
void ImportAsPlainText(std::string_view bytes, Message& out) {
    out.props.setString(pid::MessageClass, "IPM.Note");
    out.props.setLong(pid::MessageFlags, 0x01);
    out.props.setLong(pid::Importance, 1);
    out.props.setLong(pid::Priority, 0);
    out.props.setLong(ids::Sensitivity, 0);
    if (!bytes.empty()) {
        out.props.setString(pid::Body, ToCrlf(SanitizeUtf8(bytes)));
        out.props.setLong(pid::InternetCodepage, CodepageOfText("", bytes, false));
    }
    out.props.setLong(pid::MessageCodepage, AnsiCodepageFor(bytes.empty() ? 0 : CodepageOfText("", bytes, false)));
    for (uint16_t id : {pid::DisplayTo, pid::DisplayCc, pid::DisplayBcc}) out.props.setString(id, "");
}

// A stream over `bytes` as they stand in `file` (they lie in its map): GMime
// reads the file itself, through buffered reads, and its parts refer to
// ranges of it. The mapped pages would all stay resident while the parts are
// decoded, the whole message beside its decoded attachments. Null when the
// file cannot be opened again.
GObjectPtr<GMimeStream> FileRangeStream(SourceFile& file, std::string_view bytes) {
    GObjectPtr<GMimeStream> whole{g_mime_stream_file_open(file.path.c_str(), "rb", nullptr)};
    if (!whole) return nullptr;
    gint64 start = bytes.data() - file.map.bytes().data();
    GObjectPtr<GMimeStream> range(g_mime_stream_substream(whole.get(), start, start + gint64(bytes.size())));
    file.map.dropResidentPages();
    return range;
}

// A stream over `bytes` where they lie: the stream does not own them, and
// with a persistent stream the parts refer back into them instead of holding
// copies. `array` describes the bytes to GMime and must outlive the stream
// and every object parsed from it.
GObjectPtr<GMimeStream> BorrowedStream(std::string_view bytes, GByteArray& array) {
    array.data = reinterpret_cast<guint8*>(const_cast<char*>(bytes.data()));
    array.len = guint(bytes.size());
    GObjectPtr<GMimeStream> stream(g_mime_stream_mem_new());
    g_mime_stream_mem_set_byte_array(GMIME_STREAM_MEM(stream.get()), &array);
    g_mime_stream_mem_set_owner(GMIME_STREAM_MEM(stream.get()), FALSE);
    return stream;
}

// Parses raw message bytes (top level, or an attached message GMime could not
// take apart) into `out`.
void ImportInto(std::string_view input, Message& out, int depth, SourceFile* file) {
    std::string converted;
    // A whole message from a mailbox ends with the empty line that stands
    // before the next "From " line: that line is the mailbox's, and read as
    // the message's it lengthened an unclosed last part or an attachment.
    if (depth == 0) {
        for (std::string_view end : {"\r\n\r\n", "\n\n", "\r\r"}) {
            if (input.ends_with(end)) {
                input.remove_suffix(end.size() / 2);
                break;
            }
        }
    }
    std::string_view bytes = PrepareInput(input, converted);
    const size_t headerEnd = HeaderBlockEnd(bytes);
    const bool hasHeaders = headerEnd > 0;
    const std::string_view prepared = bytes;
    LongFields longFields;
    std::string shortened = HideLongFields(bytes, longFields);
    if (!shortened.empty()) {
        bytes = shortened;
        // The long values are copied out, and GMime reads the shortened
        // copy: the mapped header pages need not stay resident beside them.
        if (file && file->map.mapped()) file->map.dropResidentPages();
    }

    EnsureGMimeStarted();
    GObjectPtr<GMimeStream> stream;
    // A small message is parsed from its bytes in memory: read back through
    // the file, 4 KB at a time with a seek before each read, it cost some
    // forty system calls (a third of a small message's time).
    if (file && file->map.mapped() && converted.empty() && shortened.empty() && hasHeaders &&
        bytes.size() > kSmallMessageBytes)
        stream = FileRangeStream(*file, bytes);
    // `array` outlives every GMime object below.
    GByteArray array{};
    if (!stream) stream = BorrowedStream(bytes, array);
    GObjectPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
    g_mime_parser_set_format(parser.get(), GMIME_FORMAT_MESSAGE);
    g_mime_parser_set_persist_stream(parser.get(), TRUE);
    GObjectPtr<GMimeMessage> message(g_mime_parser_construct_message(parser.get(), LenientParserOptions()));
    if (!message || !hasHeaders) {
        // No header at all: GMime would read the first lines as broken
        // headers and lose them, so the whole text is the body.
        ImportAsPlainText(prepared, out);
        return;
    }
    longFields.owner = GMIME_OBJECT(message.get());
    // An attached message imported from its own bytes nests this call.
    struct Scope {
        LongFields* outer = tlsLongFields;
        explicit Scope(LongFields* inner) { tlsLongFields = inner; }
        ~Scope() { tlsLongFields = outer; }
    } scope(&longFields);
    Importer importer;
    importer.importMessage(
        message.get(),
        [&] {
            // Only a long block is worth reading in pieces.
            const bool inMap = headerEnd > kLongFieldBytes && file && file->map.mapped() &&
                               prepared.data() >= file->map.bytes().data() &&
                               prepared.data() < file->map.bytes().data() + file->map.bytes().size();
            return RawHeaderBlock(prepared.substr(0, headerEnd), inMap ? &file->map : nullptr);
        },
        out, depth);
}

}  // namespace

bool ImportMimeBytes(std::string_view input, store::Message& out, std::string* error) {
    (void)error;  // nothing in memory can fail
    out = Message{};
    ImportInto(input, out, 0);
    return true;
}

namespace {

// Reads a message file of up to kSmallMessageBytes whole into `buffer`, seen as `bytes`. For a
// stream of small messages that is cheaper than mapping each one: every
// unmapping flushes the page tables of each core the process runs on. False
// with *small false for a larger file (or one that is not a regular file),
// which is mapped instead; false with *small true when it cannot be read.
bool ReadSmallFile(const std::string& path, std::unique_ptr<char[]>& buffer, std::string_view* bytes, bool* small,
                   std::string* error) {
    *small = false;
    int fd = OpenFile(path, kOpenRead);
    if (fd < 0) return false;  // the mapping says why
    FileInfo info;
    if (!StatFile(fd, &info) || info.kind != FileKind::Regular || info.size > kSmallMessageBytes) {
        CloseFile(fd);
        return false;
    }
    *small = true;
    // Not zero-filled first, as a std::string would be: the read fills it.
    buffer.reset(new char[size_t(info.size)]);
    ssize_t got = ReadFull(fd, buffer.get(), size_t(info.size));
    if (got < 0 && error) *error = "cannot read " + path + ": " + std::strerror(errno);
    CloseFile(fd);
    if (got < 0) return false;
    *bytes = std::string_view(buffer.get(), size_t(got));  // shorter if shortened since it was looked at
    return true;
}

}  // namespace

bool ImportMimeFile(const std::string& path, store::Message& out, std::string* error) {
    // Not a thread_local buffer: MinGW's runtime frees a thread's
    // thread_local storage before it runs their destructors, and the
    // read-ahead thread ends with each mailbox.
    std::unique_ptr<char[]> smallFile;
    std::string_view bytes;
    bool small = false;
    if (ReadSmallFile(path, smallFile, &bytes, &small, error)) {
        out = Message{};
        ImportInto(bytes, out, 0);
        return true;
    }
    if (small) return false;
    MappedFile map;
    if (!map.open(path, error)) return false;
    out = Message{};
    SourceFile file{path, map};
    ImportInto(map.bytes(), out, 0, &file);
    return true;
}

}  // namespace store::mime
