// Small text helpers for assertions and failure messages.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

std::string Join(const std::vector<std::string>& v, const std::string& separator = ", ");
std::string Lower(std::string s);
std::string Hex(const std::string& bytes);
std::string FromHex(const std::string& hex);
std::string Md5(const std::string& bytes);

}  // namespace testsupport
