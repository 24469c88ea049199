// The in-memory form of a MAPI message, as the MIME import builds it and as
// both store writers (the .pst writer and the .msg writer) consume it.
//
// A message is a bag of properties plus an ordered list of recipient rows and
// an ordered list of attachments; an attachment may own one embedded message.
// Strings are kept as UTF-8 in the model; each writer chooses how to store
// them (UTF-16LE in a Unicode store, 8-bit in a code page in an 8-bit .msg).
// Named properties are kept by (property set, LID or name); each writer
// assigns property IDs from its own name map.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace store {

// Property types (MS-OXCDATA 2.11.1).
enum PropType : uint16_t {
    PT_SHORT = 0x0002,
    PT_LONG = 0x0003,
    PT_ERROR = 0x000A,
    PT_BOOLEAN = 0x000B,
    PT_OBJECT = 0x000D,
    PT_I8 = 0x0014,
    PT_STRING8 = 0x001E,
    PT_UNICODE = 0x001F,
    PT_SYSTIME = 0x0040,
    PT_CLSID = 0x0048,
    PT_BINARY = 0x0102,
    PT_MV_LONG = 0x1003,
    PT_MV_UNICODE = 0x101F,
    PT_MV_BINARY = 0x1102,
};

using Guid = std::array<uint8_t, 16>;  // in on-disk (little-endian field) order

// A named property's identity: a property set and either a numeric LID or a name.
struct NamedKey {
    Guid propertySet{};
    bool isString = false;
    uint32_t lid = 0;  // when !isString
    std::string name;  // UTF-8, when isString
    bool operator==(const NamedKey&) const = default;
};

// The values of a multi-valued property, held out of line: few properties
// have any, and an empty list then costs one pointer instead of a vector.
class MultiValues {
public:
    MultiValues() = default;
    MultiValues(const MultiValues& other) { *this = other; }
    MultiValues(MultiValues&&) noexcept = default;
    MultiValues& operator=(const MultiValues& other) {
        if (this != &other) *this = other.list();
        return *this;
    }
    MultiValues& operator=(MultiValues&&) noexcept = default;
    MultiValues& operator=(std::vector<std::string> values) {
        values_ = values.empty() ? nullptr : std::make_unique<std::vector<std::string>>(std::move(values));
        return *this;
    }

    const std::vector<std::string>& list() const {
        static const std::vector<std::string> none;
        return values_ ? *values_ : none;
    }
    operator const std::vector<std::string>&() const { return list(); }
    size_t size() const { return list().size(); }
    bool empty() const { return list().empty(); }
    const std::string& operator[](size_t i) const { return list()[i]; }
    std::vector<std::string>::const_iterator begin() const { return list().begin(); }
    std::vector<std::string>::const_iterator end() const { return list().end(); }
    void push_back(std::string value) {
        if (!values_) values_ = std::make_unique<std::vector<std::string>>();
        values_->push_back(std::move(value));
    }

private:
    std::unique_ptr<std::vector<std::string>> values_;
};

struct Property {
    uint16_t id = 0;    // tagged id (0x0001-0x7FFF); ignored when named is set
    uint16_t type = 0;  // PropType
    // Set for named properties (ids assigned by the writer). Shared and
    // immutable, so that the far more common tagged property stays small: a
    // message of 100,000 recipients holds 1.5 million properties.
    std::shared_ptr<const NamedKey> named;

    // Value, by type:
    //   PT_SHORT, PT_LONG, PT_ERROR, PT_BOOLEAN (0/1), PT_I8, PT_SYSTIME (FILETIME): integer
    //   PT_UNICODE, PT_STRING8: text (UTF-8)
    //   PT_BINARY, PT_CLSID (16 bytes): bytes in text
    //   PT_MV_UNICODE (UTF-8 each), PT_MV_BINARY: values;  PT_MV_LONG: integers in values as 4 LE bytes
    uint64_t integer = 0;
    std::string text;
    MultiValues values;
    // A long text held once for the several properties made from it (a
    // subject of megabytes, its normalized form and the conversation topic):
    // when set, the value is the shared text from byte `integer` on, and
    // `text` is empty. Read string values through textView().
    std::shared_ptr<const std::string> shared;
    // PR_DISPLAY_TO, _CC and _BCC are the names of the message's recipients
    // of one type joined by "; ", and as long as the address fields: they
    // are not held but made from the rows by each writer as it stores them
    // (RecipientList::eachDisplayName). For such a value `integer` is
    // kRecipientNames | the recipient type and `text` is empty.
    static constexpr uint64_t kRecipientNames = uint64_t(1) << 63;

    uint32_t tag() const { return (uint32_t(id) << 16) | type; }
    std::string_view textView() const {
        return shared ? std::string_view(*shared).substr(size_t(integer)) : std::string_view(text);
    }
    // The recipient type (1 To, 2 Cc, 3 Bcc) whose names make this value; 0
    // for a value of its own.
    uint32_t recipientNamesOf() const {
        return (type == PT_UNICODE || type == PT_STRING8) && !shared && (integer & kRecipientNames)
                   ? uint32_t(integer & 0x0F)
                   : 0;
    }

