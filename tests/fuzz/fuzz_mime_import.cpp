// Fuzzes one message file on its way through the store forms, as the run
// takes it: the mail component loads it and saves it to its own file (the
// bytes must not change), the MIME import reads it (damaged input still
// gives a message), and the message is written as an 8-bit and a Unicode
// .msg file and into a new .pst store, which must pass the strict verifier.
// Files go to a temporary folder (below TMPDIR: scripts/fuzz.sh points it at
// /dev/shm), removed at exit.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

#include "conversion/MailMessage.h"
#include "store/MapiMessage.h"
#include "store/Session.h"
#include "store/mime/MimeImport.h"
#include "store/msg/MsgWriter.h"
#include "store/pst/verify/PstVerifier.h"
#include "store/pst/PstWriter.h"
#include "tests/support/files.h"

namespace fs = std::filesystem;

namespace {

std::string scratch;

[[noreturn]] void fault(const std::string& what) {
    std::fprintf(stderr, "fuzz_mime_import: %s\n", what.c_str());
    std::abort();
}

void writeAll(const std::string& path, const uint8_t* data, size_t size) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(data), std::streamsize(size));
    if (!f) fault("cannot write " + path);
}

// A compound file: the signature, and whole 512-byte sectors.
void checkMsgFile(const std::string& path) {
    std::string bytes = testsupport::ReadFile(path);
    static const char kSignature[] = "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1";
    if (bytes.size() < 1024 || bytes.compare(0, 8, kSignature, 8) != 0 || bytes.size() % 512 != 0)
        fault(path + ": not a compound file of whole sectors");
}

bool fitsMsgFile(const store::Message& m) {
    if (m.recipients.size() > 2048 || m.attachments.size() > 2048) return false;
    for (const auto& a : m.attachments)
        if (a.embedded && !fitsMsgFile(*a.embedded)) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static const testsupport::TempDir dir;
    if (dir.path().empty()) fault("cannot make a scratch folder");
    scratch = dir.str();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string messageFile = scratch + "/email-1.eml";
    writeAll(messageFile, data, size);

    {
        conversion::MailMessage mail;
        if (!mail.Load(messageFile)) fault("the mail component cannot load a readable file");
        mail.header("Subject");
        mail.matchesLibraryForm();
        if (!mail.Save(messageFile)) fault("the mail component cannot save to its own file");
        std::string after = testsupport::ReadFile(messageFile);
        if (after.size() != size || (size && std::memcmp(after.data(), data, size) != 0))
            fault("saving the message to its own file changed its bytes");
    }

    store::Message message;
    std::string error;
    if (!store::mime::ImportMimeFile(messageFile, message, &error))
        fault("the import refused a readable file: " + error);
    // The flags the run sets on every imported item.
    store::MAPIUtils().HrSetOneProp(&message, 0x0E070003, 17, true);

    // A message file holds at most 2048 recipient and 2048 attachment
    // storages per message (MS-OXMSG 2.2.1, 2.2.2); the writer refuses more.
    const bool msgFits = fitsMsgFile(message);
    for (bool unicode : {false, true}) {
        const std::string msgFile = scratch + (unicode ? "/Email-1u.msg" : "/Email-1.msg");
        bool written = store::msg::WriteMsgFile(message, msgFile, unicode, &error);
        if (written != msgFits)
            fault(std::string(unicode ? "Unicode" : "8-bit") +
                  " .msg writer: " + (written ? "wrote a message beyond the limits" : error));
        if (written) checkMsgFile(msgFile);
    }

    const std::string pstFile = scratch + "/Inbox.pst";
    ::unlink(pstFile.c_str());
    {
        store::pst::PstWriter writer;
        if (!writer.create(pstFile, "Inbox", &error)) fault("cannot create the store: " + error);
        uint32_t folder = writer.addFolder(writer.rootFolder(), "Inbox", &error);
        if (!folder) fault("cannot add the folder: " + error);
        if (!writer.addMessage(folder, message, &error)) fault("the .pst writer refused the message: " + error);
        if (!writer.close(&error)) fault("cannot close the store: " + error);
    }
    std::vector<std::string> problems;
    store::pst::VerifyOptions strict;
    strict.strictAllocation = true;
    if (!store::pst::VerifyPst(pstFile, &problems, strict)) {
        std::string text = "the strict verifier rejects the store:";
        for (const auto& p : problems) text += "\n  " + p;
        fault(text);
    }
    return 0;
}
