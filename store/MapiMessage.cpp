#include "store/MapiMessage.h"

#include <algorithm>

#include "store/MapiAddress.h"
#include "store/MapiIds.h"

namespace store {

void PropertyBag::set(Property p) {
    auto same = [&](const Property& q) {
        if (p.named || q.named) return p.named && q.named && *p.named == *q.named;
        return q.id == p.id;
    };
    auto it = std::find_if(props_.begin(), props_.end(), same);
    if (it != props_.end())
        *it = std::move(p);
    else
        props_.push_back(std::move(p));
}

Property Property::Int(uint16_t id, uint16_t type, uint64_t value) {
    Property p;
    p.id = id;
    p.type = type;
    p.integer = value;
    return p;
}

Property Property::Text(uint16_t id, std::string utf8) { return Bytes(id, PT_UNICODE, std::move(utf8)); }

Property Property::SharedText(uint16_t id, std::shared_ptr<const std::string> utf8, size_t from) {
    Property p;
    p.id = id;
    p.type = PT_UNICODE;
    p.integer = std::min(from, utf8->size());
    p.shared = std::move(utf8);
    return p;
}

Property Property::RecipientNames(uint16_t id, uint32_t recipientType) {
    return Int(id, PT_UNICODE, kRecipientNames | (recipientType & 0x0F));
}

Property Property::Binary(uint16_t id, std::string bytes) { return Bytes(id, PT_BINARY, std::move(bytes)); }

Property Property::Bytes(uint16_t id, uint16_t type, std::string bytes) {
    Property p;
    p.id = id;
    p.type = type;
    p.text = std::move(bytes);
    return p;
}

void PropertyBag::setInt(uint16_t id, uint16_t type, uint64_t v) { set(Property::Int(id, type, v)); }

void PropertyBag::setString(uint16_t id, std::string utf8) { set(Property::Text(id, std::move(utf8))); }

void PropertyBag::setBinary(uint16_t id, std::string bytes) { set(Property::Binary(id, std::move(bytes))); }

void PropertyBag::setNamed(const NamedKey& key, uint16_t type, Property value) {
    value.named = std::make_shared<const NamedKey>(key);
    value.type = type;
    value.id = 0;
    set(std::move(value));
}

const Property* PropertyBag::find(uint16_t id) const {
    for (const auto& p : props_)
        if (!p.named && p.id == id) return &p;
    return nullptr;
}

const Property* PropertyBag::findNamed(const NamedKey& key) const {
    for (const auto& p : props_)
        if (p.named && *p.named == key) return &p;
    return nullptr;
}

bool PropertyBag::remove(uint16_t id) {
    auto it = std::find_if(props_.begin(), props_.end(), [&](const Property& q) { return !q.named && q.id == id; });
    if (it == props_.end()) return false;
    props_.erase(it);
    return true;
}

Recipient Recipient::Smtp(uint32_t recipientType, std::string_view name, std::string_view address) {
    Recipient r;
    r.kind_ = uint8_t(kCompact | (recipientType & 0x0F));
    if (name == address) {
        r.kind_ |= kNameIsAddress;
        r.text_ = address;
    } else {
        r.text_.reserve(name.size() + address.size());
        r.text_.append(name).append(address);
        r.nameSize_ = uint32_t(name.size());
    }
    return r;
}

std::string_view Recipient::name() const {
    return kind_ & kNameIsAddress ? std::string_view(text_) : std::string_view(text_).substr(0, nameSize_);
}

std::string_view Recipient::address() const {
    return kind_ & kNameIsAddress ? std::string_view(text_) : std::string_view(text_).substr(nameSize_);
}

void RecipientList::addSmtp(uint32_t recipientType, std::string_view name, std::string_view address) {
    uint8_t kind = uint8_t(Recipient::kCompact | (recipientType & 0x0F));
    const bool same = name == address;
    // A name too long for its field of the row, or text past what a row can
    // point at, makes a full row instead; neither comes from a real message.
    if ((!same && name.size() >= (uint64_t(1) << kNameBits)) ||
        text_.size() + name.size() + address.size() >= (uint64_t(1) << kTextBits)) {
        Recipient r = Recipient::Smtp(recipientType, name, address);
        bagRows_.push_back(rows_.size());
        rows_.push_back(uint64_t(text_.size()));
        bags_.push_back(r.row(uint32_t(rows_.size() - 1)));
        return;
    }
    uint64_t row = uint64_t(text_.size());
    if (same) {
        kind |= Recipient::kNameIsAddress;
        text_.append(address);
    } else {
        row |= uint64_t(name.size()) << kTextBits;
        text_.append(name).append(address);
    }
    rows_.push_back(row | uint64_t(kind) << 56);
}

void RecipientList::push_back(Recipient r) {
    if (r.compact()) return addSmtp(r.recipientType(), r.name(), r.address());
    bagRows_.push_back(rows_.size());
    rows_.push_back(uint64_t(text_.size()));
    bags_.push_back(std::move(r.props));
}

std::string_view RecipientList::textOf(size_t i) const {
    constexpr uint64_t kAt = (uint64_t(1) << kTextBits) - 1;
    const size_t from = size_t(rows_[i] & kAt);
    const size_t to = i + 1 < rows_.size() ? size_t(rows_[i + 1] & kAt) : text_.size();
    return std::string_view(text_).substr(from, to - from);
}

Recipient RecipientList::operator[](size_t i) const {
    const uint8_t kind = uint8_t(rows_[i] >> 56);
    if (kind == 0) {
        Recipient r;
        r.props = bags_[size_t(std::lower_bound(bagRows_.begin(), bagRows_.end(), i) - bagRows_.begin())];
        return r;
    }
    const std::string_view text = textOf(i);
    if (kind & Recipient::kNameIsAddress) return Recipient::Smtp(kind & 0x0F, text, text);
    const size_t nameSize = size_t((rows_[i] >> kTextBits) & ((uint64_t(1) << kNameBits) - 1));
    return Recipient::Smtp(kind & 0x0F, text.substr(0, nameSize), text.substr(nameSize));
}

void RecipientList::eachDisplayName(uint32_t recipientType, const std::function<void(std::string_view)>& f) const {
    bool first = true;
    auto put = [&](std::string_view name) {
        if (name.empty()) return;
        if (!first) f("; ");
        f(name);
        first = false;
    };
    size_t bag = 0;
    for (size_t i = 0; i < rows_.size(); ++i) {
        const uint8_t kind = uint8_t(rows_[i] >> 56);
        if (kind != 0) {
            if ((kind & 0x0F) != recipientType) continue;
            // A compact row's name is never empty unless its address is, or
            // it is the whole text.
            const std::string_view text = textOf(i);
            const size_t nameSize = kind & Recipient::kNameIsAddress
                                        ? text.size()
                                        : size_t((rows_[i] >> kTextBits) & ((uint64_t(1) << kNameBits) - 1));
            put(nameSize ? text.substr(0, nameSize) : text);
            continue;
        }
        const PropertyBag& b = bags_[bag++];
        const Property* type = b.find(pid::RecipientType);
        if (!type || (uint32_t(type->integer) & 0x0F) != recipientType) continue;
        const Property* name = b.find(pid::DisplayName);
        if (!name || name->textView().empty()) name = b.find(pid::EmailAddress);
        if (name) put(name->textView());
    }
}

std::string RecipientList::displayList(uint32_t recipientType) const {
    std::string out;
    eachDisplayName(recipientType, [&](std::string_view piece) { out += piece; });
    return out;
}

PropertyBag Recipient::row(uint32_t index) const {
    if (!compact()) return props;
    PropertyBag p;
    p.reserve(15);
    eachRowValue(index, [&p](const RowValue& v) {
        if (v.type == PT_UNICODE)
            p.setString(v.id, std::string(v.bytes));
        else if (v.type == PT_BINARY)
            p.setBinary(v.id, std::string(v.bytes));
        else
            p.setInt(v.id, v.type, v.integer);
    });
    return p;
}

void Recipient::eachRowValue(uint32_t index, const std::function<void(const RowValue&)>& f) const {
    const std::string_view name = this->name(), address = this->address();
    auto text = [&](uint16_t id, std::string_view t) { f({id, PT_UNICODE, 0, t}); };
    auto binary = [&](uint16_t id, std::string_view b) { f({id, PT_BINARY, 0, b}); };
    auto number = [&](uint16_t id, uint16_t type, uint64_t v) { f({id, type, v, {}}); };
    // The order is the order the writers have always met these in: the
    // .msg writer stores properties as it finds them.
    number(pid::RecipientType, PT_LONG, recipientType());
    text(pid::DisplayName, name);
    text(ids::RecipientDisplayName, name);
    text(ids::TransmittableDisplayName, name);
    text(pid::AddressType, "SMTP");
    text(pid::EmailAddress, address);
    if (!address.empty()) {
        text(ids::SmtpAddress, address);
        binary(ids::SearchKey, SmtpSearchKey(address));
    }
    const std::string entryId = OneOffEntryId(name, address);
    binary(ids::EntryId, entryId);
    binary(ids::RecipientEntryId, entryId);
    number(ids::Rowid, PT_LONG, index);
    number(ids::ObjectType, PT_LONG, ids::MAPI_MAILUSER);
    number(ids::DisplayType, PT_LONG, ids::DT_MAILUSER);
    number(ids::SendRichInfo, PT_BOOLEAN, 0);
    number(ids::RecipientFlags, PT_LONG, 1);  // sendable
}

}  // namespace store
