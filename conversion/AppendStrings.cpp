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

AppendStrings::Taken AppendStrings::take() {
    Taken taken;
    // Cutting a block in place is cheap, and a message held for a while
    // should not keep the room its growth left.
    if (used_ > 0 && capacity_ - used_ > 4096) {
        if (char* cut = static_cast<char*>(std::realloc(data_, used_))) data_ = cut;
    }
    taken.data.reset(data_);
    taken.size = used_;
    data_ = nullptr;
    used_ = capacity_ = 0;
    return taken;
}

void AppendStrings::clear() {
    std::free(data_);
    data_ = nullptr;
    used_ = capacity_ = 0;
}

}  // namespace conversion
