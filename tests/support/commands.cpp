#include "tests/support/commands.h"

#include <cstdio>
#include <sys/wait.h>

namespace testsupport {

int RunCommand(const std::string& command, std::string* output) {
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return -1;
    std::string text;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) text.append(buf, n);
    if (output) *output = std::move(text);
    const int status = ::pclose(pipe);
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += (c == '\'') ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

bool HaveTool(const std::string& name) { return RunCommand("command -v " + Quote(name) + " >/dev/null 2>&1") == 0; }

}  // namespace testsupport
