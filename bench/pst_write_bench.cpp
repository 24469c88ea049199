// Measures the .pst writer: writes COUNT messages, each with a plain and an
// HTML body, three recipients and an attachment of ATTACHMENT_BYTES bytes,
// spread over a few folders, and prints the time, size and rate.
//
//   pst_write_bench OUT.pst [COUNT=3000] [ATTACHMENT_BYTES=50000]
#include "store/pst/PstWriter.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

store::Message sampleMessage(int i, size_t attachmentBytes) {
    using namespace store;
    Message m;
    m.props.setString(pid::MessageClass, "IPM.Note");
    m.props.setString(pid::Subject, "Weekly report " + std::to_string(i));
    m.props.setLong(pid::MessageFlags, 17);
    m.props.setTime(pid::ClientSubmitTime, 133500000000000000ull + uint64_t(i) * 10000000ull);
    m.props.setString(0x0C1A, "Sender " + std::to_string(i % 50));
    m.props.setString(0x0C1F, "sender" + std::to_string(i % 50) + "@example.com");
    m.props.setString(0x0042, "Sender " + std::to_string(i % 50));
    m.props.setString(pid::Body, std::string(2000, 'b'));
    m.props.setBinary(pid::Html, "<html><body>" + std::string(4000, 'h') + "</body></html>");
    for (int r = 0; r < 3; ++r) {
        Recipient rc;
        rc.props.setLong(pid::RecipientType, uint32_t(r + 1));
        rc.props.setString(pid::DisplayName, "Person " + std::to_string(r));
        rc.props.setString(pid::EmailAddress, "person" + std::to_string(r) + "@example.org");
        m.recipients.push_back(std::move(rc));
    }
    if (attachmentBytes) {
        Attachment a;
        a.props.setLong(pid::AttachMethod, 1);
        a.props.setString(pid::AttachLongFilename, "data" + std::to_string(i) + ".bin");
        std::string bytes(attachmentBytes, '\0');
        for (size_t k = 0; k < bytes.size(); ++k) bytes[k] = char((k * 131 + size_t(i)) & 0xFF);
        a.props.setBinary(pid::AttachDataBinary, std::move(bytes));
        m.attachments.push_back(std::move(a));
    }
    return m;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUT.pst [COUNT] [ATTACHMENT_BYTES]\n", argv[0]);
        return 2;
    }
    const std::string path = argv[1];
    const int count = argc > 2 ? std::atoi(argv[2]) : 3000;
    const size_t attachment = argc > 3 ? size_t(std::atoll(argv[3])) : 50000;
    std::vector<store::Message> pool;
    for (int i = 0; i < 16; ++i) pool.push_back(sampleMessage(i, attachment));

    const auto start = std::chrono::steady_clock::now();
    store::pst::PstWriter w;
    std::string err;
    if (!w.create(path, "Benchmark", &err)) {
        std::fprintf(stderr, "%s\n", err.c_str());
        return 1;
    }
    uint32_t folders[4];
    for (int f = 0; f < 4; ++f) folders[f] = w.addFolder(w.rootFolder(), "Folder " + std::to_string(f), &err);
    for (int i = 0; i < count; ++i)
        if (!w.addMessage(folders[i % 4], pool[size_t(i) % pool.size()], &err)) {
            std::fprintf(stderr, "%s\n", err.c_str());
            return 1;
        }
    if (!w.close(&err)) {
        std::fprintf(stderr, "%s\n", err.c_str());
        return 1;
    }
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double mb = double(std::filesystem::file_size(path)) / 1e6;
    std::printf("%d messages, %.1f MB in %.2f s (%.0f MB/s)\n", count, mb, secs, mb / secs);
    return 0;
}
