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

Property Property::Text(uint16_t id, std::string utf8) {
    Property p;
    p.id = id;
    p.type = PT_UNICODE;
    p.text = std::move(utf8);
    return p;
}

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

Property Property::Binary(uint16_t id, std::string bytes) {
    Property p;
    p.id = id;
    p.type = PT_BINARY;
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
    auto it = std::find_if(props_.begin(), props_.end(),
                           [&](const Property& q) { return !q.named && q.id == id; });
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
    Row row{uint64_t(text_.size()), uint32_t(name.size()), uint32_t(address.size())};
    if (name == address) {
        kind |= Recipient::kNameIsAddress;
        text_.append(address);
    } else {
        text_.append(name).append(address);
    }
    row.at |= uint64_t(kind) << 56;
    rows_.push_back(row);
}

void RecipientList::push_back(Recipient r) {
    if (r.compact()) return addSmtp(r.recipientType(), r.name(), r.address());
    rows_.push_back(Row{uint64_t(bags_.size()), 0, 0});
    bags_.push_back(std::move(r.props));
}

Recipient RecipientList::operator[](size_t i) const {
    const Row& row = rows_[i];
    const uint8_t kind = uint8_t(row.at >> 56);
    const size_t at = size_t(row.at & ((uint64_t(1) << 56) - 1));
    if (kind == 0) {
        Recipient r;
        r.props = bags_[at];
        return r;
    }
    const std::string_view text(text_);
    const std::string_view name = text.substr(at, row.nameSize);
    const std::string_view address = kind & Recipient::kNameIsAddress ? name : text.substr(at + row.nameSize, row.addressSize);
    return Recipient::Smtp(kind & 0x0F, name, address);
}

void RecipientList::eachDisplayName(uint32_t recipientType, const std::function<void(std::string_view)>& f) const {
    bool first = true;
    auto put = [&](std::string_view name) {
        if (name.empty()) return;
        if (!first) f("; ");
        f(name);
        first = false;
    };
    const std::string_view text(text_);
    for (const Row& row : rows_) {
        const uint8_t kind = uint8_t(row.at >> 56);
        const size_t at = size_t(row.at & ((uint64_t(1) << 56) - 1));
        if (kind != 0) {
            if ((kind & 0x0F) != recipientType) continue;
            // A compact row's name is never empty unless its address is.
            put(text.substr(at, row.nameSize).empty() ? text.substr(at + row.nameSize, row.addressSize)
                                                      : text.substr(at, row.nameSize));
            continue;
        }
        const PropertyBag& bag = bags_[at];
        const Property* type = bag.find(pid::RecipientType);
        if (!type || (uint32_t(type->integer) & 0x0F) != recipientType) continue;
        const Property* name = bag.find(pid::DisplayName);
        if (!name || name->textView().empty()) name = bag.find(pid::EmailAddress);
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
    const std::string name(this->name()), address(this->address());
    // The order is the order the writers have always met these in: the
    // .msg writer stores properties as it finds them.
    PropertyBag p;
    p.reserve(15);
    p.setLong(pid::RecipientType, recipientType());
    p.setString(pid::DisplayName, name);
    p.setString(ids::RecipientDisplayName, name);
    p.setString(ids::TransmittableDisplayName, name);
    p.setString(pid::AddressType, "SMTP");
    p.setString(pid::EmailAddress, address);
    if (!address.empty()) {
        p.setString(ids::SmtpAddress, address);
        p.setBinary(ids::SearchKey, SmtpSearchKey(address));
    }
    std::string entryId = OneOffEntryId(name, address);
    p.setBinary(ids::EntryId, entryId);
    p.setBinary(ids::RecipientEntryId, std::move(entryId));
    p.setLong(ids::Rowid, index);
    p.setLong(ids::ObjectType, ids::MAPI_MAILUSER);
    p.setLong(ids::DisplayType, ids::DT_MAILUSER);
    p.setBool(ids::SendRichInfo, false);
    p.setLong(ids::RecipientFlags, 1);  // sendable
    return p;
}

}  // namespace store
