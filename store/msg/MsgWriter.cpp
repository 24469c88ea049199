// The .msg writer: walks a store::Message and lays it out as MS-OXMSG
// storages and streams through the compound-file layer.
//
// Invariants of the output:
//  1. Every object storage (top-level message, recipient, attachment, embedded
//     message) holds exactly one __properties_version1.0 with the header length
//     of its position (32 / 24 / 8 bytes) and one entry per property it holds.
//  2. Every stream-backed entry has its __substg1.0_TTTTPPPP stream (tag in upper-
//     case hex); every such stream has its entry.
//  3. Recipient and attachment storages are numbered #00000000.. without gaps, so
//     the header's next-id fields equal the counts.
//  4. One file, one string type: all PT_UNICODE (with STORE_UNICODE_OK), or all
//     PT_STRING8 in the code page recorded in the same object's message.
//  5. __nameid_version1.0 exists at the top only, with its three fixed streams,
//     and covers the named properties of every object in the file.
//  6. Output depends only on the model: no wall-clock time, entries sorted by tag.
#include "store/msg/MsgWriter.h"

#include "store/Codepages.h"
#include "store/Endian.h"
#include "store/MapiIds.h"
#include "store/Unicode.h"
#include "store/msg/CompoundFile.h"
#include "store/msg/MsgConstants.h"
#include "store/msg/NamedPropertyMap.h"
#include "store/msg/PropertyStream.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <deque>
#include <optional>
#include <unordered_map>

namespace store::msg {
namespace {

using namespace detail;

constexpr uint16_t PT_STRING8_MV = 0x101E;
constexpr uint16_t PT_UNICODE_MV = PT_MV_UNICODE;

bool isStringType(uint16_t type) { return type == PT_UNICODE || type == PT_STRING8; }
bool isMultiStringType(uint16_t type) { return type == PT_UNICODE_MV || type == PT_STRING8_MV; }

// A storage or stream name made of a prefix and eight upper-case hex digits,
// perhaps "-" and eight more, built in place: these names are made for
// every stream, and formatting them into heap strings with snprintf was a
// tenth of the writer's instructions.
class NumberedName {
public:
    NumberedName(std::string_view prefix, uint32_t number) {
        std::memcpy(text_, prefix.data(), prefix.size());
        size_ = prefix.size();
        appendHex8(number);
    }
    // The name of the value stream `index` of a multi-valued property.
    NumberedName& valueIndex(uint32_t index) {
        text_[size_++] = '-';
        appendHex8(index);
        return *this;
    }
    operator std::string_view() const { return {text_, size_}; }

private:
    void appendHex8(uint32_t v) {
        static constexpr char digits[] = "0123456789ABCDEF";
        for (int i = 7; i >= 0; --i, v >>= 4) text_[size_ + size_t(i)] = digits[v & 0xF];
        size_ += 8;
    }
    char text_[40];  // the longest prefix, 21 characters, + 17
    size_t size_;
};

NumberedName substgName(uint32_t tag) { return NumberedName(kSubstgPrefix, tag); }

std::optional<uint32_t> positiveLong(const PropertyBag& bag, uint16_t id) {
    const Property* p = bag.find(id);
    if (!p || p->type != PT_LONG || uint32_t(p->integer) == 0) return std::nullopt;
    return uint32_t(p->integer);
}

// Entry flags: read-only for what a store computes,
// mandatory for the attachment's method and position, read/write otherwise.
uint32_t flagsFor(uint16_t id) {
    switch (id) {
        case pid::HasAttachments:
        case pid::DisplayTo:
        case pid::DisplayCc:
        case pid::DisplayBcc:
        case pid::MessageSize:
        case pid::AttachSize:
        case pid::AttachNumber:
        case ids::StoreSupportMask:
        case 0x3007:
        case 0x3008:  // PidTagCreationTime, PidTagLastModificationTime
        case 0x0E1D:  // PidTagNormalizedSubject
        case 0x0FF4:
        case 0x0FF7:  // PidTagAccess, PidTagAccessLevel
            return kPropAttrReadable;
        case pid::AttachMethod:
        case pid::RenderingPosition: return kPropAttrMandatory | kPropAttrReadable | kPropAttrWritable;
        default: return kPropAttrReadable | kPropAttrWritable;
    }
}

// The properties one object is written with: the model's, minus those the
// writer replaces, plus those it computes.
class ObjectProps {
public:
    void takeFrom(const PropertyBag& bag, std::initializer_list<uint16_t> skipIds = {}) {
        list.reserve(list.size() + bag.all().size() + kComputedProps);
        for (const Property& p : bag.all()) {
            if (p.type == PT_OBJECT) continue;  // only embedded messages are objects; written apart
            // Tagged ids live in 0x0001-0x7FFF; anything else would collide with
            // the ids this file gives named properties.
            if (!p.named && (p.id == 0 || p.id >= kFirstNamedId)) continue;
            bool skip = false;
            for (uint16_t id : skipIds) skip = skip || (!p.named && p.id == id);
            if (!skip) list.push_back(&p);
        }
    }
    bool has(uint16_t id) const {
        for (const Property* p : list)
            if (!p->named && p->id == id) return true;
        return false;
    }
    void add(Property p) {
        extras.push_back(std::move(p));
        list.push_back(&extras.back());
    }
    void addIfMissing(Property p) {
        if (!has(p.id)) add(std::move(p));
    }
    void replace(Property p) {
        std::erase_if(list, [&](const Property* q) { return !q->named && q->id == p.id; });
        add(std::move(p));
    }

