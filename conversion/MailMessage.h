// The mail component: a message object that loads a message file and saves it
// back, on GMime. A message is saved back only in the exact bytes it was
// loaded from: where GMime's form of the message would differ by one byte, the
// file stays as it was written.
//
// Loading reads the message file as far as the end of its header. GMime
// parses the header, or the whole message with its attachments, only when
// something asks for them; an unchanged message saved to its own file has
// nothing to write.
#pragma once

#include <string>

namespace conversion {

class MailMessage {
public:
    MailMessage();
    ~MailMessage();
    MailMessage(const MailMessage&) = delete;
    MailMessage& operator=(const MailMessage&) = delete;

    // Loads a message file (an mbox "From " line at its top is kept aside,
    // never parsed). False when the file cannot be read.
    bool Load(const std::string& path);
    // Saves the message to `path` in exactly the bytes it was loaded from:
    // to its own file that means nothing to write. False when nothing is
    // loaded or `path` is another file that cannot be written.
    bool Save(const std::string& path);

    // A header of the message, decoded by GMime; empty when it has none.
    // Parses the header on the first call.
    std::string header(const char* name);
    // How many MIME parts the top of the whole message holds as GMime parses
    // it: the parts of a top-level multipart, else 1 (0 when it has no part
    // at all). -1 when nothing is loaded, the message is too large for
    // GMime, or GMime makes no message of it. Parses the whole message,
    // headers and parts, on the first call.
    int topLevelPartCount();
    // Whether GMime, writing the message out with CR LF line breaks, gives
    // back exactly the loaded bytes.
    bool matchesLibraryForm();

private:
    struct Impl;
    Impl* impl_;
};

}  // namespace conversion
