#include "tests/support/builders.h"

#include "store/MapiIds.h"

#include <cctype>

namespace testsupport {

std::string MboxOf(int count, const std::function<std::string(int)>& body) {
    std::string text;
    for (int i = 0; i < count; ++i)
        text += "From x\r\nSubject: m" + std::to_string(i) + "\r\n\r\n" + (body ? body(i) : "body") + "\r\n";
    return text;
}

uint64_t Filetime(int y, int mo, int d, int h, int mi, int s) {
    // Days from 1970-01-01 to the date (proleptic Gregorian).
    auto daysFromCivil = [](int yy, int mm, int dd) {
        yy -= mm <= 2;
        const int era = (yy >= 0 ? yy : yy - 399) / 400;
        const int yoe = yy - era * 400;
        const int doy = (153 * (mm + (mm > 2 ? -3 : 9)) + 2) / 5 + dd - 1;
        const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
        return int64_t(era) * 146097 + doe - 719468;
    };
    int64_t unixSecs = daysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s;
    return uint64_t(unixSecs) * 10000000ull + 116444736000000000ull;
}

std::string Noise(size_t n, uint32_t seed) {
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

std::string SearchKey(const std::string& addr) {
    std::string k = "SMTP:" + addr;
    for (char& c : k) c = char(std::toupper(static_cast<unsigned char>(c)));
    k.push_back('\0');
    return k;
}

store::Recipient SmtpRow(uint32_t type, const std::string& name, const std::string& address) {
    store::Recipient r;
    r.props.setLong(store::pid::RecipientType, type);
    r.props.setString(store::pid::DisplayName, name);
    r.props.setString(store::pid::AddressType, "SMTP");
    r.props.setString(store::pid::EmailAddress, address);
    r.props.setString(0x39FE, address);  // SMTP address
    return r;
}

void AddRecipients(store::Message& m, const std::vector<Address>& list, uint32_t type) {
    for (const Address& a : list) {
        store::Recipient r = SmtpRow(type, a.name.empty() ? a.email : a.name, a.email);
        r.props.setBinary(0x300B, SearchKey(a.email));
        r.props.setLong(0x0FFE, 6);
        r.props.setLong(0x3900, 0);
        m.recipients.push_back(std::move(r));
    }
}

std::string JoinNames(const std::vector<Address>& list) {
    std::string s;
    for (const Address& a : list) {
        if (!s.empty()) s += "; ";
        s += a.name.empty() ? a.email : a.name;
    }
    return s;
}

}  // namespace

store::Message MakeMessage(const MailSpec& spec) {
    using namespace store;
    Message m;
    PropertyBag& p = m.props;
    p.setString(pid::MessageClass, "IPM.Note");
    p.setString(pid::Subject, spec.subject);
    p.setString(0x0070, spec.subject);  // conversation topic
    p.setLong(pid::MessageFlags, spec.flags);
    p.setLong(pid::Importance, 1);
    p.setLong(0x0036, 0);  // sensitivity
    const uint64_t date = spec.date ? spec.date : Filetime(2024, 3, 14, 9, 26, 53);
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
    p.setBinary(0x0C1D, SearchKey(spec.from.email));
    p.setBinary(0x003B, SearchKey(spec.from.email));
    if (!spec.messageId.empty()) p.setString(pid::InternetMessageId, spec.messageId);
    std::string headers = "From: " + senderName + " <" + spec.from.email + ">\r\n";
    if (!spec.to.empty()) headers += "To: " + JoinNames(spec.to) + "\r\n";
    headers += "Subject: " + spec.subject + "\r\n";
    if (!spec.messageId.empty()) headers += "Message-ID: " + spec.messageId + "\r\n";
    headers += "MIME-Version: 1.0\r\n\r\n";
    if (spec.withHeaders) p.setString(pid::TransportMessageHeaders, headers);
    if (!spec.body.empty()) p.setString(pid::Body, spec.body);
    if (!spec.html.empty()) {
        p.setBinary(pid::Html, spec.html);
        p.setLong(pid::InternetCodepage, 65001);
    }
    p.setString(pid::DisplayTo, JoinNames(spec.to));
    p.setString(pid::DisplayCc, JoinNames(spec.cc));
    p.setString(pid::DisplayBcc, JoinNames(spec.bcc));
    AddRecipients(m, spec.to, 1);
    AddRecipients(m, spec.cc, 2);
    AddRecipients(m, spec.bcc, 3);
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

MailSpec NumberedMail(int i, size_t attachment) {
    MailSpec m;
    m.subject = "Message " + std::to_string(i);
    m.from = {"Alice", "alice@example.com"};
    m.to = {{"Bob", "bob@example.org"}};
    m.body = "Body of message " + std::to_string(i) + "\r\n";
    m.messageId = "<m" + std::to_string(i) + "@example.com>";
    if (attachment) m.files.push_back({"data.bin", "application/octet-stream", Noise(attachment, uint32_t(i))});
    return m;
}

store::NamedKey NumericName(const store::Guid& set, uint32_t lid) {
    store::NamedKey k;
    k.propertySet = set;
    k.lid = lid;
    return k;
}

store::NamedKey StringName(const store::Guid& set, std::string name) {
    store::NamedKey k;
    k.propertySet = set;
    k.isString = true;
    k.name = std::move(name);
    return k;
}

store::Property TextValue(std::string utf8) {
    store::Property p;
    p.text = std::move(utf8);
    return p;
}

void AddRecipient(store::Message& m, uint32_t type, const std::string& name, const std::string& address) {
    m.recipients.push_back(SmtpRow(type, name, address));
}

void AddFile(store::Message& m, const std::string& name, std::string bytes, const std::string& mime) {
    store::Attachment a;
    a.props.setLong(store::pid::AttachMethod, 1);
    a.props.setString(store::pid::AttachLongFilename, name);
    a.props.setString(store::pid::DisplayName, name);
    a.props.setString(store::pid::AttachMimeTag, mime);
    a.props.setBinary(store::pid::AttachDataBinary, std::move(bytes));
    m.attachments.push_back(std::move(a));
}

void SetSender(store::Message& m, const std::string& name, const std::string& address) {
    m.props.setString(0x0C1A, name);
    m.props.setString(0x0C1F, address);
    m.props.setString(0x0C1E, "SMTP");
}

}  // namespace testsupport
