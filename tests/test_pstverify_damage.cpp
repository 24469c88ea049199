// The .pst verifier against Outlook-written stores and against copies of one of them with
// a single deliberate fault each. Every damaged copy must fail with a problem line that
// names the fault, and the repairs around each fault (page CRCs, header CRCs) keep the
// fault itself the only thing wrong.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "store/pst/verify/PstVerifier.h"
#include "store/pst/verify/PstVerifierDetail.h"
#include "tests/support/files.h"

namespace fs = std::filesystem;
using store::pst::VerifyOptions;
using store::pst::VerifyPst;
using namespace store::pst::verifydetail;
using store::get16;
using store::get32;
using store::get64;

namespace {

using Bytes = std::vector<uint8_t>;

const char* const kSamples[] = {"pstsdk-sample1.pst", "pstsdk-submessage.pst", "pstsdk-test_unicode.pst"};

fs::path samplePath(const char* name) { return fs::path(VELLARY_SAMPLES_DIR) / name; }

Bytes readAll(const fs::path& p) {
    const std::string s = testsupport::ReadFile(p);
    return Bytes(s.begin(), s.end());
}

void writeAll(const fs::path& p, const Bytes& b) { testsupport::WriteFile(p, std::string(b.begin(), b.end())); }

void put16(Bytes& b, size_t off, uint16_t v) { store::put16(&b[off], v); }
void put32(Bytes& b, size_t off, uint32_t v) { store::put32(&b[off], v); }
void put64(Bytes& b, size_t off, uint64_t v) { store::put64(&b[off], v); }

void fixPageCrc(Bytes& b, uint64_t ib) { put32(b, ib + 500, PstCrc(&b[ib], 496)); }
void fixHeaderCrcs(Bytes& b) {
    put32(b, 4, PstCrc(&b[8], 471));
    put32(b, 524, PstCrc(&b[8], 516));
}

struct BbtLeafEntry {
    uint64_t pageIb;
    unsigned index;
    uint64_t bid, ib;
    uint16_t cb, cRef;
};

// First leaf page of the tree whose root BREF sits at `rootOffset` in the header.
uint64_t firstLeaf(const Bytes& b, size_t rootOffset) {
    uint64_t ib = get64(&b[rootOffset + 8]);
    while (b[ib + 491] > 0) ib = get64(&b[ib + 16]);
    return ib;
}

std::vector<BbtLeafEntry> bbtEntries(const Bytes& b) {
    std::vector<BbtLeafEntry> out;
    std::function<void(uint64_t)> walk = [&](uint64_t ib) {
        unsigned cEnt = b[ib + 488], cbEnt = b[ib + 490];
        for (unsigned i = 0; i < cEnt; ++i) {
            const uint8_t* e = &b[ib + i * cbEnt];
            if (b[ib + 491] > 0)
                walk(get64(e + 16));
            else
                out.push_back({ib, i, get64(e), get64(e + 8), get16(e + 16), get16(e + 18)});
        }
    };
    walk(get64(&b[240]));
    return out;
}

// Offset of the NBT leaf entry of `nid`.
uint64_t nbtEntry(const Bytes& b, uint32_t nid) {
    uint64_t found = 0;
    std::function<void(uint64_t)> walk = [&](uint64_t ib) {
        unsigned cEnt = b[ib + 488], cbEnt = b[ib + 490];
        for (unsigned i = 0; i < cEnt; ++i) {
            uint64_t e = ib + i * cbEnt;
            if (b[ib + 491] > 0)
                walk(get64(&b[e + 16]));
            else if (get64(&b[e]) == nid)
                found = e;
        }
    };
    walk(get64(&b[224]));
    return found;
}

uint64_t blockTrailer(const BbtLeafEntry& e) { return e.ib + ((e.cb + 16 + 63) & ~63u) - 16; }

uint8_t permuteEncode(uint8_t plain) {
    for (unsigned s = 0; s < 256; ++s) {
        uint8_t x = uint8_t(s);
        UnpermuteBytes(&x, 1);
        if (x == plain) return uint8_t(s);
    }
    return 0;
}

// Lets `change` edit one block's data (decoded for data blocks), then re-encodes it and
// repairs the block CRC. `pick` chooses the block from the BBT.
void patchBlock(Bytes& b, const std::function<bool(const Bytes& b, const BbtLeafEntry&)>& pick,
                const std::function<void(Bytes&)>& change) {
    for (const auto& be : bbtEntries(b)) {
        if (!pick(b, be)) continue;
        bool data = !(be.bid & 2);
        Bytes plain(b.begin() + long(be.ib), b.begin() + long(be.ib + be.cb));
        if (data) UnpermuteBytes(plain.data(), plain.size());
        change(plain);
        for (size_t k = 0; k < plain.size(); ++k) b[be.ib + k] = data ? permuteEncode(plain[k]) : plain[k];
        put32(b, blockTrailer(be) + 4, PstCrc(&b[be.ib], be.cb));
        return;
    }
    ADD_FAILURE() << "no block matched";
}

bool isInternal(const Bytes& b, const BbtLeafEntry& e, uint8_t btype, uint8_t cLevel, unsigned minEnt) {
    return (e.bid & 2) && b[e.ib] == btype && b[e.ib + 1] == cLevel && get16(&b[e.ib + 2]) >= minEnt;
}

// Finds the PC record of `tag` in the single data block of `nid` and lets `change` edit
// the decoded block (record at `record`, item lookup through `item`); then re-encodes the
// block and repairs its CRC so that only the edited value is wrong. Assumes a one-page
// heap whose BTH has no index levels, as in the sample's small PCs.
void patchPc(Bytes& b, uint32_t nid, uint32_t tag,
             const std::function<void(Bytes& plain, size_t record,
                                      const std::function<size_t(uint32_t, size_t&)>& item)>& change) {
    uint64_t bid = get64(&b[nbtEntry(b, nid) + 8]);
    for (const auto& be : bbtEntries(b)) {
        if (be.bid != bid) continue;
        Bytes plain(b.begin() + long(be.ib), b.begin() + long(be.ib + be.cb));
        UnpermuteBytes(plain.data(), plain.size());
        size_t map = get16(&plain[0]);
        std::function<size_t(uint32_t, size_t&)> item = [&](uint32_t hid, size_t& size) -> size_t {
            size_t index = (hid >> 5) & 0x7FF;
            size_t start = get16(&plain[map + 4 + 2 * (index - 1)]);
            size = get16(&plain[map + 4 + 2 * index]) - start;
            return start;
        };
        size_t n;
        size_t header = item(get32(&plain[4]), n);
        size_t records = item(get32(&plain[header + 4]), n);
        for (size_t i = records; i < records + n; i += 8) {
            if (get16(&plain[i]) == (tag >> 16) && get16(&plain[i + 2]) == (tag & 0xFFFF)) {
                change(plain, i, item);
                for (size_t k = 0; k < plain.size(); ++k) b[be.ib + k] = permuteEncode(plain[k]);
                put32(b, blockTrailer(be) + 4, PstCrc(&b[be.ib], be.cb));
                return;
            }
        }
        ADD_FAILURE() << "property " << std::hex << tag << " not found in node " << nid;
    }
}

void patchPcValue(Bytes& b, uint32_t nid, uint32_t tag, uint32_t value) {
    patchPc(b, nid, tag, [&](Bytes& plain, size_t record, const auto&) { put32(plain, record + 4, value); });
}

struct DamageCase {
    const char* name;
    std::function<void(Bytes&)> damage;
    std::vector<std::string> expected;  // each must appear in one problem line
    bool onlyThese = false;             // no other problems may be reported
    bool strict = false;                // checked with the rules of stores we write
};

std::ostream& operator<<(std::ostream& os, const DamageCase& c) { return os << c.name; }

std::vector<DamageCase> damageCases() {
    return {
        {"HeaderByteInPartialCrcRange",
         [](Bytes& b) { b[40] ^= 0x01; },
         {"header: dwCRCPartial stored", "header: dwCRCFull stored"},
         true},
        {"HeaderByteOnlyInFullCrcRange", [](Bytes& b) { b[520] ^= 0x10; }, {"header: dwCRCFull stored"}},
        {"BbtPageTrailerSignature", [](Bytes& b) { b[get64(&b[240]) + 498] ^= 0x01; }, {"BBT page: wSig"}, true},
        {"NbtPageBodyWithoutCrcUpdate",
         [](Bytes& b) { b[get64(&b[224]) + 492] ^= 0x40; },
         {"NBT page: CRC stored"},
         true},
        {"AMapPageByte", [](Bytes& b) { b[0x4400 + 495] ^= 0x01; }, {"AMap page: CRC stored"}},
        {"BlockDataByte",
         [](Bytes& b) {
             for (const auto& e : bbtEntries(b))
                 if (e.cb == 8176) {
                     b[e.ib + 100] ^= 0x20;
                     return;
                 }
         },
         {"CRC stored", "computed over the data"},
         true},
        {"BlockTrailerBid",
         [](Bytes& b) {
             for (const auto& e : bbtEntries(b))
                 if (e.cb == 8176) {
                     b[blockTrailer(e) + 8] ^= 0x04;
                     return;
                 }
         },
         {"trailer BID"}},
        {"AMapBitClearedUnderLiveBlock",
         [](Bytes& b) {
             for (const auto& e : bbtEntries(b))
                 if (e.cb == 8176) {
                     uint64_t slot = (e.ib - 0x4400) / 64;
                     b[0x4400 + slot / 8] &= uint8_t(~(0x80 >> (slot % 8)));
                     fixPageCrc(b, 0x4400);
                     put64(b, 200, get64(&b[200]) + 64);  // keep cbAMapFree consistent
                     fixHeaderCrcs(b);
                     return;
                 }
         },
         {"marks free"},
         true},
        {"BbtLeafKeysSwapped",
         [](Bytes& b) {
             uint64_t leaf = firstLeaf(b, 232);
             for (int i = 0; i < 24; ++i) std::swap(b[leaf + 24 + i], b[leaf + 48 + i]);
             fixPageCrc(b, leaf);
         },
         {"BBT page: key", "not above the previous key"}},
        {"NbtLeafKeysSwapped",
         [](Bytes& b) {
             uint64_t leaf = firstLeaf(b, 216);
             for (int i = 0; i < 32; ++i) std::swap(b[leaf + 32 + i], b[leaf + 64 + i]);
             fixPageCrc(b, leaf);
         },
         {"NBT page: key", "not above the previous key"}},
        {"ReferenceCountRaised",
         [](Bytes& b) {
             auto entries = bbtEntries(b);
             const auto& e = entries.front();
             put16(b, e.pageIb + e.index * 24 + 18, uint16_t(e.cRef + 1));
             fixPageCrc(b, e.pageIb);
         },
         {"cRef", "references (expected cRef"},
         true},
        {"MessageMovedToAnotherFolder",
         [](Bytes& b) {
             uint64_t e = nbtEntry(b, 0x200024);
             put32(b, e + 24, 0x8062);  // Deleted Items; the contents tables still say otherwise
             fixPageCrc(b, e - (e - 0x4400) % 512);
         },
         {"node 0x806E (contents table): 0 rows", "node 0x808E (contents table): 1 rows"}},
        {"MessageParentIsNotAFolder",
         [](Bytes& b) {
             uint64_t e = nbtEntry(b, 0x200024);
             put32(b, e + 24, 0x12345);
             fixPageCrc(b, e - (e - 0x4400) % 512);
         },
         {"nidParent 0x12345 is not an existing folder"}},
        {"HeapSignatureInRootFolder",
         [](Bytes& b) {
             uint64_t e = nbtEntry(b, 0x122);
             uint64_t bid = get64(&b[e + 8]);
             for (const auto& be : bbtEntries(b))
                 if (be.bid == bid) {
                     b[be.ib + 2] = permuteEncode(0xED);
                     put32(b, blockTrailer(be) + 4, PstCrc(&b[be.ib], be.cb));
                     return;
                 }
         },
         {"node 0x122 (folder): heap signature 0xED"},
         true},
        {"FolderContentCountWrong",
         [](Bytes& b) { patchPcValue(b, 0x8082, 0x36020003, 5); },
         {"node 0x8082 (folder): PidTagContentCount 5 but the contents table has 1 rows",
          "row 0x8082 column 0x36020003 holds 1 but the object's property is 5"},
         true},
        {"MessageFlagsDifferFromContentsRow",
         [](Bytes& b) { patchPcValue(b, 0x200024, 0x0E070003, 0x01); },
         {"node 0x808E (contents table): row 0x200024 column 0xE070003 holds"},
         true},
        {"FolderNameDiffersFromHierarchyRow",
         [](Bytes& b) {
             patchPc(b, 0x8082, 0x3001001F, [](Bytes& plain, size_t record, const auto& item) {
                 size_t size;
                 plain[item(get32(&plain[record + 4]), size)] ^= 0x01;  // first UTF-16 unit of the name
             });
         },
         {"node 0x802D (hierarchy table): row 0x8082 column 0x3001001F differs from the object's value"},
         true},
        {"MessageSubjectDiffersFromContentsRow",
         [](Bytes& b) {
             patchPc(b, 0x200024, 0x0037001F, [](Bytes& plain, size_t record, const auto& item) {
                 size_t size;
                 plain[item(get32(&plain[record + 4]), size) + size - 2] ^= 0x01;  // last UTF-16 unit
             });
         },
         {"node 0x808E (contents table): row 0x200024 column 0x37001F differs from the object's value"},
         true},
        {"XBlockTotalWrong",
         [](Bytes& b) {
             patchBlock(
                 b, [](const Bytes& b, const BbtLeafEntry& e) { return isInternal(b, e, 1, 1, 1); },
                 [](Bytes& d) { put32(d, 4, get32(&d[4]) + 1); });
         },
         {"lcbTotal", "but its children hold"},
         true},
        {"SubnodeEntriesSwapped",
         [](Bytes& b) {
             patchBlock(
                 b, [](const Bytes& b, const BbtLeafEntry& e) { return isInternal(b, e, 2, 0, 2); },
                 [](Bytes& d) {
                     for (int i = 0; i < 24; ++i) std::swap(d[8 + i], d[32 + i]);
                 });
         },
         {"subnode NID", "not above the previous"}},
        {"TemplateColumnsUnsorted",
         [](Bytes& b) {
             uint64_t bid = get64(&b[nbtEntry(b, 0x60D) + 8]);
             patchBlock(
                 b, [bid](const Bytes&, const BbtLeafEntry& e) { return e.bid == bid; },
                 [](Bytes& d) {
                     size_t map = get16(&d[0]), index = (get32(&d[4]) >> 5) & 0x7FF;
                     size_t tcinfo = get16(&d[map + 4 + 2 * (index - 1)]);
                     for (int i = 0; i < 8; ++i) std::swap(d[tcinfo + 22 + 16 + i], d[tcinfo + 22 + 24 + i]);
                 });
         },
         {"node 0x60D (hierarchy table): column", "not sorted above"}},
        {"NodeDataBidMissingFromBbt",
         [](Bytes& b) {
             uint64_t e = nbtEntry(b, 0x21);
             put64(b, e + 8, 0x7FFFFFFC);
             fixPageCrc(b, e - (e - 0x4400) % 512);
         },
         {"node 0x21: references BID 0x7FFFFFFC, which the BBT does not list"}},
        {"BbtPagePointsBackToRoot",
         [](Bytes& b) {
             uint64_t root = get64(&b[240]);
             ASSERT_GT(b[root + 491], 0) << "sample's BBT root is expected to be an intermediate page";
             put64(b, root + 24 + 8, get64(&b[232]));
             put64(b, root + 24 + 16, root);
             fixPageCrc(b, root);
         },
         {"BBT page: page reached twice"}},
        {"FileTruncatedBySection", [](Bytes& b) { b.resize(b.size() - 512); }, {"ibFileEof", "whole number"}},
        {"FolderUnreadCountWrong",
         [](Bytes& b) { patchPcValue(b, 0x8082, 0x36030003, 7); },
         {"node 0x8082 (folder): PidTagContentUnreadCount 7 but"},
         false,
         true},
    };
}

class PstVerifyDamage : public ::testing::TestWithParam<DamageCase> {};

TEST_P(PstVerifyDamage, FailsNamingTheFault) {
    fs::path src = samplePath("pstsdk-sample1.pst");
    if (!fs::exists(src)) GTEST_SKIP() << "Outlook sample missing: " << src;
    const DamageCase& c = GetParam();
    Bytes bytes = readAll(src);
    c.damage(bytes);
    testsupport::TempDir tmp;
    writeAll(tmp.path() / "damaged.pst", bytes);
    std::vector<std::string> problems;
    bool ok = VerifyPst(tmp.file("damaged.pst"), &problems, {.strictAllocation = c.strict});
    std::string all;
    for (const auto& p : problems) all += "  " + p + "\n";
    EXPECT_FALSE(ok);
    for (const std::string& want : c.expected) {
        bool found = false;
        for (const auto& p : problems) found = found || p.find(want) != std::string::npos;
        EXPECT_TRUE(found) << "no problem mentions \"" << want << "\"; got:\n" << all;
    }
    if (c.onlyThese) {
        for (const auto& p : problems) {
            bool expected = false;
            for (const std::string& want : c.expected) expected = expected || p.find(want) != std::string::npos;
            EXPECT_TRUE(expected) << "unexpected problem: " << p << "\nall:\n" << all;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(SingleFaults, PstVerifyDamage, ::testing::ValuesIn(damageCases()),
                         [](const ::testing::TestParamInfo<DamageCase>& i) { return std::string(i.param.name); });

TEST(PstVerifyCrc, MatchesKnownVectorsAcrossTheEightByteTail) {
    const char* digits = "123456789";
    EXPECT_EQ(PstCrc(reinterpret_cast<const uint8_t*>(digits), 9), 0x2DFD2D88u);
    const char16_t name[] = u"content-class";
    Bytes utf16;
    for (char16_t ch : std::u16string(name)) {
        utf16.push_back(uint8_t(ch));
        utf16.push_back(uint8_t(ch >> 8));
    }
    EXPECT_EQ(PstCrc(utf16.data(), utf16.size()), 0xE6008F65u);
    Bytes zeros(8176, 0);
    EXPECT_EQ(PstCrc(zeros.data(), zeros.size()), 0u);
}

TEST(PstVerifySamples, OutlookWrittenStoresPass) {
    for (const char* name : kSamples) {
        fs::path p = samplePath(name);
        if (!fs::exists(p)) GTEST_SKIP() << "Outlook sample missing: " << p;
        std::vector<std::string> problems;
        EXPECT_TRUE(VerifyPst(p.string(), &problems)) << name << ": " << (problems.empty() ? "" : problems.front());
        EXPECT_TRUE(problems.empty());
    }
}

TEST(PstVerifySamples, StrictModeFlagsSpaceNoLiveDataUses) {
    // sample1's maps are exact; test_unicode's AMap keeps pages Outlook freed long ago.
    fs::path exact = samplePath("pstsdk-sample1.pst"), loose = samplePath("pstsdk-test_unicode.pst");
    if (!fs::exists(exact) || !fs::exists(loose)) GTEST_SKIP() << "Outlook samples missing in " << VELLARY_SAMPLES_DIR;
    VerifyOptions strict;
    strict.strictAllocation = true;
    std::vector<std::string> problems;
    EXPECT_TRUE(VerifyPst(exact.string(), &problems, strict)) << (problems.empty() ? "" : problems.front());
    problems.clear();
    EXPECT_FALSE(VerifyPst(loose.string(), &problems, strict));
    bool orphan = false;
    for (const auto& p : problems) orphan = orphan || p.find("hold no live page or block") != std::string::npos;
    EXPECT_TRUE(orphan);
}

TEST(PstVerifySamples, MissingOrForeignFileFailsCleanly) {
    std::vector<std::string> problems;
    EXPECT_FALSE(VerifyPst("/nonexistent/dir/none.pst", &problems));
    ASSERT_FALSE(problems.empty());
    EXPECT_NE(problems.front().find("cannot open"), std::string::npos);

    testsupport::TempDir tmp;
    writeAll(tmp.path() / "not-a-store.pst", Bytes(4096, 0x41));
    problems.clear();
    EXPECT_FALSE(VerifyPst(tmp.file("not-a-store.pst"), &problems));
    ASSERT_FALSE(problems.empty());
    EXPECT_NE(problems.front().find("dwMagic"), std::string::npos);
}

}  // namespace