    std::vector<const Property*> list;
    const RecipientList* recipients = nullptr;  // of the message these are the properties of

private:
    static constexpr size_t kComputedProps = 12;  // room for what the writer adds

private:
    std::deque<Property> extras;  // stable addresses
};

// ---- code page of an 8-bit message ----------------------------------------

// Whether a text is stored as it is: otherwise bytes outside UTF-8 sequences
// are read as Windows-1252 and NULs dropped (SanitizeUtf8).
bool isClean(std::string_view utf8) { return IsValidUtf8(utf8) && utf8.find('\0') == std::string_view::npos; }

// Whether a text is ASCII without NUL, checked eight bytes at a time: such a
// text is clean, and a Windows code page holds it as it is (the same bytes).
// Most strings of a message are, and testing this once spares them the
// UTF-8 check, the NUL search, the code page's own ASCII test and a copy.
bool plainAscii(std::string_view s) {
    constexpr uint64_t ones = 0x0101010101010101, highs = 0x8080808080808080;
    auto flags = [&](size_t at) {  // the top bit of each byte of 0x80 or more, or NUL
        uint64_t w;
        std::memcpy(&w, s.data() + at, 8);
        return (w | ((w - ones) & ~w)) & highs;
    };
    size_t i = 0;
    for (; i + 32 <= s.size(); i += 32)
        if (flags(i) | flags(i + 8) | flags(i + 16) | flags(i + 24)) return false;
    for (; i + 8 <= s.size(); i += 8)
        if (flags(i)) return false;
    for (; i < s.size(); ++i)
        if (s[i] == '\0' || static_cast<unsigned char>(s[i]) >= 0x80) return false;
    return true;
}

bool roundTrips(std::string_view text, uint32_t codepage) {
    return isClean(text) ? RoundTripsCodepage(text, codepage) : RoundTripsCodepage(SanitizeUtf8(text), codepage);
}

// What choosing a message object's code page works out, kept for writing
// it: the HTML decoded and the recipient rows are each made once a file.
struct ObjectText {
    uint32_t codepage = 0;
    std::string html;               // htmlAsText
    std::vector<PropertyBag> rows;  // Recipient::row of each recipient
};

// Calls f with every string of one object: the message's own properties, its
// recipient rows and its attachments' rows (an embedded message is an object
// of its own), and the HTML as text.
template <class F>
void forEachString(const Message& m, const ObjectText& t, F&& f) {
    auto bag = [&](const PropertyBag& b) {
        for (const Property& p : b.all()) {
            if (isStringType(p.type)) f(p.textView());
            if (isMultiStringType(p.type))
                for (const std::string& v : p.values) f(v);
        }
    };
    bag(m.props);
    for (const PropertyBag& row : t.rows) bag(row);
    for (const Attachment& a : m.attachments) bag(a.props);
    f(std::string_view(t.html));
}

// The HTML of a message as UTF-8 text, when it is in a code page it decodes
// in ("" otherwise: such bytes are stored as they are).
std::string htmlAsText(const Message& m) {
    const Property* html = m.props.find(pid::Html);
    auto codepage = positiveLong(m.props, pid::InternetCodepage);
    std::string utf8;
    if (!html || html->type != PT_BINARY || !codepage || !DecodeCodepage(html->text, *codepage, &utf8)) return "";
    return utf8;
}

// The Windows code page the message's 8-bit strings are stored in: its own
// script's (from PR_MESSAGE_CODEPAGE, else PR_INTERNET_CPID, else Western)
// when that holds every string of the message, its rows and its HTML; else
// the first Windows code page that does; 0 when none does. Fills in `t`'s
// HTML and rows on the way.
uint32_t chooseStringCodepage(const Message& m, ObjectText& t) {
    uint32_t own = 0;
    if (auto v = positiveLong(m.props, pid::MessageCodepage))
        own = *v;
    else if (auto v = positiveLong(m.props, pid::InternetCodepage))
        own = *v;
    t.html = htmlAsText(m);
    // A message past the row limit is refused before anything is written
    // (writeMessage): its rows are not made, which for a To: of 100,000
    // addresses took 240 MB.
    if (m.recipients.size() <= kMaxRows) {
        t.rows.reserve(m.recipients.size());
        for (size_t i = 0; i < m.recipients.size(); ++i) t.rows.push_back(m.recipients[i].row(uint32_t(i)));
    }
    // Which strings are plain ASCII is found once: they add no character,
    // and every Windows code page holds them as they are.
    std::vector<bool> plain;
    TextCharacters characters;
    forEachString(m, t, [&](std::string_view text) {
        plain.push_back(plainAscii(text));
        if (!plain.back()) characters.add(text);
    });
    std::vector<uint32_t> order;
    if (uint32_t ansi = AnsiCodepageFor(own); ansi != kCodepageUtf8) order.push_back(ansi);
    for (uint32_t codepage : WindowsCodepages())
        if (std::find(order.begin(), order.end(), codepage) == order.end()) order.push_back(codepage);
    for (uint32_t codepage : order) {
        if (!characters.fitIn(codepage)) continue;
        bool fits = true;
        size_t k = 0;
        const bool windows = IsWindowsCodepage(codepage);
        forEachString(m, t, [&](std::string_view text) {
            const bool asIs = plain[k++] && windows;
            fits = fits && (asIs || roundTrips(text, codepage));
        });
        if (fits) return codepage;
    }
    return 0;
}

// Chooses the code page of every message object in the file (the message and
// its embedded messages, each its own); false when one has none.
bool chooseCodepages(const Message& m, std::unordered_map<const Message*, ObjectText>& texts) {
    ObjectText& t = texts[&m];  // stays where it is while others are added
    t.codepage = chooseStringCodepage(m, t);
    if (t.codepage == 0) return false;
    for (const Attachment& a : m.attachments)
        if (a.embedded && !chooseCodepages(*a.embedded, texts)) return false;
    return true;
}

// std::tolower's call per character was most of the <meta> search.
char asciiLower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

// `needle` is lower-case ASCII, not empty.
size_t findNoCase(const std::string& hay, std::string_view needle, size_t from, size_t to) {
    // A needle that starts with other than a letter ("<meta") is looked for
    // by its first character with memchr, not tried at every position.
    const bool firstIsLetter = needle[0] >= 'a' && needle[0] <= 'z';
    for (size_t i = from; i + needle.size() <= to; ++i) {
        if (!firstIsLetter) {
            const void* at = std::memchr(hay.data() + i, needle[0], to - needle.size() + 1 - i);
            if (!at) return std::string::npos;
            i = size_t(static_cast<const char*>(at) - hay.data());
        }
        size_t k = 0;
        while (k < needle.size() && asciiLower(hay[i + k]) == needle[k]) ++k;
        if (k == needle.size()) return i;
    }
    return std::string::npos;
}

// Renames the charset declared in the HTML's <meta> tags (both the charset
// attribute and http-equiv content forms) to `charset`.
std::string renameMetaCharset(std::string html, const std::string& charset) {
    if (charset.empty()) return html;
    size_t pos = 0;
    while ((pos = findNoCase(html, "<meta", pos, html.size())) != std::string::npos) {
        size_t end = html.find('>', pos);
        if (end == std::string::npos) break;
        size_t at = findNoCase(html, "charset", pos, end);
        if (at != std::string::npos) {
            size_t v = at + 7;
            while (v < end && (html[v] == ' ' || html[v] == '\t')) ++v;
            if (v < end && html[v] == '=') {
                ++v;
                while (v < end && (html[v] == ' ' || html[v] == '\t' || html[v] == '"' || html[v] == '\'')) ++v;
                size_t ve = v;
                while (ve < end && (std::isalnum(static_cast<unsigned char>(html[ve])) || html[ve] == '-' ||
                                    html[ve] == '_' || html[ve] == '.' || html[ve] == ':'))
                    ++ve;
                if (ve > v) {
                    html.replace(v, ve - v, charset);
                    end = end - (ve - v) + charset.size();
                }
            }
        }
        pos = end;
    }
    return html;
}

// ---- writing ----------------------------------------------------------------

struct Context {
    bool unicode = true;
    std::unordered_map<const Message*, ObjectText> texts;  // of each message object, in an 8-bit file
    uint64_t storageTime = 0;                              // modification time of the storages (0 = none)
    NamedPropertyMap names;
    CompoundFileWriter cfb;
    std::string error;  // errors of this layer; the compound file keeps its own

