// The growing text buffer of one message. A message is built from many short
// appends (one per line in line mode); each append copies only the new bytes
// into spare room, and the room doubles when it runs out, so a message of any
// size costs linear time. Text is bytes: nothing is transcoded.
#pragma once

#include <cstddef>
#include <string_view>

namespace conversion {

class AppendStrings {
public:
    static constexpr size_t kMinGrowth = 10000;

    AppendStrings() = default;
    ~AppendStrings();
    AppendStrings(const AppendStrings&) = delete;
    AppendStrings& operator=(const AppendStrings&) = delete;

    // Appends `strAdd`. Throws std::bad_alloc when memory runs out.
    void AddToString(std::string_view strAdd);
    // The collected text (valid until the next append or clear).
    std::string_view ReturnString() const { return {data_, used_}; }

    size_t size() const { return used_; }
    size_t capacity() const { return capacity_; }
    bool empty() const { return used_ == 0; }
    // Drops the text and gives the memory back.
    void clear();

private:
    char* data_ = nullptr;
    size_t used_ = 0;
    size_t capacity_ = 0;
};

}  // namespace conversion
