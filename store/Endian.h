// Little-endian loads and stores for the file formats we write and check (.pst, .msg,
// compound files). Every on-disk integer in them is little-endian whatever the host is,
// so values are built byte by byte rather than copied from structs. Header-only and free
// of any writer state: the .pst verifier uses it as well as the writers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace store {

inline void put16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
// As two halves: GCC makes put32's loop one store, but leaves an eight-step
// loop here as eight shifts and byte stores.
inline void put64(uint8_t* p, uint64_t v) {
    put32(p, uint32_t(v));
    put32(p + 4, uint32_t(v >> 32));
}

inline uint16_t get16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t get32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline uint64_t get64(const uint8_t* p) { return uint64_t(get32(p)) | (uint64_t(get32(p + 4)) << 32); }

// Appends the value's bytes to a byte string being built.
inline void append16(std::string& out, uint16_t v) {
    out += char(v & 0xFF);
    out += char(v >> 8);
}
inline void append32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out += char((v >> (8 * i)) & 0xFF);
}

// Appends the low `bytes` bytes of `v` (at most 8).
inline void appendLE(std::string& out, uint64_t v, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) out += char((v >> (8 * i)) & 0xFF);
}

}  // namespace store
