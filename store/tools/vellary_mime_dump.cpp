// Prints what the MIME import makes of message files: every property of the
// message, its recipients and attachments (embedded messages indented).
// Usage: vellary_mime_dump FILE...
#include <cstdio>
#include <string>

#include "store/mime/MimeImport.h"

namespace {

std::string Show(const store::Property& p) {
    char buf[64];
    switch (p.type) {
        case store::PT_UNICODE:
        case store::PT_STRING8: {
            const std::string_view v = p.textView();
            std::string t = v.size() > 200 ? std::string(v.substr(0, 200)) + "..." : std::string(v);
            for (char& c : t)
                if (c == '\r' || c == '\n') c = '|';
            return "\"" + t + "\"";
        }
        case store::PT_BINARY: {
            std::string s = std::to_string(p.text.size()) + " bytes:";
            for (size_t i = 0; i < p.text.size() && i < 24; ++i) {
                std::snprintf(buf, sizeof buf, " %02x", static_cast<unsigned char>(p.text[i]));
                s += buf;
            }
            return s;
        }
        default:
            std::snprintf(buf, sizeof buf, "%llu (0x%llx)", static_cast<unsigned long long>(p.integer),
                          static_cast<unsigned long long>(p.integer));
            return buf;
    }
}

void Dump(const store::Message& m, const std::string& indent) {
    for (const auto& p : m.props.all()) {
        if (uint32_t type = p.recipientNamesOf()) {
            store::Property list = store::Property::Text(p.id, m.recipients.displayList(type));
            std::printf("%s%08X (from the rows) %s\n", indent.c_str(), p.tag(), Show(list).c_str());
            continue;
        }
        std::printf("%s%08X %s\n", indent.c_str(), p.tag(), Show(p).c_str());
    }
    for (size_t i = 0; i < m.recipients.size(); ++i) {
        std::printf("%s-- recipient %zu\n", indent.c_str(), i);
        const store::PropertyBag row = m.recipients[i].row(uint32_t(i));
        for (const auto& p : row.all()) std::printf("%s   %08X %s\n", indent.c_str(), p.tag(), Show(p).c_str());
    }
    for (size_t i = 0; i < m.attachments.size(); ++i) {
        std::printf("%s-- attachment %zu\n", indent.c_str(), i);
        for (const auto& p : m.attachments[i].props.all())
            std::printf("%s   %08X %s\n", indent.c_str(), p.tag(), Show(p).c_str());
        if (m.attachments[i].embedded) Dump(*m.attachments[i].embedded, indent + "      ");
    }
}

}  // namespace

int main(int argc, char** argv) {
    int rc = 0;
    for (int i = 1; i < argc; ++i) {
        store::Message m;
        std::string error;
        std::printf("== %s\n", argv[i]);
        if (!store::mime::ImportMimeFile(argv[i], m, &error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            rc = 1;
            continue;
        }
        Dump(m, "");
    }
    return rc;
}
