// Inputs for the tests: mailbox texts, and messages built the way the MIME
// import builds them, for the writers.
#pragma once

#include "store/MapiMessage.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// ---- mailbox texts

// `count` messages "From x" / "Subject: m<i>" with CR LF breaks, message i
// with the body `body(i)` ("body" when none is given).
std::string MboxOf(int count, const std::function<std::string(int)>& body = {});

// ---- message models

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
store::Message MakeMessage(const MailSpec& spec);
// FILETIME of a UTC calendar time.
uint64_t Filetime(int year, int month, int day, int hour, int minute, int second);
// Deterministic pseudo-random bytes that differ from position to position,
// so a misplaced block or sector shows.
std::string Noise(size_t n, uint32_t seed);
// Message i of a numbered series: Alice to Bob, subject "Message i", and an
// attachment of `attachment` noise bytes when that is not 0.
MailSpec NumberedMail(int i, size_t attachment = 0);

// ---- pieces of a model, for messages built by hand

store::NamedKey NumericName(const store::Guid& set, uint32_t lid);
store::NamedKey StringName(const store::Guid& set, std::string name);
store::Property TextValue(std::string utf8);
// A recipient row of `type` (1 To, 2 Cc, 3 Bcc) with its SMTP address.
void AddRecipient(store::Message& m, uint32_t type, const std::string& name, const std::string& address);
// An attachment by value.
void AddFile(store::Message& m, const std::string& name, std::string bytes,
             const std::string& mime = "application/octet-stream");
void SetSender(store::Message& m, const std::string& name, const std::string& address);

}  // namespace testsupport
