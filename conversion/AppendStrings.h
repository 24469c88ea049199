// The growing text buffer of one message. A message is built from many short
// appends (one per line in line mode); each append copies only the new bytes
// into spare room, and the room doubles when it runs out, so a message of any
// size costs linear time. Text is bytes: nothing is transcoded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string_view>

namespace conversion {

// The text would grow past the buffer's largest size.
class TextTooLong : public std::length_error {
public:
    TextTooLong() : std::length_error("text too long") {}
};

class AppendStrings {
public:
    static constexpr size_t kMinGrowth = 10000;

    // The text never grows past `maxSize` bytes, nor the room past that.
    explicit AppendStrings(size_t maxSize = SIZE_MAX) : maxSize_(maxSize) {}
    ~AppendStrings();
    AppendStrings(const AppendStrings&) = delete;
    AppendStrings& operator=(const AppendStrings&) = delete;

    // Appends `strAdd`. Throws TextTooLong when the text would grow past its
    // largest size and std::bad_alloc when memory runs out; either way the
    // text stays as it was.
    void AddToString(std::string_view strAdd);
    // The collected text (valid until the next append or clear).
    std::string_view ReturnString() const { return {data_, used_}; }

    size_t size() const { return used_; }
    size_t capacity() const { return capacity_; }
    bool empty() const { return used_ == 0; }
    // Drops the text and gives the memory back.
    void clear();

    // The collected text, taken out of the buffer, which is left empty: a
    // block of the C heap, cut to the text's size.
    struct Taken {
        std::unique_ptr<char, decltype(&std::free)> data{nullptr, &std::free};
        size_t size = 0;
        std::string_view view() const { return {data.get(), size}; }
    };
    Taken take();

private:
    char* data_ = nullptr;
    size_t used_ = 0;
    size_t capacity_ = 0;
    size_t maxSize_;
};

}  // namespace conversion