    bool fail(std::string message) {
        if (error.empty()) error = std::move(message);
        return false;
    }
};

// The 8-bit bytes of a string in `codepage` (checked beforehand to hold it).
std::string encode8(std::string_view utf8, uint32_t codepage) {
    if (IsWindowsCodepage(codepage) && plainAscii(utf8)) return std::string(utf8);
    std::string out;
    if (isClean(utf8))
        EncodeCodepage(utf8, codepage, &out);
    else
        EncodeCodepage(SanitizeUtf8(utf8), codepage, &out);
    return out;
}

std::string encodeString(const Context& ctx, std::string_view utf8, uint32_t codepage) {
    return ctx.unicode ? Utf8ToUtf16le(utf8) : encode8(utf8, codepage);
}

// Strings longer than this are converted in pieces of this size.
constexpr size_t kLongTextPiece = 1 << 20;

// Writes one property's value streams into `storage` and its entry into
// `entries`; a display list made from the rows takes them from `recipients`.
bool writeProperty(Context& ctx, CompoundFileWriter::Storage* storage, PropertyStreamBuilder& entries,
                   const Property& p, uint32_t codepage, const RecipientList* recipients) {
    uint16_t id = p.id;
    if (p.named) {
        id = ctx.names.idFor(*p.named);
        if (id == 0) return ctx.fail("too many named properties");
    }
    uint16_t type = p.type;
    if (isStringType(type)) type = ctx.unicode ? PT_UNICODE : PT_STRING8;
    if (isMultiStringType(type)) type = ctx.unicode ? PT_UNICODE_MV : PT_STRING8_MV;
    uint32_t tag = (uint32_t(id) << 16) | type;
    uint32_t flags = flagsFor(id);
    CompoundFileWriter& cfb = ctx.cfb;

    if (FixedValueBytes(type)) {
        entries.addFixed(tag, flags, p.integer);
        return true;
    }
    switch (type) {
        case PT_UNICODE:
        case PT_STRING8: {
            const uint32_t namesOf = recipients ? p.recipientNamesOf() : 0;
            const std::string_view text = p.textView();
            if (namesOf || text.size() > kLongTextPiece) {
                // Converted a piece at a time: the stored form of a long subject
                // or body is as large as the model's copy, or twice as large, and
                // a display list is not held at all.
                // The UTF-8 in pieces that end on character boundaries, so that
                // they convert to what the whole converts to (the 8-bit code
                // pages a file is written in keep no state between characters).
                auto eachUtf8 = [&](const std::function<void(std::string_view)>& f) {
                    if (namesOf) return recipients->eachDisplayName(namesOf, f);
                    for (std::string_view rest = text; !rest.empty();) {
                        size_t cut = std::min(rest.size(), kLongTextPiece);
                        while (cut < rest.size() && (uint8_t(rest[cut]) & 0xC0) == 0x80) ++cut;
                        f(rest.substr(0, cut));
                        rest.remove_prefix(cut);
                    }
                };
                auto eachPiece = [&](const CompoundFileWriter::PieceSink& put) {
                    std::string piece;
                    bool ok = true;
                    eachUtf8([&](std::string_view utf8) {
                        if (!ok) return;
                        if (ctx.unicode)
                            AppendUtf16le(piece, utf8);
                        else
                            piece += encode8(utf8, codepage);
                        if (piece.size() >= kLongTextPiece) {
                            ok = put(piece);
                            piece.clear();
                        }
                    });
                    return ok && (piece.empty() || put(piece));
                };
                size_t size = 0;
                if (ctx.unicode) {
                    eachUtf8([&](std::string_view utf8) { size += Utf16leSize(utf8); });
                } else {
                    eachPiece([&](std::string_view piece) {
                        size += piece.size();
                        return true;
                    });
                }
                entries.addStreamBacked(tag, flags, uint32_t(size) + (ctx.unicode ? 2 : 1));
                return cfb.writeStream(storage, substgName(tag), size, eachPiece);
            }
            if (!ctx.unicode && IsWindowsCodepage(codepage) && plainAscii(text)) {
                // Stored as it is: written from the model's own copy.
                entries.addStreamBacked(tag, flags, uint32_t(text.size()) + 1);
                return cfb.writeStream(storage, substgName(tag), text);
            }
            std::string bytes = encodeString(ctx, text, codepage);
            entries.addStreamBacked(tag, flags, uint32_t(bytes.size()) + (ctx.unicode ? 2 : 1));
            return cfb.writeStream(storage, substgName(tag), bytes);
        }
        case PT_BINARY:
        case PT_CLSID:
            entries.addStreamBacked(tag, flags, uint32_t(p.text.size()));
            return cfb.writeStream(storage, substgName(tag), p.text);
        case PT_UNICODE_MV:
        case PT_STRING8_MV:
        case PT_MV_BINARY: {
            // A length stream plus one stream per value (MS-OXMSG 2.1.4.2).
            bool binary = type == PT_MV_BINARY;
            std::string lengths;
            for (size_t i = 0; i < p.values.size(); ++i) {
                std::string value = binary ? p.values[i] : encodeString(ctx, p.values[i], codepage);
                if (!binary) value.append(ctx.unicode ? 2 : 1, '\0');  // values keep their NUL
                append32(lengths, uint32_t(value.size()));
                if (binary) append32(lengths, 0);
                if (!cfb.writeStream(storage, substgName(tag).valueIndex(uint32_t(i)), value)) return false;
            }
            entries.addStreamBacked(tag, flags, uint32_t(lengths.size()));
            return cfb.writeStream(storage, substgName(tag), lengths);
        }
        default:
            if ((type & 0x1000) && FixedValueBytes(type & 0x0FFF)) {
                // Fixed-size multi-valued: the values back to back in one stream.
                std::string packed;
                for (const std::string& v : p.values) packed += v;
                entries.addStreamBacked(tag, flags, uint32_t(packed.size()));
                return cfb.writeStream(storage, substgName(tag), packed);
            }
            return true;  // a type the model does not define: left out
    }
}

bool writeProperties(Context& ctx, CompoundFileWriter::Storage* storage, const ObjectProps& props, uint32_t codepage,
                     PropertyStreamBuilder& entries) {
    for (const Property* p : props.list)
        if (!writeProperty(ctx, storage, entries, *p, codepage, props.recipients)) return false;
    return true;
}

bool writeMessage(Context& ctx, CompoundFileWriter::Storage* storage, const Message& m, HeaderKind kind);

// A Unicode file marks every message and attachment object with
// STORE_UNICODE_OK; an 8-bit file carries no mask at all.
void addStoreSupportMask(const Context& ctx, const PropertyBag& model, ObjectProps& props) {
    if (!ctx.unicode) return;
    const Property* mask = model.find(ids::StoreSupportMask);
    uint32_t value = mask ? uint32_t(mask->integer) | ids::STORE_UNICODE_OK : kUnicodeStoreSupportMask;
    props.add(Property::Int(ids::StoreSupportMask, PT_LONG, value));
}

// `row` is r.row(index) when already made, else null.
bool writeRecipient(Context& ctx, CompoundFileWriter::Storage* parent, const Recipient& r, uint32_t index,
                    uint32_t codepage, const PropertyBag* row) {
    CompoundFileWriter::Storage* storage =
        ctx.cfb.beginStorage(parent, NumberedName(kRecipPrefix, index), ctx.storageTime);
    if (!storage) return false;
    PropertyBag made;
    if (!row) row = &(made = r.row(index));
    ObjectProps props;
    props.takeFrom(*row, {ids::StoreSupportMask});
    props.addIfMissing(Property::Int(ids::Rowid, PT_LONG, index));
    props.addIfMissing(Property::Int(ids::ObjectType, PT_LONG, ids::MAPI_MAILUSER));
    PropertyStreamBuilder entries;
    if (!writeProperties(ctx, storage, props, codepage, entries)) return false;
    if (!ctx.cfb.writeStream(storage, kPropertiesStream, entries.serialize(HeaderKind::RecipientOrAttachment, 0, 0)))
        return false;
    return ctx.cfb.endStorage(storage);
}

bool writeAttachment(Context& ctx, CompoundFileWriter::Storage* parent, const Attachment& a, uint32_t index,
                     uint32_t codepage) {
    CompoundFileWriter::Storage* storage =
        ctx.cfb.beginStorage(parent, NumberedName(kAttachPrefix, index), ctx.storageTime);
    if (!storage) return false;
    ObjectProps props;
    if (a.embedded)
        props.takeFrom(a.props, {pid::AttachDataBinary, ids::StoreSupportMask});
    else
        props.takeFrom(a.props, {ids::StoreSupportMask});
    addStoreSupportMask(ctx, a.props, props);
    props.addIfMissing(Property::Int(pid::AttachNumber, PT_LONG, index));
    props.addIfMissing(Property::Int(ids::ObjectType, PT_LONG, ids::MAPI_ATTACH));
    props.addIfMissing(Property::Int(pid::AttachMethod, PT_LONG, a.embedded ? ids::afEmbeddedMessage : ids::afByValue));
    PropertyStreamBuilder entries;
    if (!writeProperties(ctx, storage, props, codepage, entries)) return false;
    if (a.embedded) {
        // PidTagAttachDataObject: an entry without a stream, and the message as a storage.
        entries.addStreamBacked((uint32_t(pid::AttachDataBinary) << 16) | PT_OBJECT,
                                kPropAttrReadable | kPropAttrWritable, kObjectSize);
        CompoundFileWriter::Storage* inner = ctx.cfb.beginStorage(storage, kEmbeddedStorage, ctx.storageTime);
        if (!inner || !writeMessage(ctx, inner, *a.embedded, HeaderKind::EmbeddedMessage) || !ctx.cfb.endStorage(inner))
            return false;
    }
    if (!ctx.cfb.writeStream(storage, kPropertiesStream, entries.serialize(HeaderKind::RecipientOrAttachment, 0, 0)))
        return false;
    return ctx.cfb.endStorage(storage);
}

// Adds to `props` what a store would compute for a message, and in an 8-bit
// file the code pages; returns the code page of the message's 8-bit strings.
uint32_t completeMessageProps(const Context& ctx, const Message& m, ObjectProps& props) {
    uint32_t codepage = 0;
    if (ctx.unicode) {
        props.takeFrom(m.props, {ids::StoreSupportMask});
        addStoreSupportMask(ctx, m.props, props);
    } else {
        // 8-bit: strings, PR_BODY and PR_HTML all in one code page, recorded twice.
        const ObjectText& text = ctx.texts.at(&m);
        codepage = text.codepage;
        props.takeFrom(m.props, {ids::StoreSupportMask, pid::MessageCodepage, pid::InternetCodepage});
        auto htmlCodepage = positiveLong(m.props, pid::InternetCodepage);
        std::string bytes;
        if (htmlCodepage && *htmlCodepage != codepage) {
            // HTML not valid in its own code page stays as it is.
            if (const std::string& utf8 = text.html; !utf8.empty() && EncodeCodepage(utf8, codepage, &bytes))
                props.replace(
                    Property::Binary(pid::Html, renameMetaCharset(std::move(bytes), CharsetForCodepage(codepage))));
        }
        props.add(Property::Int(pid::MessageCodepage, PT_LONG, codepage));
        props.add(Property::Int(pid::InternetCodepage, PT_LONG, codepage));
    }
    Property messageClass = Property::Text(pid::MessageClass, "IPM.Note");
    props.addIfMissing(std::move(messageClass));
    props.addIfMissing(Property::Int(pid::HasAttachments, PT_BOOLEAN, m.attachments.empty() ? 0 : 1));
    props.recipients = &m.recipients;
    // mfHasAttach as a store works it out, on embedded messages as on the top one.
    const Property* flags = m.props.find(pid::MessageFlags);
    const uint32_t given = flags ? uint32_t(flags->integer) : ids::mfRead;
    props.replace(Property::Int(pid::MessageFlags, PT_LONG,
                                (given & ~ids::mfHasAttach) | (m.attachments.empty() ? 0 : ids::mfHasAttach)));
    const std::pair<uint16_t, uint32_t> lists[] = {{pid::DisplayTo, 1}, {pid::DisplayCc, 2}, {pid::DisplayBcc, 3}};
    for (auto [id, type] : lists) {
        if (props.has(id)) continue;
        bool any = false;
        m.recipients.eachDisplayName(type, [&](std::string_view) { any = true; });
        if (any) props.add(Property::RecipientNames(id, type));
    }
    return codepage;
}

bool writeMessage(Context& ctx, CompoundFileWriter::Storage* storage, const Message& m, HeaderKind kind) {
    if (m.recipients.size() > kMaxRows || m.attachments.size() > kMaxRows)
        return ctx.fail("a message file holds at most 2048 recipients and 2048 attachments per message");
    ObjectProps props;
    uint32_t codepage = completeMessageProps(ctx, m, props);
    PropertyStreamBuilder entries;
    if (!writeProperties(ctx, storage, props, codepage, entries)) return false;
    const std::vector<PropertyBag>* rows = ctx.unicode ? nullptr : &ctx.texts.at(&m).rows;
    for (size_t i = 0; i < m.recipients.size(); ++i)
        if (!writeRecipient(ctx, storage, m.recipients[i], uint32_t(i), codepage, rows ? &(*rows)[i] : nullptr))
            return false;
    for (size_t i = 0; i < m.attachments.size(); ++i)
        if (!writeAttachment(ctx, storage, m.attachments[i], uint32_t(i), codepage)) return false;
    std::string header = entries.serialize(kind, uint32_t(m.recipients.size()), uint32_t(m.attachments.size()));
    return ctx.cfb.writeStream(storage, kPropertiesStream, header);
}

bool writeNameIdStorage(Context& ctx) {
    CompoundFileWriter::Storage* storage = ctx.cfb.beginStorage(ctx.cfb.root(), kNameIdStorage, ctx.storageTime);
    if (!storage) return false;
    for (const auto& [name, bytes] : ctx.names.streams())
        if (!ctx.cfb.writeStream(storage, name, bytes)) return false;
    return ctx.cfb.endStorage(storage);
}

}  // namespace

bool WriteMsgFile(const store::Message& msg, const std::string& path, bool unicode, std::string* error) {
    Context ctx;
    // A file holds one kind of string: a message that no Windows code page
    // holds is written in Unicode, whatever was asked, so that no character is lost.
    ctx.unicode = unicode || !chooseCodepages(msg, ctx.texts);
    for (uint16_t id : {pid::MessageDeliveryTime, pid::ClientSubmitTime}) {
        const Property* p = msg.props.find(id);
        if (p && p->type == PT_SYSTIME && p->integer) {
            ctx.storageTime = p->integer;
            break;
        }
    }
    bool ok = ctx.cfb.create(path, kMessageClsid) && writeMessage(ctx, ctx.cfb.root(), msg, HeaderKind::TopMessage) &&
              writeNameIdStorage(ctx) && ctx.cfb.finish();
    if (!ok && error) {
        *error = !ctx.error.empty() ? ctx.error : ctx.cfb.error();
        if (error->empty()) *error = "cannot write the message file";
    }
    return ok;
}

}  // namespace store::msg
