// The .pst writer, checked through the two independent readers: readpst
// (libpst) and pffexport/pffinfo (libpff).
#include <gtest/gtest.h>

#include "store/pst/PstWriter.h"
#include "tests/test_pst_support.h"

#include <filesystem>

using namespace psttest;
using store::pst::PstWriter;

namespace {

bool haveReaders() { return haveTool("readpst") && haveTool("pffexport") && haveTool("pffinfo"); }

#define REQUIRE_READERS()                                                                              \
    if (!haveReaders()) GTEST_SKIP() << "readpst/pffexport/pffinfo not installed (pst-utils, pff-tools)"

MailSpec simpleMail(int i) {
    MailSpec m;
    m.subject = "Status report " + std::to_string(i);
    m.from = {"Alice Example", "alice@example.com"};
    m.to = {{"Bob Builder", "bob@example.org"}};
    m.body = "Hello Bob,\r\nthis is message number " + std::to_string(i) + ".\r\n";
    m.messageId = "<msg" + std::to_string(i) + "@example.com>";
    m.flags = 17;
    return m;
}

// Runs readpst in separate-file mode; returns its output.
std::string readpstInto(const std::string& pst, const std::string& dir, int* rc) {
    std::filesystem::create_directories(dir);
    std::string out;
    *rc = run("readpst -j 0 -D -S -b -o '" + dir + "' '" + pst + "'", &out);
    return out;
}

std::string pffexportInto(const std::string& pst, const std::string& target, int* rc) {
    std::string out;
    *rc = run("pffexport -m all -f text -t '" + target + "' '" + pst + "'", &out);
    return out;
}

}  // namespace

TEST(PstWriterReaders, FoldersAndSimpleMessagesReadBack) {
    REQUIRE_READERS();
    TempDir tmp;
    const std::string pst = tmp.file("simple.pst");
    {
        PstWriter w;
        std::string err;
        ASSERT_TRUE(w.create(pst, "Mailbox Export", &err)) << err;
        uint32_t inbox = w.addFolder(w.rootFolder(), "Inbox", &err);
        ASSERT_NE(inbox, 0u) << err;
        uint32_t sub = w.addFolder(inbox, "Projects", &err);
        ASSERT_NE(sub, 0u) << err;
        for (int i = 0; i < 3; ++i) ASSERT_TRUE(w.addMessage(inbox, makeMessage(simpleMail(i)), &err)) << err;
        ASSERT_TRUE(w.addMessage(sub, makeMessage(simpleMail(10)), &err)) << err;
        ASSERT_TRUE(w.close(&err)) << err;
    }
    std::string out;
    EXPECT_EQ(run("pffinfo '" + pst + "'", &out), 0) << out;
    int rc;
    out = readpstInto(pst, tmp.file("rp"), &rc);
    EXPECT_EQ(rc, 0) << out;
    out = pffexportInto(pst, tmp.file("px"), &rc);
    EXPECT_EQ(rc, 0) << out;
    for (auto& f : listFiles(tmp.path())) std::printf("%s\n", f.c_str());
}
