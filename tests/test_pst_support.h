// Helpers shared by the .pst writer tests: building messages the way the
// MIME import does, running the external readers, and reading files back.
#pragma once

#include "store/MapiMessage.h"
#include "store/pst/verify/PstVerifier.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace psttest {

// A scratch directory removed when the object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

struct Address {
    std::string name;
    std::string email;
};

struct MailSpec {
    std::string subject;
    Address from;
    std::vector<Address> to, cc, bcc;
    std::string body;
    std::string html;
    std::string messageId;
    uint64_t date = 0;  // FILETIME
    uint32_t flags = 17;
    bool withHeaders = false;  // also store the transport header block
    struct File {
        std::string name;
        std::string mime;
        std::string bytes;
    };
    std::vector<File> files;
};

// Builds the message the import would produce for this mail.
store::Message makeMessage(const MailSpec& spec);
// FILETIME of a UTC calendar time.
uint64_t filetime(int year, int month, int day, int hour, int minute, int second);
// Deterministic pseudo-random bytes.
std::string noise(size_t n, uint32_t seed);
// Message i of a numbered series: Alice to Bob, subject "Message i", and an
// attachment of `attachment` noise bytes when that is not 0.
MailSpec numberedMail(int i, size_t attachment = 0);

bool haveTool(const std::string& name);
// Runs a shell command; returns its exit code and fills `output` with stdout+stderr.
int run(const std::string& command, std::string* output);
std::string readFile(const std::string& path);
// Every regular file below `dir`, as paths relative to it.
std::vector<std::string> listFiles(const std::string& dir);

}  // namespace psttest

namespace psttest {

// The independent verifier's strict check of a store we wrote (allocation maps exact,
// reference counts, B-trees, heaps, tables, folder counts and flags). Returns the
// problems found, empty when the file is sound; `report` receives the shape it saw.
std::vector<std::string> checkStructure(const std::string& path, store::pst::VerifyReport* report = nullptr);

}  // namespace psttest
