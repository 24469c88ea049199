// Running the independent readers and other programs from the tests.
#pragma once

#include <string>

namespace testsupport {

// Runs `command` through the shell and collects its standard output (add
// "2>&1" to collect its errors too). Returns its exit status, -1 when it
// could not be started or did not exit.
int RunCommand(const std::string& command, std::string* output = nullptr);
// `s` as one word of a shell command.
std::string Quote(const std::string& s);
// Whether the shell finds a program of that name.
bool HaveTool(const std::string& name);

}  // namespace testsupport
