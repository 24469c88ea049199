#include "tests/support/text.h"

#include <glib.h>

namespace testsupport {

std::string Join(const std::vector<std::string>& v, const std::string& separator) {
    std::string out;
    for (size_t i = 0; i < v.size(); ++i) out += (i ? separator : "") + v[i];
    return out;
}

std::string Lower(std::string s) {
    for (char& c : s) c = char(g_ascii_tolower(c));
    return s;
}

std::string Hex(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string FromHex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out += char(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

std::string Md5(const std::string& bytes) {
    gchar* sum =
        g_compute_checksum_for_data(G_CHECKSUM_MD5, reinterpret_cast<const guchar*>(bytes.data()), bytes.size());
    std::string out = sum;
    g_free(sum);
    return out;
}

}  // namespace testsupport
