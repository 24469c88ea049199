// GMime start-up and the shared lenient parser options.
#include "store/mime/GMimeSupport.h"

#include <mutex>

namespace store::mime {

namespace {
std::once_flag gStartOnce;
GMimeParserOptions* gOptions = nullptr;
}  // namespace

void EnsureGMimeStarted() {
    std::call_once(gStartOnce, [] {
        g_mime_init();
        gOptions = g_mime_parser_options_new();
        g_mime_parser_options_set_address_compliance_mode(gOptions, GMIME_RFC_COMPLIANCE_LOOSE);
        g_mime_parser_options_set_parameter_compliance_mode(gOptions, GMIME_RFC_COMPLIANCE_LOOSE);
        g_mime_parser_options_set_rfc2047_compliance_mode(gOptions, GMIME_RFC_COMPLIANCE_LOOSE);
        g_mime_parser_options_set_allow_addresses_without_domain(gOptions, TRUE);
        const char* fallback[] = {"utf-8", "windows-1252", nullptr};
        g_mime_parser_options_set_fallback_charsets(gOptions, fallback);
    });
}

GMimeParserOptions* LenientParserOptions() {
    EnsureGMimeStarted();
    return gOptions;
}

std::string TakeGString(char* s) {
    GCharPtr owner(s);
    return s ? std::string(s) : std::string();
}

}  // namespace store::mime