    // A tagged property of each kind of value.
    static Property Int(uint16_t id, uint16_t type, uint64_t value);
    static Property Text(uint16_t id, std::string utf8);                   // PT_UNICODE
    static Property Binary(uint16_t id, std::string bytes);                // PT_BINARY
    static Property Bytes(uint16_t id, uint16_t type, std::string bytes);  // the bytes of a string or binary type
    static Property SharedText(uint16_t id, std::shared_ptr<const std::string> utf8, size_t from);  // PT_UNICODE
    static Property RecipientNames(uint16_t id, uint32_t recipientType);                            // PT_UNICODE
};

class PropertyBag {
public:
    // Replaces any property with the same id (or the same named key).
    void set(Property p);
    void setInt(uint16_t id, uint16_t type, uint64_t v);
    void setLong(uint16_t id, uint32_t v) { setInt(id, PT_LONG, v); }
    void setBool(uint16_t id, bool v) { setInt(id, PT_BOOLEAN, v ? 1 : 0); }
    void setTime(uint16_t id, uint64_t filetime) { setInt(id, PT_SYSTIME, filetime); }
    void setString(uint16_t id, std::string utf8);
    void setBinary(uint16_t id, std::string bytes);
    void setNamed(const NamedKey& key, uint16_t type, Property value);
    void reserve(size_t count) { props_.reserve(count); }

    const Property* find(uint16_t id) const;  // tagged property by id
    const Property* findNamed(const NamedKey& key) const;
    bool remove(uint16_t id);

    const std::vector<Property>& all() const { return props_; }
    std::vector<Property>& all() { return props_; }

private:
    std::vector<Property> props_;
};

struct Message;

// A recipient is either a bag of properties, or, as the MIME import makes
// them, the few values the message gave (compact), which row() expands into
// the full row when a writer stores it. The expanded row costs about 1.5 KB
// (15 properties, two EntryIDs), so a message of 100,000 recipients held
// 150 MB of rows at once; compact, a recipient costs its text and 64 bytes.
struct Recipient {
    PropertyBag props;  // PR_RECIPIENT_TYPE, PR_DISPLAY_NAME, PR_EMAIL_ADDRESS, ...; unused when compact

    // A compact SMTP recipient: the row the MIME import gives a mailbox.
    static Recipient Smtp(uint32_t recipientType, std::string_view name, std::string_view address);
    bool compact() const { return kind_ != 0; }
    // Of a compact recipient: its type (1 To, 2 Cc, 3 Bcc), display name and address.
    uint32_t recipientType() const { return kind_ & 0x0F; }
    std::string_view name() const;
    std::string_view address() const;

    // The properties of the recipient stored at row `index`: `props` as they
    // are, or the row expanded from the compact values.
    PropertyBag row(uint32_t index) const;
    // Of a compact recipient: the values row() holds, in its order, each as
    // its id, type and value (`integer` for the fixed types, `bytes` the
    // UTF-8 text or the binary), without making the bag.
    struct RowValue {
        uint16_t id;
        uint16_t type;
        uint64_t integer;
        std::string_view bytes;
    };
    void eachRowValue(uint32_t index, const std::function<void(const RowValue&)>& f) const;

private:
    friend class RecipientList;
    // The address after the name, in one allocation; a name that is the
    // address (a bare address) is held once.
    std::string text_;
    uint32_t nameSize_ = 0;
    uint8_t kind_ = 0;  // kCompact | the recipient type | kNameIsAddress; 0 when not compact
    static constexpr uint8_t kCompact = 0x40;
    static constexpr uint8_t kNameIsAddress = 0x80;
};

// The recipients of a message, in order. The compact ones keep their strings
// in one text for the whole list and cost 8 bytes beside it: held one by one
// a recipient cost a heap block and a 64-byte entry, 110 bytes for 26 of
// address, and a To: of 3 MB of bare addresses held 13 times its size.
// operator[] gives each recipient as a value of its own, for one row's use.
class RecipientList {
public:
    size_t size() const { return rows_.size(); }
    bool empty() const { return rows_.empty(); }
    void reserve(size_t rows, size_t textBytes = 0) {
        rows_.reserve(rows);
        text_.reserve(textBytes);
    }
    void push_back(Recipient r);
    // Adds what Recipient::Smtp makes, without a heap block of its own.
    void addSmtp(uint32_t recipientType, std::string_view name, std::string_view address);
    Recipient operator[](size_t i) const;
    Recipient back() const { return (*this)[size() - 1]; }

