#include "tests/test_pst_support.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>

namespace psttest {

TempDir::TempDir() {
    // The readers write thousands of small files: prefer memory-backed space.
    std::error_code ec;
    const std::filesystem::path base =
        std::filesystem::is_directory("/dev/shm", ec) ? std::filesystem::path("/dev/shm") : std::filesystem::temp_directory_path();
    std::string tmpl = (base / "pst-test-XXXXXX").string();
    char* p = ::mkdtemp(tmpl.data());
    path_ = p ? p : "";
}

TempDir::~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

uint64_t filetime(int y, int mo, int d, int h, int mi, int s) {
    // Days from 1601-01-01 to the date (proleptic Gregorian).
    auto daysFromCivil = [](int yy, int mm, int dd) {
        yy -= mm <= 2;
        const int era = (yy >= 0 ? yy : yy - 399) / 400;
        const int yoe = yy - era * 400;
        const int doy = (153 * (mm + (mm > 2 ? -3 : 9)) + 2) / 5 + dd - 1;
        const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
        return int64_t(era) * 146097 + doe - 719468;  // days since 1970-01-01
    };
    int64_t unixSecs = daysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s;
    return uint64_t(unixSecs) * 10000000ull + 116444736000000000ull;
}

std::string noise(size_t n, uint32_t seed) {
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        s[i] = char(x & 0xFF);
    }
    return s;
}

namespace {

std::string searchKey(const std::string& addr) {
    std::string k = "SMTP:" + addr;
    for (char& c : k) c = char(std::toupper(static_cast<unsigned char>(c)));
    k.push_back('\0');
    return k;
}

void addRecipients(store::Message& m, const std::vector<Address>& list, uint32_t type) {
    for (const Address& a : list) {
        store::Recipient r;
        r.props.setLong(store::pid::RecipientType, type);
        r.props.setString(store::pid::DisplayName, a.name.empty() ? a.email : a.name);
        r.props.setString(store::pid::AddressType, "SMTP");
        r.props.setString(store::pid::EmailAddress, a.email);
        r.props.setString(0x39FE, a.email);  // SMTP address
        r.props.setBinary(0x300B, searchKey(a.email));
        r.props.setLong(0x0FFE, 6);
        r.props.setLong(0x3900, 0);
        m.recipients.push_back(std::move(r));
    }
}

std::string joinNames(const std::vector<Address>& list) {
    std::string s;
    for (const Address& a : list) {
        if (!s.empty()) s += "; ";
        s += a.name.empty() ? a.email : a.name;
    }
    return s;
}

}  // namespace

store::Message makeMessage(const MailSpec& spec) {
    using namespace store;
    Message m;
    PropertyBag& p = m.props;
    p.setString(pid::MessageClass, "IPM.Note");
    p.setString(pid::Subject, spec.subject);
    p.setString(0x0070, spec.subject);  // conversation topic
    p.setLong(pid::MessageFlags, spec.flags);
    p.setLong(pid::Importance, 1);
    p.setLong(0x0036, 0);  // sensitivity
    const uint64_t date = spec.date ? spec.date : filetime(2024, 3, 14, 9, 26, 53);
    p.setTime(pid::ClientSubmitTime, date);
    p.setTime(pid::MessageDeliveryTime, date + 600000000ull);
    const std::string senderName = spec.from.name.empty() ? spec.from.email : spec.from.name;
    for (uint16_t base : {uint16_t(0x0C1A), uint16_t(0x0042)}) p.setString(base, senderName);
    p.setString(0x0C1E, "SMTP");
    p.setString(0x0C1F, spec.from.email);
    p.setString(0x0064, "SMTP");
    p.setString(0x0065, spec.from.email);
    p.setString(0x5D01, spec.from.email);
    p.setString(0x5D02, spec.from.email);
    p.setBinary(0x0C1D, searchKey(spec.from.email));
    p.setBinary(0x003B, searchKey(spec.from.email));
    if (!spec.messageId.empty()) p.setString(pid::InternetMessageId, spec.messageId);
    std::string headers = "From: " + senderName + " <" + spec.from.email + ">\r\n";
    if (!spec.to.empty()) headers += "To: " + joinNames(spec.to) + "\r\n";
    headers += "Subject: " + spec.subject + "\r\n";
    if (!spec.messageId.empty()) headers += "Message-ID: " + spec.messageId + "\r\n";
    headers += "MIME-Version: 1.0\r\n\r\n";
    if (spec.withHeaders) p.setString(pid::TransportMessageHeaders, headers);
    if (!spec.body.empty()) p.setString(pid::Body, spec.body);
    if (!spec.html.empty()) {
        p.setBinary(pid::Html, spec.html);
        p.setLong(pid::InternetCodepage, 65001);
    }
    p.setString(pid::DisplayTo, joinNames(spec.to));
    p.setString(pid::DisplayCc, joinNames(spec.cc));
    p.setString(pid::DisplayBcc, joinNames(spec.bcc));
    addRecipients(m, spec.to, 1);
    addRecipients(m, spec.cc, 2);
    addRecipients(m, spec.bcc, 3);
    for (size_t i = 0; i < spec.files.size(); ++i) {
        const auto& f = spec.files[i];
        Attachment a;
        a.props.setLong(pid::AttachMethod, 1);
        a.props.setLong(pid::AttachNumber, uint32_t(i));
        a.props.setString(pid::AttachLongFilename, f.name);
        a.props.setString(pid::AttachFilename, f.name);
        a.props.setString(pid::DisplayName, f.name);
        auto dot = f.name.rfind('.');
        if (dot != std::string::npos) a.props.setString(0x3703, f.name.substr(dot));
        a.props.setString(pid::AttachMimeTag, f.mime);
        a.props.setBinary(pid::AttachDataBinary, f.bytes);
        a.props.setLong(pid::RenderingPosition, 0xFFFFFFFF);
        a.props.setBool(pid::AttachmentHidden, false);
        m.attachments.push_back(std::move(a));
    }
    return m;
}

bool haveTool(const std::string& name) {
    std::string out;
    return run("command -v " + name, &out) == 0;
}

int run(const std::string& command, std::string* output) {
    std::string cmd = command + " 2>&1";
    FILE* f = ::popen(cmd.c_str(), "r");
    if (!f) return -1;
    std::string out;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    int rc = ::pclose(f);
    if (output) *output = out;
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> listFiles(const std::string& dir) {
    std::vector<std::string> out;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        if (it->is_regular_file()) out.push_back(std::filesystem::relative(it->path(), dir).string());
    std::sort(out.begin(), out.end());
    return out;
}

MailSpec numberedMail(int i, size_t attachment) {
    MailSpec m;
    m.subject = "Message " + std::to_string(i);
    m.from = {"Alice", "alice@example.com"};
    m.to = {{"Bob", "bob@example.org"}};
    m.body = "Body of message " + std::to_string(i) + "\r\n";
    m.messageId = "<m" + std::to_string(i) + "@example.com>";
    if (attachment) m.files.push_back({"data.bin", "application/octet-stream", noise(attachment, uint32_t(i))});
    return m;
}

std::vector<std::string> checkStructure(const std::string& path, store::pst::VerifyReport* report) {
    std::vector<std::string> problems;
    store::pst::VerifyPst(path, &problems, {.strictAllocation = true}, report);
    return problems;
}

}  // namespace psttest
