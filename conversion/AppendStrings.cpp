#include "conversion/AppendStrings.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace conversion {

AppendStrings::~AppendStrings() { std::free(data_); }

void AppendStrings::AddToString(std::string_view strAdd) {
    if (strAdd.size() > capacity_ - used_) {
        // Only growth can reach the largest size: the room never exceeds it.
        if (strAdd.size() > maxSize_ - used_) throw TextTooLong();
        size_t capacity = capacity_;
        while (strAdd.size() > capacity - used_) capacity += std::max(kMinGrowth, capacity);
        capacity = std::min(capacity, maxSize_);
        // realloc lets the C library move large blocks by remapping pages
        // instead of copying them.
        char* grown = static_cast<char*>(std::realloc(data_, capacity));
        if (!grown) throw std::bad_alloc();
        data_ = grown;
        capacity_ = capacity;
    }
    if (!strAdd.empty()) std::memcpy(data_ + used_, strAdd.data(), strAdd.size());
    used_ += strAdd.size();
}

void AppendStrings::clear() {
    std::free(data_);
    data_ = nullptr;
    used_ = capacity_ = 0;
}

}  // namespace conversion
