// The messaging layer of the .pst writer: the store's fixed folders and
// nodes, user folders with their tables, messages with their recipients,
// attachments and embedded messages, and the named-property map.
#include "store/pst/PstWriter.h"

#include "store/MapiAddress.h"
#include "store/MapiIds.h"
#include "store/Unicode.h"

#include "store/pst/PstFormat.h"
#include "store/pst/PstLtp.h"
#include "store/pst/PstNdb.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string_view>

namespace store::pst {

namespace {

// Fixed node ids of a new store.
constexpr uint32_t kNidSpamSearchFolder = 0x2223;
constexpr uint32_t kNidSpamSearchQueue = 0x2226;
constexpr uint32_t kNidSpamSearchCriteria = 0x2227;
constexpr uint32_t kNidSpamSearchContents = 0x2230;
constexpr uint32_t kNidIpmSubtree = 0x8022;
constexpr uint32_t kNidSearchRoot = 0x8042;
constexpr uint32_t kNidDeletedItems = 0x8062;

// Property tags the writer itself uses.
constexpr uint32_t tagDisplayName = (uint32_t(pid::DisplayName) << 16) | PT_UNICODE,
                   tagContentCount = (uint32_t(pid::ContentCount) << 16) | PT_LONG,
                   tagContentUnread = (uint32_t(pid::ContentUnreadCount) << 16) | PT_LONG,
                   tagSubfolders = (uint32_t(pid::Subfolders) << 16) | PT_BOOLEAN,
                   tagContainerClass = (uint32_t(pid::ContainerClass) << 16) | PT_UNICODE;

// Column layouts of the table templates, in row order: tag, offset, width, CEB bit.
const ColumnDesc kHierarchyCols[] = {{0x67F20003, 0, 4, 0},   {0x67F30003, 4, 4, 1},   {0x3001001F, 8, 4, 2},
                                     {0x36020003, 12, 4, 3},  {0x36030003, 16, 4, 4},  {0x0E300102, 20, 4, 6},
                                     {0x0E330014, 24, 8, 7},  {0x0E340102, 32, 4, 8},  {0x0E380003, 36, 4, 9},
                                     {0x3613001F, 40, 4, 10}, {0x66350003, 44, 4, 11}, {0x66360003, 48, 4, 12},
                                     {0x360A000B, 52, 1, 5}};
const ColumnDesc kContentsCols[] = {
    {0x67F20003, 0, 4, 0},    {0x67F30003, 4, 4, 1},    {0x0E170003, 8, 4, 2},    {0x001A001F, 12, 4, 3},
    {0x0E070003, 16, 4, 4},   {0x00170003, 20, 4, 5},   {0x0042001F, 24, 4, 6},   {0x0037001F, 28, 4, 7},
    {0x0E060040, 32, 8, 8},   {0x00390040, 40, 8, 9},   {0x0E080003, 48, 4, 10},  {0x0E04001F, 52, 4, 11},
    {0x0E03001F, 56, 4, 12},  {0x00360003, 60, 4, 15},  {0x10970003, 64, 4, 16},  {0x0070001F, 68, 4, 17},
    {0x00710102, 72, 4, 18},  {0x30130102, 76, 4, 19},  {0x65C60003, 80, 4, 20},  {0x30080040, 84, 8, 21},
    {0x0E300102, 92, 4, 22},  {0x0E330014, 96, 8, 23},  {0x0E340102, 104, 4, 24}, {0x0E3D0102, 108, 4, 25},
    {0x0E3C0102, 112, 4, 26}, {0x0E380003, 116, 4, 27}, {0x0057000B, 120, 1, 13}, {0x0058000B, 121, 1, 14}};
const ColumnDesc kAssocContentsCols[] = {{0x67F20003, 0, 4, 0},   {0x67F30003, 4, 4, 1},   {0x0E170003, 8, 4, 2},
                                         {0x001A001F, 12, 4, 3},  {0x0E070003, 16, 4, 4},  {0x3001001F, 20, 4, 5},
                                         {0x70030003, 24, 4, 6},  {0x70040102, 28, 4, 7},  {0x70050102, 32, 4, 8},
                                         {0x7006001F, 36, 4, 9},  {0x70070003, 40, 4, 10}, {0x6800001F, 44, 4, 11},
                                         {0x68051003, 48, 4, 13}, {0x682F001F, 52, 4, 14}, {0x6803000B, 56, 1, 12}};
const ColumnDesc kSearchContentsCols[] = {
    {0x67F20003, 0, 4, 0},   {0x67F30003, 4, 4, 1},   {0x67F10003, 8, 4, 2},   {0x0E05001F, 12, 4, 3},
    {0x0E170003, 16, 4, 4},  {0x001A001F, 20, 4, 5},  {0x0E070003, 24, 4, 6},  {0x00170003, 28, 4, 7},
    {0x0042001F, 32, 4, 8},  {0x0037001F, 36, 4, 9},  {0x0E060040, 40, 8, 10}, {0x0E080003, 48, 4, 11},
    {0x0E04001F, 52, 4, 12}, {0x0E03001F, 56, 4, 13}, {0x00360003, 60, 4, 16}, {0x30080040, 64, 8, 18},
    {0x0057000B, 72, 1, 14}, {0x0058000B, 73, 1, 15}, {0x0E2A000B, 74, 1, 17}};
const ColumnDesc kAttachmentCols[] = {{0x67F20003, 0, 4, 0},  {0x67F30003, 4, 4, 1},  {0x370B0003, 8, 4, 2},
                                      {0x0E200003, 12, 4, 3}, {0x37050003, 16, 4, 4}, {0x3704001F, 20, 4, 5}};
const ColumnDesc kRecipientCols[] = {{0x67F20003, 0, 4, 0},   {0x67F30003, 4, 4, 1},   {0x3002001F, 8, 4, 3},
                                     {0x3003001F, 12, 4, 4},  {0x0FFF0102, 16, 4, 5},  {0x3001001F, 20, 4, 6},
                                     {0x0C150003, 24, 4, 7},  {0x300B0102, 28, 4, 8},  {0x0FF90102, 32, 4, 9},
                                     {0x0FFE0003, 36, 4, 10}, {0x39000003, 40, 4, 11}, {0x39FF001F, 44, 4, 13},
                                     {0x0E0F000B, 48, 1, 2},  {0x3A40000B, 49, 1, 12}};

template <size_t N>
TableLayout templateLayout(const ColumnDesc (&cols)[N], uint16_t a, uint16_t b, uint16_t c, uint16_t d) {
    TableLayout l;
    l.cols.assign(cols, cols + N);
    l.rgib[0] = a;
    l.rgib[1] = b;
    l.rgib[2] = c;
    l.rgib[3] = d;
    return l;
}
TableLayout hierarchyLayout() { return templateLayout(kHierarchyCols, 52, 52, 53, 55); }
TableLayout contentsLayout() { return templateLayout(kContentsCols, 120, 120, 122, 126); }
TableLayout assocContentsLayout() { return templateLayout(kAssocContentsCols, 56, 56, 57, 59); }
TableLayout searchContentsLayout() { return templateLayout(kSearchContentsCols, 72, 72, 75, 78); }
TableLayout attachmentTemplateLayout() { return templateLayout(kAttachmentCols, 24, 24, 24, 25); }
TableLayout recipientTemplateLayout() { return templateLayout(kRecipientCols, 48, 48, 50, 52); }

// ---------------------------------------------------------------- encoding helpers

std::string le(uint64_t v, size_t n) {
    std::string s;
    appendLE(s, v, n);
    return s;
}

PropValue pv(uint32_t tag, std::string data) { return PropValue{tag, std::move(data)}; }
PropValue pvLong(uint16_t id, uint32_t v) { return pv((uint32_t(id) << 16) | 0x0003, le(v, 4)); }
PropValue pvBool(uint16_t id, bool v) { return pv((uint32_t(id) << 16) | 0x000B, le(v ? 1 : 0, 1)); }
PropValue pvString(uint16_t id, const std::string& utf8) {
    return pv((uint32_t(id) << 16) | 0x001F, Utf8ToUtf16le(utf8));
}
PropValue pvBinary(uint16_t id, std::string bytes) { return pv((uint32_t(id) << 16) | 0x0102, std::move(bytes)); }
PropValue pvTime(uint16_t id, uint64_t ft) { return pv((uint32_t(id) << 16) | 0x0040, le(ft, 8)); }

// Multi-valued variable-size value: count, offsets, then the elements.
std::string packVariableMulti(const std::vector<std::string>& elems) {
    std::string out = le(elems.size(), 4);
    size_t off = 4 + 4 * elems.size();
    for (const auto& e : elems) {
        out += le(off, 4);
        off += e.size();
    }
    for (const auto& e : elems) out += e;
    return out;
}

// Encodes a model value in the store's form. Returns false for values the
// store does not keep this way (objects).
bool encodeValue(const Property& p, uint16_t& type, std::string& data) {
    type = p.type;
    switch (p.type) {
        case PT_STRING8: type = PT_UNICODE; [[fallthrough]];
        case PT_UNICODE: data = Utf8ToUtf16le(p.textView()); return true;
        case PT_BINARY: data = p.text; return true;
        case PT_CLSID:
            data = p.text;
            data.resize(16, '\0');
            return true;
        case PT_OBJECT: return false;
        case 0x101E: type = PT_MV_UNICODE; [[fallthrough]];
        case PT_MV_UNICODE: {
            std::vector<std::string> e;
            for (const auto& v : p.values) e.push_back(Utf8ToUtf16le(v));
            data = packVariableMulti(e);
            return true;
        }
        case PT_MV_BINARY: data = packVariableMulti(p.values); return true;
        default: break;
    }
    if (size_t f = fixedTypeSize(p.type)) {
        data = le(p.integer, std::min<size_t>(f, 8));
        if (p.type == PT_BOOLEAN) data[0] = p.integer ? 1 : 0;
        return true;
    }
    if (p.type & 0x1000) {  // multi-valued fixed-size: values hold the elements' bytes
        data.clear();
        size_t f = fixedTypeSize(uint16_t(p.type & 0x0FFF));
        for (const auto& v : p.values) {
            std::string e = v;
            if (f) e.resize(f, '\0');
            data += e;
        }
        return true;
    }
    return false;
}

void sortUnique(std::vector<PropValue>& v) {
    // The keys are sorted, not the values: a value is a string and six more
    // words, and a stable sort of them moved each several times (a tenth of
    // the writer's instructions). Id above position keeps equal ids in the
    // order given.
    std::vector<uint64_t> keys(v.size());
    for (size_t i = 0; i < v.size(); ++i) keys[i] = (uint64_t(v[i].tag >> 16) << 32) | i;
    std::sort(keys.begin(), keys.end());
    // One value per property id: the last one given wins.
    std::vector<PropValue> out;
    out.reserve(v.size());
    for (size_t k = 0; k < keys.size(); ++k) {
        PropValue& p = v[uint32_t(keys[k])];
        if (k > 0 && (keys[k] >> 32) == (keys[k - 1] >> 32))
            out.back() = std::move(p);
        else
            out.push_back(std::move(p));
    }
    v.swap(out);
}

const PropValue* findId(const std::vector<PropValue>& v, uint16_t id) {
    for (const auto& p : v)
        if ((p.tag >> 16) == id) return &p;
    return nullptr;
}

void setValue(std::vector<PropValue>& v, PropValue p) {
    for (auto& q : v)
        if ((q.tag >> 16) == (p.tag >> 16)) {
            q = std::move(p);
            return;
        }
    v.push_back(std::move(p));
}

std::string utf8Of(const Property* p) {
    return p && (p->type == PT_UNICODE || p->type == PT_STRING8) ? std::string(p->textView()) : std::string();
}

uint64_t nowFiletime() {
    using namespace std::chrono;
    auto secs = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    return uint64_t(secs) * 10 + 116444736000000000ull;
}

// Length in characters of a subject prefix such as "RE: " (0 when none), in
// a subject given as UTF-16LE bytes.
size_t subjectPrefixLength(std::string_view utf16le) {
    const size_t n = utf16le.size() / 2;
    auto at = [&](size_t i) { return char16_t(uint8_t(utf16le[2 * i]) | (uint8_t(utf16le[2 * i + 1]) << 8)); };
    size_t i = 0;
    while (i < n && i < 4 && at(i) != u':') {
        char16_t c = at(i);
        if (c == u' ' || (c >= u'0' && c <= u'9')) return 0;
        ++i;
    }
    if (i == 0 || i > 3 || i >= n || at(i) != u':') return 0;
    ++i;
    while (i < n && at(i) == u' ') ++i;
    return i;
}

std::u16string asU16(const std::string& utf16le) {
    std::u16string s(utf16le.size() / 2, u'\0');
    for (size_t i = 0; i < s.size(); ++i) s[i] = char16_t(uint8_t(utf16le[2 * i]) | (uint8_t(utf16le[2 * i + 1]) << 8));
    return s;
}

std::string fromU16(const std::u16string& s) {
    std::string out(s.size() * 2, '\0');
    for (size_t i = 0; i < s.size(); ++i) {
        out[2 * i] = char(s[i] & 0xFF);
        out[2 * i + 1] = char(s[i] >> 8);
    }
    return out;
}

bool equalsIgnoreCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = (unsigned char)a[i], y = (unsigned char)b[i];
        if (x >= 'A' && x <= 'Z') x = (unsigned char)(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = (unsigned char)(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

size_t valuesSize(const std::vector<PropValue>& v) {
    size_t n = 0;
    for (const auto& p : v) n += p.size();
    return n;
}

// Property ids a store works out for itself; values given for them are not stored.
bool isComputedMessageProperty(uint16_t id) {
    switch (id) {
        case pid::HasAttachments:
        case ids::SubjectPrefix:
        case ids::NormalizedSubject:
        case ids::EntryId:
        case pid::ParentEntryId:
        case pid::RecordKey:
        case pid::StoreEntryId:
        case ids::ObjectType:
        case pid::MessageRecipients:
        case pid::MessageAttachments:
        case pid::ReplItemid:
        case pid::LtpRowId:
        case pid::LtpRowVer: return true;
        default: return false;
    }
}

// The store's named-property map: (property set, LID or name) -> 0x8000 + index.
class NameMap {
public:
    NameMap() {
        NamedKey account;
        account.propertySet = ids::PSETID_Common;
        account.lid = 0x8580;
        idFor(account);
        NamedKey cc;
        cc.propertySet = ids::PS_INTERNET_HEADERS;
        cc.isString = true;
        cc.name = "content-class";
        idFor(cc);
    }

    // 0 when the map is full.
    uint16_t idFor(const NamedKey& k) {
        std::string key(reinterpret_cast<const char*>(k.propertySet.data()), 16);
        key += k.isString ? "S" + k.name : "L" + le(k.lid, 4);
        auto it = index_.find(key);
        if (it != index_.end()) return uint16_t(0x8000 + it->second);
        if (entries_.size() >= 0x7FFE) return 0;
        uint16_t idx = uint16_t(entries_.size());
        index_.emplace(std::move(key), idx);
        entries_.push_back(k);
        return uint16_t(0x8000 + idx);
    }

    std::vector<PropValue> properties() const {
        std::vector<Guid> guids;
        std::string entryStream, stringStream;
        std::vector<std::string> buckets(251);
        for (size_t i = 0; i < entries_.size(); ++i) {
            const NamedKey& k = entries_[i];
            uint16_t wGuid;
            if (k.propertySet == ids::PS_MAPI) {
                wGuid = 1;
            } else if (k.propertySet == ids::PS_PUBLIC_STRINGS) {
                wGuid = 2;
            } else {
                auto it = std::find(guids.begin(), guids.end(), k.propertySet);
                if (it == guids.end()) {
                    guids.push_back(k.propertySet);
                    it = guids.end() - 1;
                }
                wGuid = uint16_t(3 + (it - guids.begin()));
            }
            uint32_t id, hashKey;
            if (k.isString) {
                std::string name = Utf8ToUtf16le(k.name);
                id = uint32_t(stringStream.size());
                hashKey = pstCrc(name.data(), name.size());
                stringStream += le(name.size(), 4) + name;
                stringStream.resize((stringStream.size() + 3) / 4 * 4, '\0');
            } else {
                id = k.lid;
                hashKey = k.lid;
            }
            const uint16_t word = uint16_t((wGuid << 1) | (k.isString ? 1 : 0));
            entryStream += le(id, 4) + le(word, 2) + le(i, 2);
            buckets[(hashKey ^ word) % 251] += le(hashKey, 4) + le(word, 2) + le(i, 2);
        }
        std::string guidStream;
        for (const auto& g : guids) guidStream.append(reinterpret_cast<const char*>(g.data()), 16);
        std::vector<PropValue> props;
        props.push_back(pvLong(pid::NameidBucketCount, 251));
        props.push_back(pvBinary(pid::NameidStreamGuid, guidStream));
        props.push_back(pvBinary(pid::NameidStreamEntry, entryStream));
        props.push_back(pvBinary(pid::NameidStreamString, stringStream));
        for (uint16_t b = 0; b < 251; ++b)
            if (!buckets[b].empty()) props.push_back(pvBinary(uint16_t(pid::NameidBucketBase + b), buckets[b]));
        return props;
    }

private:
    std::map<std::string, uint16_t> index_;
    std::vector<NamedKey> entries_;
};

}  // namespace

// ---------------------------------------------------------------- the writer

struct PstWriter::Impl {
    struct Folder {
        uint32_t nid = 0;
        uint32_t parent = 0;
        std::string name;
        std::string containerClass;
        uint32_t count = 0;
        uint32_t unread = 0;
        std::vector<uint32_t> children;
        std::unique_ptr<TableBuilder> contents;
        bool acceptsMessages = true;
    };

    struct WrittenMessage {
        NodeRef node;
        uint32_t size = 0;
        std::vector<PropValue> props;
        // What long display lists in `props` (and in the message's property
        // context) make their text with while they are written.
        std::vector<std::unique_ptr<PropValue::Utf8Pieces>> lists;
    };

    NdbWriter ndb;
    std::string path;
    std::string displayName;
    Guid recordKey{};
    std::map<uint32_t, Folder> folders;
    NameMap names;
    // The tables' layouts as the last message had them.
    std::vector<uint32_t> recipientCols;
    TableLayout recipientLayout;
    TableLayout attachmentLayout;
    uint64_t messages = 0;
    uint64_t searchKeySeq = 0;
    bool open = false;

    // Checkpoints: the messages the last committed state holds, and when and
    // where in the file it was committed.
    PstWriter::CheckpointPolicy policy;
    uint64_t durable = 0;
    std::chrono::steady_clock::time_point lastCommit;
    uint64_t lastCommitPosition = 0;
    uint64_t lastCommitBytes = 0;  // what the last checkpoint itself wrote

    // Writes the store as it stands and commits it: a checkpoint, or with
    // `final` the finished store.
    bool commitState(bool final, std::string* error);
    bool checkpointDue() const {
        const uint64_t since = messages - durable;
        if (since == 0) return false;
        if (policy.messages && since >= policy.messages) return true;
        // A checkpoint's own space is left unused once a later one is
        // committed: with many folders and a slow source, checkpoints wait
        // until the messages outweigh it four times, so at most a fifth of the
        // file is such holes.
        const uint64_t written = ndb.position() - lastCommitPosition;
        if (written < 4 * lastCommitBytes) return false;
        if (policy.bytes && written >= policy.bytes) return true;
        return policy.seconds > 0 &&
               std::chrono::steady_clock::now() - lastCommit >= std::chrono::duration<double>(policy.seconds);
    }

    Folder& addFixedFolder(uint32_t nid, uint32_t parent, const std::string& name, const std::string& cls, bool msgs) {
        Folder& f = folders[nid];
        f.nid = nid;
        f.parent = parent;
        f.name = name;
        f.containerClass = cls;
        f.acceptsMessages = msgs;
        if (parent != nid) folders[parent].children.push_back(nid);
        return f;
    }

    std::string entryIdOf(uint32_t nid) const {
        std::string e(4, '\0');
        e.append(reinterpret_cast<const char*>(recordKey.data()), 16);
        e += le(nid, 4);
        return e;
    }

    // Converts a bag to stored values; named properties get ids from the map.
    std::vector<PropValue> encodeBag(const PropertyBag& bag, bool (*skip)(uint16_t)) {
        std::vector<PropValue> out;
        out.reserve(bag.all().size() + 16);
        for (const Property& p : bag.all()) {
            uint16_t id = p.id;
            if (p.named) {
                id = names.idFor(*p.named);
                if (id == 0) continue;
            } else if (id == 0 || id >= 0x8000 || (skip && skip(id))) {
                continue;
            }
            if ((p.type == PT_UNICODE || p.type == PT_STRING8) && p.textView().size() * 2 > kMaxHeapItem) {
                if (size_t n = Utf16leSize(p.textView()); n > kMaxHeapItem) {
                    PropValue text;
                    text.tag = (uint32_t(id) << 16) | PT_UNICODE;
                    // Long strings are converted as they are written.
                    text.utf8 = p.shared ? p.shared.get() : &p.text;
                    text.utf8From = p.shared ? size_t(p.integer) : 0;
                    text.utf16Bytes = n;
                    out.push_back(std::move(text));
                    continue;
                }
            }
            if (p.type == PT_BINARY && p.text.size() > kMaxHeapItem) {
                PropValue big;
                big.tag = (uint32_t(id) << 16) | PT_BINARY;
                big.big = &p.text;  // large binaries are written straight from the message
                out.push_back(std::move(big));
                continue;
            }
            uint16_t type;
            std::string data;
            if (!encodeValue(p, type, data)) continue;
            out.push_back(pv((uint32_t(id) << 16) | type, std::move(data)));
        }
        return out;
    }

    WrittenMessage writeMessage(const Message& msg);
};

namespace {

bool skipAttachmentProperty(uint16_t id) { return id == 0x0E20 /* size: computed */ || id == 0x67F2 || id == 0x67F3; }

// The display list of the recipients of one type as the store shows it, in
// pieces for `f`: each row's display name (else its address), with "; "
// before each once the list is not empty.
void eachDisplayName(const Message& msg, uint32_t type, const std::function<void(std::string_view)>& f) {
    bool any = false;
    auto put = [&](std::string_view name) {
        if (any) f("; ");
        f(name);
        any = any || !name.empty();
    };
    for (size_t i = 0; i < msg.recipients.size(); ++i) {
        const Recipient r = msg.recipients[i];
        if (r.compact()) {
            if (r.recipientType() == type) put(r.name().empty() ? r.address() : r.name());
            continue;
        }
        const Property* rt = r.props.find(pid::RecipientType);
        if ((rt ? uint32_t(rt->integer) : 1) != type) continue;
        std::string name = utf8Of(r.props.find(pid::DisplayName));
        put(name.empty() ? utf8Of(r.props.find(pid::EmailAddress)) : name);
    }
}

std::vector<uint32_t> recipientColumnTags() {
    std::vector<uint32_t> t;
    for (const auto& c : kRecipientCols) t.push_back(c.tag);
    for (uint32_t x : {0x39FE001Fu, 0x5FF6001Fu, 0x5FFD0003u, 0x5FFF0003u, 0x30000003u}) t.push_back(x);
    return t;
}

std::vector<uint32_t> attachmentColumnTags() {
    std::vector<uint32_t> t;
    for (const auto& c : kAttachmentCols) t.push_back(c.tag);
    for (uint32_t x :
         {0x3001001Fu, 0x3703001Fu, 0x3707001Fu, 0x370E001Fu, 0x3712001Fu, 0x37140003u, 0x7FFE000Bu, 0x0E210003u})
        t.push_back(x);
    return t;
}

}  // namespace

PstWriter::Impl::WrittenMessage PstWriter::Impl::writeMessage(const Message& msg) {
    WrittenMessage out;
    std::vector<SubnodeEntry> subnodes;
    uint32_t nextSub = 0x401;

    // Recipient table: every recipient property is a column. The rows are
    // encoded twice, once for the columns and once to be written, rather
    // than all held at once: a message of 100,000 recipients held 300 MB of
    // encoded rows.
    size_t recipientBytes = 0;
    {
        auto encodeRecipient = [&](size_t i) {
            const Recipient r = msg.recipients[i];
            std::vector<PropValue> v;
            std::string name, addr, type;
            bool hasRecipientType = true;
            if (r.compact()) {
                // Encoded from the row's values as they come: the bag row()
                // makes of them cost more than encoding them.
                v.reserve(24);
                r.eachRowValue(uint32_t(i), [&v](const Recipient::RowValue& x) {
                    const uint32_t tag = (uint32_t(x.id) << 16) | x.type;
                    if (x.type == PT_UNICODE) {
                        v.push_back(pv(tag, Utf8ToUtf16le(x.bytes)));
                    } else if (x.type == PT_BINARY) {
                        v.push_back(pv(tag, std::string(x.bytes)));
                    } else {
                        uint16_t type;
                        std::string data;
                        encodeValue(Property::Int(x.id, x.type, x.integer), type, data);
                        v.push_back(pv(tag, std::move(data)));
                    }
                });
                name = r.name();
                addr = r.address();
                type = "SMTP";
            } else {
                const PropertyBag& b = r.props;
                v = encodeBag(b, nullptr);
                for (PropValue& p : v)
                    if (p.utf8 || p.big) {  // they point into `b`, which is made for this row alone
                        std::string bytes;
                        if (p.big)
                            bytes = *p.big;
                        else
                            p.bytes(bytes);
                        p.data = std::move(bytes);
                        p.utf8 = p.big = nullptr;
                    }
                name = utf8Of(b.find(pid::DisplayName));
                addr = utf8Of(b.find(pid::EmailAddress));
                type = utf8Of(b.find(pid::AddressType));
                hasRecipientType = b.find(pid::RecipientType) != nullptr;
            }
            if (type.empty() && !addr.empty()) type = "SMTP";
            if (name.empty()) name = addr;
            setValue(v, pvString(pid::DisplayName, name));
            if (!type.empty()) setValue(v, pvString(pid::AddressType, type));
            if (!findId(v, 0x0FFF)) setValue(v, pvBinary(0x0FFF, OneOffEntryId(name, type, addr)));
            if (!findId(v, 0x300B) && !addr.empty()) setValue(v, pvBinary(0x300B, SearchKey(type, addr)));
            if (!findId(v, 0x39FE) && type == "SMTP" && !addr.empty()) setValue(v, pvString(0x39FE, addr));
            if (!findId(v, 0x5FF6)) setValue(v, pvString(0x5FF6, name));
            if (!findId(v, 0x0FFE)) setValue(v, pvLong(0x0FFE, 6));
            if (!findId(v, 0x3900)) setValue(v, pvLong(0x3900, 0));
            if (!findId(v, 0x0E0F)) setValue(v, pvBool(0x0E0F, false));
            if (!findId(v, 0x3A40)) setValue(v, pvBool(0x3A40, false));
            if (!findId(v, 0x5FFD)) setValue(v, pvLong(0x5FFD, 1));
            if (!findId(v, 0x5FFF)) setValue(v, pvLong(0x5FFF, 0));
            setValue(v, pvLong(0x3000, uint32_t(i)));
            if (!hasRecipientType) setValue(v, pvLong(pid::RecipientType, 1));
            sortUnique(v);
            return v;
        };
        // The rows of the usual message, a few kilobytes, are kept from the
        // first pass rather than encoded again (a fifth of the writer's
        // instructions went to encoding rows).
        constexpr size_t kHeldRowBytes = 1 << 20;
        std::vector<std::vector<PropValue>> held;
        size_t heldBytes = 0;
        bool holding = true;
        std::vector<uint32_t> tags = recipientColumnTags();
        for (size_t i = 0; i < msg.recipients.size(); ++i) {
            std::vector<PropValue> v = encodeRecipient(i);
            for (const auto& p : v) tags.push_back(p.tag);
            const size_t bytes = valuesSize(v);
            recipientBytes += bytes;
            if (holding) {
                heldBytes += bytes + v.size() * sizeof(PropValue);
                holding = heldBytes <= kHeldRowBytes;
                if (holding) {
                    held.push_back(std::move(v));
                } else {
                    held.clear();
                    held.shrink_to_fit();
                }
            }
            if (tags.size() > 4096) {  // bounded however many rows there are
                std::sort(tags.begin(), tags.end());
                tags.erase(std::unique(tags.begin(), tags.end()), tags.end());
            }
        }
        std::sort(tags.begin(), tags.end());
        tags.erase(std::unique(tags.begin(), tags.end()), tags.end());
        // One column per property id: the first type in tag order wins.
        std::vector<uint32_t> cols;
        for (uint32_t t : tags)
            if (cols.empty() || (cols.back() >> 16) != (t >> 16)) cols.push_back(t);
        // Messages mostly have the same columns as the one before.
        if (cols != recipientCols) {
            recipientCols = cols;
            recipientLayout = TableLayout::extend(recipientTemplateLayout(), std::move(cols));
        }
        TableBuilder table(ndb, recipientLayout);
        for (size_t i = 0; i < msg.recipients.size(); ++i) {
            if (holding)
                table.addRow(uint32_t(i), held[i]);
            else
                table.addRow(uint32_t(i), encodeRecipient(i));
        }
        NodeRef r = table.finish();
        subnodes.push_back({kNidRecipientTable, r.bidData, r.bidSub});
    }

    // Attachments: one property context each, then the attachment table.
    size_t attachmentBytes = 0;
    if (!msg.attachments.empty()) {
        std::vector<std::pair<uint32_t, std::vector<PropValue>>> rows;
        for (size_t i = 0; i < msg.attachments.size(); ++i) {
            const Attachment& a = msg.attachments[i];
            const uint32_t attNid = makeNid(kNidTypeAttachment, nextSub++);
            std::vector<PropValue> v = encodeBag(a.props, skipAttachmentProperty);
            std::vector<SubnodeEntry> attSubs;
            uint32_t attNext = 0x401;
            const Property* m = a.props.find(pid::AttachMethod);
            uint32_t method = m ? uint32_t(m->integer) : 1;
            size_t contentSize = 0;
            if (a.embedded) {
                WrittenMessage em = writeMessage(*a.embedded);
                const uint32_t embNid = makeNid(kNidTypeNormalMessage, ++ndb.rgnid[kNidTypeNormalMessage]);
                attSubs.push_back({embNid, em.node.bidData, em.node.bidSub});
                setValue(v, pv((uint32_t(pid::AttachDataBinary) << 16) | PT_OBJECT, le(embNid, 4) + le(em.size, 4)));
                method = 5;
                contentSize = em.size;
                if (!findId(v, pid::DisplayName)) {
                    std::u16string s;
                    std::string scratch;
                    if (const PropValue* subj = findId(em.props, pid::Subject)) s = asU16(subj->bytes(scratch));
                    if (s.size() >= 2 && s[0] == 1) s = s.substr(2);
                    setValue(v, pv(tagDisplayName, fromU16(s)));
                }
            } else if (const PropValue* data = findId(v, pid::AttachDataBinary)) {
                contentSize = data->size();
            }
            setValue(v, pvLong(pid::AttachMethod, method));
            if (!findId(v, pid::RenderingPosition)) setValue(v, pvLong(pid::RenderingPosition, 0xFFFFFFFF));
            if (!findId(v, pid::AttachNumber)) setValue(v, pvLong(pid::AttachNumber, uint32_t(i)));
            size_t otherBytes = 0;
            for (const auto& p : v)
                if ((p.tag >> 16) != pid::AttachDataBinary) otherBytes += p.size() + 8;
            const size_t attachSize = std::min<size_t>(contentSize + otherBytes, 0x7FFFFFFF);
            setValue(v, pvLong(pid::AttachSize, uint32_t(attachSize)));
            attachmentBytes += attachSize;
            sortUnique(v);
            const uint64_t bidData = writePropertyContext(ndb, v, attSubs, attNext);
            const uint64_t bidSub = ndb.writeSubnodeTree(std::move(attSubs));
            subnodes.push_back({attNid, bidData, bidSub});
            v.erase(std::remove_if(v.begin(), v.end(),
                                   [](const PropValue& p) { return (p.tag >> 16) == pid::AttachDataBinary; }),
                    v.end());
            rows.emplace_back(attNid, std::move(v));
        }
        if (attachmentLayout.cols.empty())
            attachmentLayout = TableLayout::extend(attachmentTemplateLayout(), attachmentColumnTags());
        TableBuilder table(ndb, attachmentLayout);
        for (const auto& r : rows) table.addRow(r.first, r.second);
        NodeRef r = table.finish();
        subnodes.push_back({kNidAttachmentTable, r.bidData, r.bidSub});
    }

    // The message's own properties, with the values a store works out itself.
    std::vector<PropValue> v = encodeBag(msg.props, isComputedMessageProperty);
    for (auto& p : v)
        if ((p.tag >> 16) == pid::Subject && p.type() == PT_UNICODE) {
            if (p.utf8 && findId(v, 0x0070)) {
                // A long subject, still in UTF-8: only the marker is added.
                const std::string_view t = p.utf8Text();
                if (t[0] == '\x01') break;                  // already in the marked form
                size_t k = std::min<size_t>(t.size(), 16);  // the prefix is in here, with all its blanks
                while (k < t.size() && (t[k - 1] == ' ' || (uint8_t(t[k]) & 0xC0) == 0x80)) ++k;
                const size_t prefix = subjectPrefixLength(Utf8ToUtf16le(std::string_view(t).substr(0, k)));
                p.data = std::string("\x01\0", 2) + char((prefix + 1) & 0xFF) + char((prefix + 1) >> 8);
                break;
            }
            if (p.utf8) {
                std::string scratch;
                p.bytes(scratch);
                p.data = std::move(scratch);
                p.utf8 = nullptr;
            }
            // Worked on in its UTF-16LE bytes, so that a long subject is not
            // copied into other forms on the way.
            const std::string& s = p.bytes();
            if (s.size() < 2 || (s.size() >= 4 && s[0] == 1 && s[1] == 0)) break;  // empty, or already marked
            const size_t prefix = subjectPrefixLength(s);
            const bool addTopic = !findId(v, 0x0070);
            std::string topic = addTopic ? s.substr(2 * prefix) : std::string();
            std::string marked;
            marked.reserve(s.size() + 4);
            marked += '\x01';
            marked += '\0';
            marked += char((prefix + 1) & 0xFF);
            marked += char((prefix + 1) >> 8);
            marked += s;
            p.data = std::move(marked);
            p.big = nullptr;
            if (addTopic) v.push_back(pv(0x0070001F, std::move(topic)));  // after: it may move `p`
            break;
        }
    if (!findId(v, pid::MessageClass)) setValue(v, pvString(pid::MessageClass, "IPM.Note"));
    const Property* fl = msg.props.find(pid::MessageFlags);
    uint32_t flags = fl ? uint32_t(fl->integer) : 0x01;
    flags = (flags & ~0x10u) | (msg.attachments.empty() ? 0u : 0x10u);
    setValue(v, pvLong(pid::MessageFlags, flags));
    if (!findId(v, pid::MessageStatus)) setValue(v, pvLong(pid::MessageStatus, 0));
    if (!findId(v, pid::Importance)) setValue(v, pvLong(pid::Importance, 1));
    if (!findId(v, ids::Sensitivity)) setValue(v, pvLong(ids::Sensitivity, 0));
    uint64_t when = 0;
    for (uint16_t id : {pid::MessageDeliveryTime, pid::ClientSubmitTime})
        if (const Property* t = msg.props.find(id); t && t->type == PT_SYSTIME && !when) when = t->integer;
    if (!when) when = nowFiletime();
    if (!findId(v, pid::CreationTime)) setValue(v, pvTime(pid::CreationTime, when));
    if (!findId(v, pid::LastModificationTime)) setValue(v, pvTime(pid::LastModificationTime, when));
    if (!findId(v, 0x300B)) {
        std::string key(reinterpret_cast<const char*>(recordKey.data()), 16);
        ++searchKeySeq;
        for (int i = 0; i < 8; ++i)
            key[size_t(8 + i)] = char(uint8_t(key[size_t(8 + i)]) ^ uint8_t(searchKeySeq >> (8 * i)));
        setValue(v, pvBinary(0x300B, key));
    }
    // The display lists are made from the rows, whatever the message holds:
    // with many recipients a list is about as long as the message's address
    // fields, and a long one is made and converted a piece at a time as it
    // is written (held, a To: of 9 MB cost 9 MB in UTF-8, or twice that
    // converted).
    for (uint32_t type : {1u, 2u, 3u}) {
        const uint16_t id = type == 1 ? pid::DisplayTo : type == 2 ? pid::DisplayCc : pid::DisplayBcc;
        auto pieces = std::make_unique<PropValue::Utf8Pieces>(
            [&msg, type](const std::function<void(std::string_view)>& f) { eachDisplayName(msg, type, f); });
        size_t n = 0;
        (*pieces)([&](std::string_view piece) { n += Utf16leSize(piece); });
        if (n > kMaxHeapItem) {
            PropValue text;
            text.tag = (uint32_t(id) << 16) | PT_UNICODE;
            text.pieces = pieces.get();
            text.utf16Bytes = n;
            out.lists.push_back(std::move(pieces));
            setValue(v, std::move(text));
        } else {
            std::string list;
            (*pieces)([&](std::string_view piece) { list += piece; });
            setValue(v, pvString(id, list));
        }
    }
    size_t total = recipientBytes + attachmentBytes;
    for (const auto& p : v) total += p.size() + 8;
    out.size = uint32_t(std::min<size_t>(total + 8, 0x7FFFFFFF));
    setValue(v, pvLong(pid::MessageSize, out.size));
    sortUnique(v);

    out.node.bidData = writePropertyContext(ndb, v, subnodes, nextSub);
    out.node.bidSub = ndb.writeSubnodeTree(std::move(subnodes));

    // Keep what the folder's contents row shows.
    static const std::vector<uint32_t> shown = [] {
        std::vector<uint32_t> tags;
        for (const auto& c : kContentsCols) tags.push_back(c.tag);
        std::sort(tags.begin(), tags.end());
        return tags;
    }();
    out.props.reserve(shown.size());
    for (auto& p : v)
        if (std::binary_search(shown.begin(), shown.end(), p.tag)) out.props.push_back(std::move(p));
    return out;
}

PstWriter::PstWriter() = default;

PstWriter::~PstWriter() {
    if (d_ && d_->open) close(nullptr);
}

bool PstWriter::isOpen() const { return d_ && d_->open; }

uint64_t PstWriter::messageCount() const { return d_ ? d_->messages : 0; }

uint64_t PstWriter::durableMessageCount() const { return d_ ? d_->durable : 0; }

namespace {
PstWriter::CheckpointPolicy gDefaultPolicy;
}

void PstWriter::setCheckpointPolicy(const CheckpointPolicy& policy) {
    if (d_) d_->policy = policy;
}

void PstWriter::setDefaultCheckpointPolicy(const CheckpointPolicy& policy) { gDefaultPolicy = policy; }

uint32_t PstWriter::rootFolder() const { return kNidIpmSubtree; }

uint32_t PstWriter::deletedItemsFolder() const { return kNidDeletedItems; }

bool PstWriter::create(const std::string& path, const std::string& displayName, std::string* error) {
    if (d_ && d_->open) {
        if (error) *error = "a store is already open";
        return false;
    }
    d_ = std::make_unique<Impl>();
    d_->policy = gDefaultPolicy;
    if (!d_->ndb.create(path, error)) {
        d_.reset();
        return false;
    }
    d_->path = path;
    d_->displayName = displayName;
    std::random_device rd;
    for (size_t i = 0; i < 16; i += 4) {
        uint32_t r = rd();
        for (size_t k = 0; k < 4; ++k) d_->recordKey[i + k] = uint8_t(r >> (8 * k));
    }
    // The fixed folders take node indexes 0x401..0x403; user folders follow.
    for (uint32_t t : {kNidTypeNormalFolder, kNidTypeHierarchyTable, kNidTypeContentsTable, kNidTypeAssocContentsTable})
        d_->ndb.rgnid[t] = 0x403;
    d_->addFixedFolder(kNidRootFolder, kNidRootFolder, "", "", false);
    d_->addFixedFolder(kNidIpmSubtree, kNidRootFolder, "Top of Personal Folders", "", false);
    d_->addFixedFolder(kNidSearchRoot, kNidRootFolder, "Search Root", "", false);
    d_->addFixedFolder(kNidDeletedItems, kNidIpmSubtree, "Deleted Items", "IPF.Note", true);
    // The first header already points at a whole, empty store.
    if (!d_->commitState(false, error)) {
        d_->ndb.abandon();
        std::remove(path.c_str());
        d_.reset();
        return false;
    }
    d_->open = true;
    return true;
}

uint32_t PstWriter::findFolder(uint32_t parent, const std::string& name) const {
    if (!d_) return 0;
    auto it = d_->folders.find(parent);
    if (it == d_->folders.end()) return 0;
    for (uint32_t c : it->second.children)
        if (equalsIgnoreCase(d_->folders.at(c).name, name)) return c;
    return 0;
}

uint32_t PstWriter::addFolder(uint32_t parentFolder, const std::string& name, std::string* error) {
    auto fail = [&](const std::string& why) -> uint32_t {
        if (error) *error = why;
        return 0;
    };
    if (!isOpen()) return fail("the store is not open");
    auto it = d_->folders.find(parentFolder);
    if (it == d_->folders.end() || parentFolder == kNidRootFolder || parentFolder == kNidSearchRoot)
        return fail("no such parent folder");
    if (name.empty()) return fail("a folder needs a name");
    if (findFolder(parentFolder, name)) return fail("a folder named \"" + name + "\" already exists there");
    uint32_t& last = d_->ndb.rgnid[kNidTypeNormalFolder];
    if (last + 1 >= 0x10000) return fail("too many folders in one store");
    ++last;
    for (uint32_t t : {kNidTypeHierarchyTable, kNidTypeContentsTable, kNidTypeAssocContentsTable})
        d_->ndb.rgnid[t] = last;
    const uint32_t nid = makeNid(kNidTypeNormalFolder, last);
    d_->addFixedFolder(nid, parentFolder, name, "IPF.Note", true);
    return nid;
}

namespace {

// Data trees count a value's bytes in 32 bits, and text doubles in UTF-16:
// values of 2 GiB or more are refused before anything is written.
bool fitsInStore(const Message& msg) {
    auto bagFits = [](const PropertyBag& b) {
        for (const Property& p : b.all()) {
            size_t total = p.textView().size();
            for (const auto& v : p.values) total += v.size();
            if (total >= 0x7FFFFFFF) return false;
        }
        return true;
    };
    if (!bagFits(msg.props)) return false;
    for (size_t i = 0; i < msg.recipients.size(); ++i) {
        const Recipient r = msg.recipients[i];
        // The longest value of a compact row is its one-off entry id: name
        // and address in UTF-16 and a few bytes more. Rows of shorter texts
        // fit without being made.
        if (r.compact() && r.name().size() + r.address().size() < (size_t(1) << 28)) continue;
        if (!bagFits(r.row(uint32_t(i)))) return false;
    }
    for (uint32_t type : {1u, 2u, 3u}) {
        size_t total = 0;
        eachDisplayName(msg, type, [&](std::string_view piece) { total += piece.size(); });
        if (total >= 0x7FFFFFFF) return false;
    }
    for (const auto& a : msg.attachments)
        if (!bagFits(a.props) || (a.embedded && !fitsInStore(*a.embedded))) return false;
    return true;
}

}  // namespace

bool PstWriter::addMessage(uint32_t folder, const store::Message& msg, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    if (!isOpen()) return fail("the store is not open");
    auto it = d_->folders.find(folder);
    if (it == d_->folders.end() || !it->second.acceptsMessages) return fail("no such mail folder");
    if (d_->ndb.failed()) return fail(d_->ndb.ioError());
    if (!fitsInStore(msg)) return fail("the message has a value of 2 GiB or more, which a store cannot hold");
    Impl::Folder& f = it->second;
    Impl::WrittenMessage w = d_->writeMessage(msg);
    const uint32_t nid = makeNid(kNidTypeNormalMessage, ++d_->ndb.rgnid[kNidTypeNormalMessage]);
    if (d_->ndb.failed()) return fail(d_->ndb.ioError());
    d_->ndb.addMessageNode(nid, w.node.bidData, w.node.bidSub, folder);
    if (!f.contents) f.contents = std::make_unique<TableBuilder>(d_->ndb, contentsLayout());
    f.contents->addRow(nid, w.props);
    ++f.count;
    const PropValue* flags = findId(w.props, pid::MessageFlags);
    if (!flags || !(uint8_t(flags->data[0]) & 0x01)) ++f.unread;
    ++d_->messages;
    if (d_->checkpointDue() && !d_->commitState(false, error)) {
        --d_->messages;  // the store cannot take more: this message will not be in it
        return false;
    }
    return true;
}

namespace {

std::vector<PropValue> folderProperties(const std::string& name, uint32_t count, uint32_t unread, bool subfolders,
                                        const std::string& containerClass) {
    std::vector<PropValue> v;
    v.push_back(pv(tagDisplayName, Utf8ToUtf16le(name)));
    v.push_back(pv(tagContentCount, le(count, 4)));
    v.push_back(pv(tagContentUnread, le(unread, 4)));
    v.push_back(pv(tagSubfolders, le(subfolders ? 1 : 0, 1)));
    if (!containerClass.empty()) v.push_back(pv(tagContainerClass, Utf8ToUtf16le(containerClass)));
    sortUnique(v);
    return v;
}

}  // namespace

bool PstWriter::close(std::string* error) {
    if (!isOpen()) {
        if (error) *error = "the store is not open";
        return false;
    }
    d_->open = false;
    // A store that cannot be finished keeps its last checkpoint: the file
    // stays, holding the first durableMessageCount() messages.
    if (!d_->commitState(true, error)) {
        d_->ndb.abandon();
        return false;
    }
    d_->durable = d_->messages;
    return true;
}

bool PstWriter::Impl::commitState(bool final, std::string* error) {
    Impl& d = *this;
    if (ndb.failed()) {
        if (error) *error = ndb.ioError();
        return false;
    }
    ndb.beginState(!final);
    const uint64_t start = ndb.position();

    auto writePc = [&](uint32_t nid, const std::vector<PropValue>& props, uint32_t parent) {
        std::vector<SubnodeEntry> subs;
        uint32_t next = 0x401;
        const uint64_t bid = writePropertyContext(ndb, props, subs, next);
        ndb.addNode(nid, bid, ndb.writeSubnodeTree(std::move(subs)), parent);
    };
    auto writeEmptyTable = [&](uint32_t nid, TableLayout layout) {
        TableBuilder t(ndb, std::move(layout));
        NodeRef r = t.finish();
        ndb.addNode(nid, r.bidData, r.bidSub, 0);
    };
    const std::string spamName = "SPAM Search Folder 2";

    // Folders: contents, associated contents and hierarchy tables, then the folder itself.
    for (auto& [nid, f] : d.folders) {
        const uint32_t index = nid >> 5;
        NodeRef c = !f.contents ? TableBuilder(ndb, contentsLayout()).finish()
                    : final     ? f.contents->finish()
                                : f.contents->snapshot();
        if (final) f.contents.reset();
        ndb.addNode(makeNid(kNidTypeContentsTable, index), c.bidData, c.bidSub, 0);
        writeEmptyTable(makeNid(kNidTypeAssocContentsTable, index), assocContentsLayout());

        std::vector<uint32_t> children = f.children;
        if (nid == kNidRootFolder) children.push_back(kNidSpamSearchFolder);
        std::sort(children.begin(), children.end());
        TableBuilder h(ndb, hierarchyLayout());
        for (uint32_t child : children) {
            if (child == kNidSpamSearchFolder) {
                h.addRow(child, folderProperties(spamName, 0, 0, false, ""));
                continue;
            }
            const Impl::Folder& cf = d.folders.at(child);
            h.addRow(child, folderProperties(cf.name, cf.count, cf.unread, !cf.children.empty(), cf.containerClass));
        }
        NodeRef hr = h.finish();
        ndb.addNode(makeNid(kNidTypeHierarchyTable, index), hr.bidData, hr.bidSub, 0);

        writePc(nid, folderProperties(f.name, f.count, f.unread, !children.empty(), f.containerClass), f.parent);
    }

    // The search folder every store carries, with its queue, criteria and table.
    writePc(kNidSpamSearchFolder, folderProperties(spamName, 0, 0, false, ""), kNidRootFolder);
    ndb.addNode(kNidSpamSearchQueue, 0, 0, 0);
    writePc(kNidSpamSearchCriteria, {pv(0x660B0003, le(0, 4))}, 0);
    writeEmptyTable(kNidSpamSearchContents, searchContentsLayout());

    // Table templates.
    writeEmptyTable(kNidHierarchyTemplate, hierarchyLayout());
    writeEmptyTable(kNidContentsTemplate, contentsLayout());
    writeEmptyTable(kNidAssocContentsTemplate, assocContentsLayout());
    writeEmptyTable(kNidSearchContentsTemplate, searchContentsLayout());
    writeEmptyTable(kNidAttachmentTable, attachmentTemplateLayout());
    writeEmptyTable(kNidRecipientTable, recipientTemplateLayout());

    // Search queues: empty, and the activity list naming the search folder.
    ndb.addNode(kNidSearchManagementQueue, 0, 0, 0);
    {
        uint8_t sal[4];
        put32(sal, kNidSpamSearchFolder);
        ndb.addNode(kNidSearchActivityList, ndb.writeBlock(sal, 4), 0, 0);
    }
    ndb.addNode(kNidSearchDomainObject, 0, 0, 0);

    writePc(kNidNameToIdMap, d.names.properties(), 0);

    std::vector<PropValue> store;
    store.push_back(pvBinary(pid::RecordKey, std::string(reinterpret_cast<const char*>(d.recordKey.data()), 16)));
    store.push_back(pvString(pid::DisplayName, d.displayName));
    store.push_back(pvLong(pid::ValidFolderMask, 0x89));
    store.push_back(pvBinary(pid::IpmSubtreeEntryId, d.entryIdOf(kNidIpmSubtree)));
    store.push_back(pvBinary(pid::IpmWastebasketEntryId, d.entryIdOf(kNidDeletedItems)));
    store.push_back(pvBinary(pid::FinderEntryId, d.entryIdOf(kNidSearchRoot)));
    store.push_back(pvLong(pid::PstPassword, 0));
    sortUnique(store);
    writePc(kNidMessageStore, store, 0);

    if (!ndb.commit(error)) return false;
    durable = messages;
    lastCommit = std::chrono::steady_clock::now();
    lastCommitPosition = ndb.position();
    lastCommitBytes = lastCommitPosition - start;
    return true;
}

}  // namespace store::pst
