// The mail component: a message object that loads a message file and saves it
// back, on GMime. A message is saved back only in the exact bytes it was
// loaded from: where GMime's form of the message would differ by one byte, the
// file stays as it was written.
#pragma once

#include <string>

namespace conversion {

// Makes GMime ready; safe to call any number of times.
void EnsureGMime();

class MailMessage {
public:
    MailMessage();
    ~MailMessage();
    MailMessage(const MailMessage&) = delete;
    MailMessage& operator=(const MailMessage&) = delete;

    // Loads and parses a message file (an mbox "From " line at its top is
    // kept aside, not parsed). False when the file cannot be read.
    bool Load(const std::string& path);
    // Saves the message to `path`. The file's bytes are left exactly as they
    // were loaded: if GMime's serialised form equals them, there is nothing
    // to write; if it differs, the file stays as written. False when nothing
    // is loaded or `path` is not the loaded file and cannot be written.
    bool Save(const std::string& path);

    // After Save: whether GMime's form matched the loaded bytes exactly.
    bool lastSaveMatched() const { return matched_; }

private:
    struct Impl;
    Impl* impl_;
    bool matched_ = false;
};

}  // namespace conversion