    // The display list of the recipients of one type, in pieces for `f`: each
    // one's display name (else its address) with "; " between them; a row
    // with neither is left out. Pieces end on character boundaries.
    void eachDisplayName(uint32_t recipientType, const std::function<void(std::string_view)>& f) const;
    std::string displayList(uint32_t recipientType) const;

private:
    // A row is kind << 56 | name size << 40 | where its text starts in
    // text_; the text ends where the next row's starts (or at the end). The
    // name of a compact row is the start of its text, the address the rest,
    // or both the whole text when they are the same. A row of kind 0 has no
    // text: its bag is the one bagRows_ gives its index for.
    static constexpr uint64_t kTextBits = 40, kNameBits = 16;
    std::string_view textOf(size_t i) const;
    std::string text_;
    std::vector<uint64_t> rows_;
    std::vector<size_t> bagRows_;  // the rows of kind 0, ascending; bags_[k] is row bagRows_[k]'s
    std::vector<PropertyBag> bags_;
};

struct Attachment {
    PropertyBag props;                  // PR_ATTACH_METHOD, PR_ATTACH_LONG_FILENAME, PR_ATTACH_DATA_BIN, ...
    std::unique_ptr<Message> embedded;  // set when PR_ATTACH_METHOD is 5 (embedded message)
};

struct Message {
    PropertyBag props;
    RecipientList recipients;
    std::vector<Attachment> attachments;
};

// Frequently used property ids (MS-OXPROPS).
namespace pid {
constexpr uint16_t MessageClass = 0x001A;
constexpr uint16_t Subject = 0x0037;
constexpr uint16_t ClientSubmitTime = 0x0039;
constexpr uint16_t MessageDeliveryTime = 0x0E06;
constexpr uint16_t MessageFlags = 0x0E07;
constexpr uint16_t MessageSize = 0x0E08;
constexpr uint16_t DisplayTo = 0x0E04;
constexpr uint16_t DisplayCc = 0x0E03;
constexpr uint16_t DisplayBcc = 0x0E02;
constexpr uint16_t HasAttachments = 0x0E1B;
constexpr uint16_t Body = 0x1000;
constexpr uint16_t Html = 0x1013;
constexpr uint16_t InternetCodepage = 0x3FDE;
constexpr uint16_t MessageCodepage = 0x3FFD;
constexpr uint16_t TransportMessageHeaders = 0x007D;
constexpr uint16_t InternetMessageId = 0x1035;
constexpr uint16_t InReplyToId = 0x1042;
constexpr uint16_t InternetReferences = 0x1039;
constexpr uint16_t Importance = 0x0017;
constexpr uint16_t Priority = 0x0026;
constexpr uint16_t RecipientType = 0x0C15;
constexpr uint16_t DisplayName = 0x3001;
constexpr uint16_t AddressType = 0x3002;
constexpr uint16_t EmailAddress = 0x3003;
constexpr uint16_t AttachMethod = 0x3705;
constexpr uint16_t AttachDataBinary = 0x3701;  // also PT_OBJECT for embedded messages
constexpr uint16_t AttachFilename = 0x3704;
constexpr uint16_t AttachLongFilename = 0x3707;
constexpr uint16_t AttachMimeTag = 0x370E;
constexpr uint16_t AttachContentId = 0x3712;
constexpr uint16_t AttachFlags = 0x3714;
constexpr uint16_t AttachmentHidden = 0x7FFE;
constexpr uint16_t AttachSize = 0x0E20;
constexpr uint16_t AttachNumber = 0x0E21;
constexpr uint16_t RenderingPosition = 0x370B;

// What a store works out for its own objects: the message store, folders, the
// name-to-id map and table rows (MS-OXPROPS names; MS-PST 2.4).
constexpr uint16_t MessageStatus = 0x0E17;
constexpr uint16_t ParentEntryId = 0x0E09;
constexpr uint16_t RecordKey = 0x0FF9;
constexpr uint16_t StoreEntryId = 0x0FFB;
constexpr uint16_t MessageRecipients = 0x0E12;
constexpr uint16_t MessageAttachments = 0x0E13;
constexpr uint16_t ReplItemid = 0x0E30;
constexpr uint16_t CreationTime = 0x3007;
constexpr uint16_t LastModificationTime = 0x3008;
constexpr uint16_t ValidFolderMask = 0x35DF;
constexpr uint16_t IpmSubtreeEntryId = 0x35E0;
constexpr uint16_t IpmWastebasketEntryId = 0x35E3;
constexpr uint16_t FinderEntryId = 0x35E7;
constexpr uint16_t ContentCount = 0x3602;
constexpr uint16_t ContentUnreadCount = 0x3603;
constexpr uint16_t Subfolders = 0x360A;
constexpr uint16_t ContainerClass = 0x3613;
constexpr uint16_t LtpRowId = 0x67F2;
constexpr uint16_t LtpRowVer = 0x67F3;
constexpr uint16_t PstPassword = 0x67FF;
constexpr uint16_t NameidBucketCount = 0x0001;
constexpr uint16_t NameidStreamGuid = 0x0002;
constexpr uint16_t NameidStreamEntry = 0x0003;
constexpr uint16_t NameidStreamString = 0x0004;
constexpr uint16_t NameidBucketBase = 0x1000;
}  // namespace pid

}  // namespace store
