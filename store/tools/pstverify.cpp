// pstverify: checks Unicode .pst files with the independent verifier (its own library) and
// prints every problem found. Exit status 0 when every file passes, 1 otherwise.
// Usage: pstverify [--strict] [--crash] FILE.pst...
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/Platform.h"
#include "store/pst/verify/PstVerifier.h"

int main(int argc, char** argv) {
    store::pst::VerifyOptions opts;
    opts.maxProblems = 1000;
    std::vector<std::string> files;
    const std::vector<std::string> args = Utf8Arguments(argc, argv);
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--strict") == 0) {
            opts.strictAllocation = true;
        } else if (std::strcmp(argv[i], "--crash") == 0) {
            opts.crashState = true;
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::printf(
                "usage: pstverify [--strict] [--crash] FILE.pst...\n"
                "  --strict  also require exact allocation maps (stores we wrote ourselves)\n"
                "  --crash   accept what a crash leaves of a store being written: its last\n"
                "            checkpoint (bytes past ibFileEof, maps marked invalid)\n");
            return 0;
        } else {
            files.push_back(args[i]);
        }
    }
    if (files.empty()) {
        std::fprintf(stderr, "usage: pstverify [--strict] [--crash] FILE.pst...\n");
        return 1;
    }
    bool allPass = true;
    for (const std::string& f : files) {
        std::vector<std::string> problems;
        bool ok = store::pst::VerifyPst(f, &problems, opts);
        if (ok) {
            std::printf("%s: OK\n", f.c_str());
        } else {
            allPass = false;
            std::printf("%s: FAILED (%zu problem%s)\n", f.c_str(), problems.size(), problems.size() == 1 ? "" : "s");
            for (const std::string& p : problems) std::printf("  %s\n", p.c_str());
        }
    }
    return allPass ? 0 : 1;
}
