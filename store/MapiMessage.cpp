#include "store/MapiMessage.h"

#include <algorithm>

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

}  // namespace store
