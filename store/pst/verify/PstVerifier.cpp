// Node-and-block half of the .pst verifier: header and ROOT, allocation map pages, DList,
// NBT and BBT pages, every block's trailer and CRC, data and subnode trees, reference
// counts, and the comparison of live space against the AMaps. It reads the file with
// pread, walks the blocks in file order through a read-ahead window, and keeps only
// per-block bookkeeping in memory, so multi-gigabyte stores verify in one pass.
// The heap, table and folder checks live in PstVerifierLtp.cpp.
// 64-bit file offsets on 32-bit builds too: stores grow past 4 GB.
#define _FILE_OFFSET_BITS 64

#include "store/pst/verify/PstVerifier.h"


#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/Platform.h"
#include "store/pst/verify/PstVerifierDetail.h"

namespace store::pst {
namespace verifydetail {

namespace {

constexpr int kMaxBTreeDepth = 9;
constexpr size_t kWindowBytes = 4 << 20;

// CRC-32 (reflected 0xEDB88320, initial value 0, no final inversion), slicing by 8:
// table k advances a byte that sits k positions before the end of an 8-byte group.
uint32_t gCrcTable[8][256];
bool gCrcReady = false;

void buildCrcTable() {
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (0xEDB88320u ^ (c >> 1)) : (c >> 1);
        gCrcTable[0][i] = c;
    }
    for (int t = 1; t < 8; ++t)
        for (uint32_t i = 0; i < 256; ++i)
            gCrcTable[t][i] = (gCrcTable[t - 1][i] >> 8) ^ gCrcTable[0][gCrcTable[t - 1][i] & 0xFF];
    gCrcReady = true;
}

// Decoding table of the permute encoding: stored byte -> plain byte. Derived from an
// Outlook-written store whose attachment bytes are known (every value occurs).
const uint8_t kUnpermute[256] = {
    0x47, 0xF1, 0xB4, 0xE6, 0x0B, 0x6A, 0x72, 0x48, 0x85, 0x4E, 0x9E, 0xEB, 0xE2, 0xF8, 0x94, 0x53, 0xE0, 0xBB, 0xA0,
    0x02, 0xE8, 0x5A, 0x09, 0xAB, 0xDB, 0xE3, 0xBA, 0xC6, 0x7C, 0xC3, 0x10, 0xDD, 0x39, 0x05, 0x96, 0x30, 0xF5, 0x37,
    0x60, 0x82, 0x8C, 0xC9, 0x13, 0x4A, 0x6B, 0x1D, 0xF3, 0xFB, 0x8F, 0x26, 0x97, 0xCA, 0x91, 0x17, 0x01, 0xC4, 0x32,
    0x2D, 0x6E, 0x31, 0x95, 0xFF, 0xD9, 0x23, 0xD1, 0x00, 0x5E, 0x79, 0xDC, 0x44, 0x3B, 0x1A, 0x28, 0xC5, 0x61, 0x57,
    0x20, 0x90, 0x3D, 0x83, 0xB9, 0x43, 0xBE, 0x67, 0xD2, 0x46, 0x42, 0x76, 0xC0, 0x6D, 0x5B, 0x7E, 0xB2, 0x0F, 0x16,
    0x29, 0x3C, 0xA9, 0x03, 0x54, 0x0D, 0xDA, 0x5D, 0xDF, 0xF6, 0xB7, 0xC7, 0x62, 0xCD, 0x8D, 0x06, 0xD3, 0x69, 0x5C,
    0x86, 0xD6, 0x14, 0xF7, 0xA5, 0x66, 0x75, 0xAC, 0xB1, 0xE9, 0x45, 0x21, 0x70, 0x0C, 0x87, 0x9F, 0x74, 0xA4, 0x22,
    0x4C, 0x6F, 0xBF, 0x1F, 0x56, 0xAA, 0x2E, 0xB3, 0x78, 0x33, 0x50, 0xB0, 0xA3, 0x92, 0xBC, 0xCF, 0x19, 0x1C, 0xA7,
    0x63, 0xCB, 0x1E, 0x4D, 0x3E, 0x4B, 0x1B, 0x9B, 0x4F, 0xE7, 0xF0, 0xEE, 0xAD, 0x3A, 0xB5, 0x59, 0x04, 0xEA, 0x40,
    0x55, 0x25, 0x51, 0xE5, 0x7A, 0x89, 0x38, 0x68, 0x52, 0x7B, 0xFC, 0x27, 0xAE, 0xD7, 0xBD, 0xFA, 0x07, 0xF4, 0xCC,
    0x8E, 0x5F, 0xEF, 0x35, 0x9C, 0x84, 0x2B, 0x15, 0xD5, 0x77, 0x34, 0x49, 0xB6, 0x12, 0x0A, 0x7F, 0x71, 0x88, 0xFD,
    0x9D, 0x18, 0x41, 0x7D, 0x93, 0xD8, 0x58, 0x2C, 0xCE, 0xFE, 0x24, 0xAF, 0xDE, 0xB8, 0x36, 0xC8, 0xA1, 0x80, 0xA6,
    0x99, 0x98, 0xA8, 0x2F, 0x0E, 0x81, 0x65, 0x73, 0xE4, 0xC2, 0xA2, 0x8A, 0xD4, 0xE1, 0x11, 0xD0, 0x08, 0x8B, 0x2A,
    0xF2, 0xED, 0x9A, 0x64, 0x3F, 0xC1, 0x6C, 0xF9, 0xEC,
};

bool sectionHasPMap(uint64_t k) { return k % kPMapEverySections == 0; }
bool sectionHasFMap(uint64_t k) { return k >= kFMapFirstSection && (k - kFMapFirstSection) % kFMapEverySections == 0; }
bool sectionHasFPMap(uint64_t k) {
    return k >= kFPMapFirstSection && (k - kFPMapFirstSection) % kFPMapEverySections == 0;
}

uint64_t align64(uint64_t v) { return (v + 63) & ~uint64_t(63); }

const char* kindName(BlockKind k) {
    switch (k) {
        case BlockKind::Data: return "data block";
        case BlockKind::XBlock: return "XBLOCK";
        case BlockKind::XXBlock: return "XXBLOCK";
        case BlockKind::SLBlock: return "SLBLOCK";
        case BlockKind::SIBlock: return "SIBLOCK";
        case BlockKind::Bad: return "unreadable block";
        case BlockKind::Unread: return "unchecked block";
    }
    return "?";
}

}  // namespace

uint32_t PstCrc(const uint8_t* data, size_t n) {
    if (!gCrcReady) buildCrcTable();
    const auto& t = gCrcTable;
    uint32_t crc = 0;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint32_t lo = get32(data + i) ^ crc, hi = get32(data + i + 4);
        crc = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^ t[3][hi & 0xFF] ^
              t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
    }
    for (; i < n; ++i) crc = t[0][(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc;
}

uint16_t PstSignature(uint64_t ib, uint64_t bid) {
    uint32_t x = uint32_t(ib ^ bid);
    return uint16_t((x >> 16) ^ (x & 0xFFFF));
}

void UnpermuteBytes(uint8_t* data, size_t n) {
    for (size_t i = 0; i < n; ++i) data[i] = kUnpermute[data[i]];
}

std::string Hex(uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
    return buf;
}

// ---- Verifier: setup and reporting -----------------------------------------------------

Verifier::Verifier(const std::string& path, std::vector<std::string>* problems, const VerifyOptions& opts)
    : path_(path), problems_(problems), opts_(opts) {
    if (!gCrcReady) buildCrcTable();
}

Verifier::~Verifier() {
    if (fd_ >= 0) CloseFile(fd_);
}

void Verifier::problem(uint64_t offset, const std::string& structure, const std::string& what) {
    ++problemCount_;
    if (!problems_) return;
    if (problemCount_ > opts_.maxProblems) {
        if (problemCount_ == opts_.maxProblems + 1) problems_->push_back("(further problems not listed)");
        return;
    }
    char off[32];
    std::snprintf(off, sizeof off, "0x%08llX ", static_cast<unsigned long long>(offset));
    problems_->push_back(std::string(off) + structure + ": " + what);
}

bool Verifier::openFile() {
    fd_ = OpenFile(path_, kOpenRead);
    if (fd_ < 0) {
        problem(0, "file", std::string("cannot open: ") + std::strerror(errno));
        return false;
    }
    FileInfo info;
    if (!StatFile(fd_, &info)) {
        problem(0, "file", std::string("cannot stat: ") + std::strerror(errno));
        return false;
    }
    fileSize_ = info.size;
    return true;
}

bool Verifier::readAt(uint64_t off, void* buf, size_t n) {
    if (off > fileSize_ || n > fileSize_ - off) return false;
    auto* p = static_cast<uint8_t*>(buf);
    while (n > 0) {
        ssize_t got = ReadAt(fd_, p, n, off);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        p += got;
        off += uint64_t(got);
        n -= size_t(got);
    }
    return true;
}

bool Verifier::readSequential(uint64_t off, uint8_t* buf, size_t n) {
    if (off >= windowStart_ && off + n <= windowStart_ + window_.size()) {
        std::memcpy(buf, window_.data() + (off - windowStart_), n);
        return true;
    }
    if (off > fileSize_ || n > fileSize_ - off) return false;
    size_t want = size_t(std::min<uint64_t>(kWindowBytes, fileSize_ - off));
    window_.resize(want);
    if (!readAt(off, window_.data(), want)) {
        window_.clear();
        return false;
    }
    windowStart_ = off;
    std::memcpy(buf, window_.data(), n);
    return true;
}

// ---- Header and ROOT -------------------------------------------------------------------

bool Verifier::checkHeader() {
    if (fileSize_ < kHeaderBytes || !readAt(0, header_, kHeaderBytes)) {
        problem(0, "header", "file shorter than the 564-byte header");
        return false;
    }
    const uint8_t* h = header_;
    if (std::memcmp(h, kHeaderMagic, sizeof kHeaderMagic) != 0) {
        problem(0, "header", "dwMagic is not \"!BDN\"");
        return false;
    }
    if (get16(h + kHdrWMagicClient) != kMagicClient)
        problem(kHdrWMagicClient, "header", "wMagicClient " + Hex(get16(h + kHdrWMagicClient)) + ", expected 0x4D53");
    uint16_t ver = get16(h + kHdrWVer);
    if (ver != kVerUnicode && ver != kVerUnicodeWip) {
        problem(kHdrWVer, "header", "wVer " + std::to_string(ver) + " is not a Unicode store (23)");
        return false;
    }
    if (get16(h + kHdrWVerClient) != kVerClient)
        problem(kHdrWVerClient, "header", "wVerClient " + std::to_string(get16(h + kHdrWVerClient)) + ", expected 19");
    if (h[kHdrBPlatformCreate] != kPlatform || h[kHdrBPlatformAccess] != kPlatform)
        problem(kHdrBPlatformCreate, "header", "bPlatformCreate/bPlatformAccess not 1");
    uint32_t crcPartial = PstCrc(h + kHdrCrcStart, kHdrCrcPartialBytes);
    if (crcPartial != get32(h + kHdrDwCRCPartial))
        problem(kHdrDwCRCPartial, "header",
                "dwCRCPartial stored " + Hex(get32(h + kHdrDwCRCPartial)) + ", computed " + Hex(crcPartial));
    uint32_t crcFull = PstCrc(h + kHdrCrcStart, kHdrCrcFullBytes);
    if (crcFull != get32(h + kHdrDwCRCFull))
        problem(kHdrDwCRCFull, "header",
                "dwCRCFull stored " + Hex(get32(h + kHdrDwCRCFull)) + ", computed " + Hex(crcFull));
    if (h[kHdrBSentinel] != kSentinel)
        problem(kHdrBSentinel, "header", "bSentinel " + Hex(h[kHdrBSentinel]) + ", expected 0x80");
    cryptMethod_ = h[kHdrBCryptMethod];
    if (cryptMethod_ != kCryptNone && cryptMethod_ != kCryptPermute && cryptMethod_ != kCryptCyclic)
        problem(kHdrBCryptMethod, "header", "bCryptMethod " + Hex(cryptMethod_) + " is not NONE, PERMUTE or CYCLIC");
    if (opts_.strictAllocation) {
        for (size_t i = 0; i < 2 * kHdrRgbFMBytes; ++i)
            if (h[kHdrRgbFM + i] != 0xFF) {
                problem(kHdrRgbFM + i, "header",
                        i < kHdrRgbFMBytes ? "rgbFM byte is not 0xFF" : "rgbFP byte is not 0xFF");
                break;
            }
    }
    bidNextP_ = get64(h + kHdrBidNextP);
    bidNextB_ = get64(h + kHdrBidNextB);
    if (bidNextB_ % 4 != 0) problem(kHdrBidNextB, "header", "bidNextB " + Hex(bidNextB_) + " is not a multiple of 4");

    const uint8_t* r = h + kHdrRoot;
    ibFileEof_ = get64(r + kRootIbFileEof);
    ibAMapLast_ = get64(r + kRootIbAMapLast);
    fAMapValid_ = r[kRootFAMapValid];
    if (opts_.crashState && ibFileEof_ < fileSize_)
        fileSize_ = ibFileEof_;  // sections begun after the committed state: not part of it
    if (ibFileEof_ != fileSize_)
        problem(kHdrRoot + kRootIbFileEof, "ROOT",
                "ibFileEof " + Hex(ibFileEof_) + " but the file has " + Hex(fileSize_) + " bytes");
    if (fileSize_ < kFirstAmapOffset + kSectionBytes || (fileSize_ - kFirstAmapOffset) % kSectionBytes != 0)
        problem(kHdrRoot + kRootIbFileEof, "file",
                "size " + Hex(fileSize_) + " is not 0x4400 + a whole number of 253952-byte sections");
    uint64_t sections = fileSize_ > kFirstAmapOffset ? (fileSize_ - kFirstAmapOffset) / kSectionBytes : 0;
    if (sections == 0) {
        problem(0, "file", "no complete data section");
        return false;
    }
    uint64_t lastAmap = kFirstAmapOffset + (sections - 1) * kSectionBytes;
    if (ibAMapLast_ != lastAmap)
        problem(kHdrRoot + kRootIbAMapLast, "ROOT", "ibAMapLast " + Hex(ibAMapLast_) + ", expected " + Hex(lastAmap));
    mapsAreHints_ = opts_.crashState && fAMapValid_ == 0;
    if (fAMapValid_ != 2 && !mapsAreHints_ && (opts_.strictAllocation || fAMapValid_ != 1))
        problem(kHdrRoot + kRootFAMapValid, "ROOT",
                "fAMapValid " + std::to_string(fAMapValid_) + " (AMaps not marked valid)");
    if (opts_.strictAllocation && get64(r + kRootCbPMapFree) != 0)
        problem(kHdrRoot + kRootCbPMapFree, "ROOT",
                "cbPMapFree " + std::to_string(get64(r + kRootCbPMapFree)) + ", expected 0");
    sectionCount_ = sections;
    mappedBytes_ = sections * kSectionBytes;
    return true;
}

// ---- Allocation map pages --------------------------------------------------------------

bool Verifier::checkPageTrailer(const uint8_t* page, uint64_t ib, uint8_t ptype, uint64_t expectBid, bool expectSig,
                                const char* name) {
    const uint8_t* t = page + kPageTrailerOffset;
    constexpr size_t kPtypeRepeatAt = kPtPtypeRepeat - kPtPtype, kSigAt = kPtWSig - kPtPtype,
                     kCrcAt = kPtDwCRC - kPtPtype, kBidAt = kPtBid - kPtPtype;
    bool ok = true;
    if (t[0] != ptype || t[kPtypeRepeatAt] != ptype) {
        problem(ib + kPageTrailerOffset, name, "ptype " + Hex(t[0]) + "/" + Hex(t[1]) + ", expected " + Hex(ptype));
        ok = false;
    }
    uint64_t bid = get64(t + kBidAt);
    if (expectBid != UINT64_MAX && bid != expectBid) {
        problem(ib + kPtBid, name, "trailer BID " + Hex(bid) + ", expected " + Hex(expectBid));
        ok = false;
    }
    uint16_t sig = get16(t + kSigAt);
    uint16_t wantSig = expectSig ? PstSignature(ib, bid) : 0;
    if (sig != wantSig) {
        problem(ib + kPtWSig, name, "wSig " + Hex(sig) + ", expected " + Hex(wantSig));
        ok = false;
    }
    uint32_t crc = PstCrc(page, kPageTrailerOffset);
    if (crc != get32(t + kCrcAt)) {
        problem(ib + kPtDwCRC, name, "CRC stored " + Hex(get32(t + kCrcAt)) + ", computed " + Hex(crc));
        ok = false;
    }
    return ok;
}

void Verifier::checkMapPages() {
    amap_.assign(sectionCount_ * kPageDataBytes, 0);
    live_.assign(sectionCount_ * kPageDataBytes, 0);
    uint64_t zeroBits = 0;
    uint8_t page[kPageBytes];
    for (uint64_t k = 0; k < sectionCount_ && !tooManyProblems(); ++k) {
        uint64_t s = kFirstAmapOffset + k * kSectionBytes;
        struct Reserved {
            uint8_t ptype;
            const char* name;
        };
        std::vector<Reserved> reserved{{kPtypeAMap, "AMap page"}};
        if (sectionHasPMap(k)) reserved.push_back({kPtypePMap, "PMap page"});
        if (sectionHasFMap(k)) reserved.push_back({kPtypeFMap, "FMap page"});
        if (sectionHasFPMap(k)) reserved.push_back({kPtypeFPMap, "FPMap page"});
        for (size_t i = 0; i < reserved.size(); ++i) {
            uint64_t ib = s + i * kPageBytes;
            if (!readAt(ib, page, kPageBytes)) {
                problem(ib, reserved[i].name, "cannot read");
                continue;
            }
            checkPageTrailer(page, ib, reserved[i].ptype, ib, false, reserved[i].name);
            if (i == 0) std::memcpy(&amap_[k * kPageDataBytes], page, kPageDataBytes);
            if (reserved[i].ptype == kPtypePMap && opts_.strictAllocation) {
                for (size_t j = 0; j < kPageDataBytes; ++j)
                    if (page[j] != 0xFF) {
                        problem(ib + j, reserved[i].name, "byte is not 0xFF");
                        break;
                    }
            }
            markLive(ib, kPageBytes, reserved[i].name);
        }
        for (size_t j = 0; j < kPageDataBytes; ++j)
            zeroBits += 8 - size_t(__builtin_popcount(amap_[k * kPageDataBytes + j]));
    }
    if (mapsAreHints_) return;
    if (opts_.strictAllocation) checkFMapContent();
    uint64_t cbAMapFree = get64(header_ + kHdrRoot + kRootCbAMapFree);
    if (cbAMapFree != zeroBits * kSlotBytes)
        problem(kHdrRoot + kRootCbAMapFree, "ROOT",
                "cbAMapFree " + std::to_string(cbAMapFree) + " but the AMaps have " +
                    std::to_string(zeroBits * kSlotBytes) + " free bytes");
}

// FMap byte j holds the longest run of free slots (capped at 255) in the AMap of the
// j-th section the page covers; bytes past the last section are 0. Outlook ignores the
// values, so only strict mode asks for them.
void Verifier::checkFMapContent() {
    uint8_t page[kPageBytes];
    for (uint64_t k = kFMapFirstSection; k < sectionCount_; k += kFMapEverySections) {
        uint64_t ib = kFirstAmapOffset + k * kSectionBytes + 2 * kPageBytes;  // after AMap and PMap
        if (!readAt(ib, page, kPageBytes)) continue;
        for (uint64_t j = 0; j < kPageDataBytes; ++j) {
            unsigned want = 0;
            if (k + j < sectionCount_) {
                unsigned run = 0;
                for (unsigned s = 0; s < kPageDataBytes * 8 && want < 255; ++s) {
                    bool used = amap_[(k + j) * kPageDataBytes + s / 8] & (0x80 >> (s % 8));
                    run = used ? 0 : run + 1;
                    want = std::max(want, std::min(run, 255u));
                }
            }
            if (page[j] != want) {
                problem(ib + j, "FMap page",
                        "byte for section " + std::to_string(k + j) + " is " + std::to_string(page[j]) +
                            ", the longest free run is " + std::to_string(want));
                break;
            }
        }
    }
}

void Verifier::checkDList() {
    uint8_t page[kPageBytes];
    if (!readAt(kDListOffset, page, kPageBytes)) return;
    bool allZero = std::all_of(page, page + kPageBytes, [](uint8_t b) { return b == 0; });
    if (allZero) return;  // no DList: allowed
    if (!checkPageTrailer(page, kDListOffset, kPtypeDList, UINT64_MAX, true, "DList page")) return;
    if (opts_.strictAllocation && !opts_.crashState && get64(page + kPtBid) != bidNextP_)
        problem(kDListOffset + kPtBid, "DList page",
                "BID " + Hex(get64(page + kPtBid)) + " differs from bidNextP " + Hex(bidNextP_) +
                    " (readers treat it as stale)");
    uint8_t cEnt = page[1];
    if (cEnt > 119) {
        problem(kDListOffset + 1, "DList page", "cEntDList " + std::to_string(cEnt) + " exceeds 119");
        return;
    }
    for (unsigned i = 0; i < cEnt; ++i) {
        uint32_t e = get32(page + 8 + 4 * i);
        uint32_t amapIndex = e & 0xFFFFF;
        if (amapIndex >= sectionCount_)
            problem(kDListOffset + 8 + 4 * i, "DList page",
                    "entry names AMap " + std::to_string(amapIndex) + " beyond the last AMap");
    }
}

// Marks [ib, ib+bytes) as live: it must be allocated in the AMaps, inside the mapped
// area, and not already used by another page or block.
void Verifier::markLive(uint64_t ib, uint64_t bytes, const std::string& what) {
    uint64_t end = kFirstAmapOffset + mappedBytes_;
    if (ib < kFirstAmapOffset || ib > end || bytes > end - ib || bytes == 0) {
        problem(ib, what, "lies outside the mapped data sections");
        return;
    }
    uint64_t first = (ib - kFirstAmapOffset) / kSlotBytes;
    uint64_t last = (ib + bytes - 1 - kFirstAmapOffset) / kSlotBytes;
    bool freeReported = false, overlapReported = false;
    for (uint64_t s = first; s <= last; ++s) {
        uint8_t mask = uint8_t(0x80 >> (s % 8));
        if (!(amap_[s / 8] & mask) && !freeReported && !mapsAreHints_) {
            problem(kFirstAmapOffset + s * kSlotBytes, what,
                    "lies in space the AMap at " + Hex(kFirstAmapOffset + (s / 3968) * kSectionBytes) + " marks free");
            freeReported = true;
        }
        if ((live_[s / 8] & mask) && !overlapReported) {
            problem(kFirstAmapOffset + s * kSlotBytes, what, "overlaps another page or block");
            overlapReported = true;
        }
        live_[s / 8] |= mask;
    }
}

// ---- B-trees ---------------------------------------------------------------------------

void Verifier::walkBTree(bool isNbt, uint64_t bid, uint64_t ib, int expectLevel, uint64_t lowKey, uint64_t highKey,
                         bool hasHigh, int depth) {
    const char* name = isNbt ? "NBT page" : "BBT page";
    if (tooManyProblems()) return;
    if (depth > kMaxBTreeDepth) {
        problem(ib, name, "B-tree deeper than 8 levels (loop?)");
        return;
    }
    if (ib % kPageBytes != 0) {
        problem(ib, name, "page offset not 512-aligned");
        return;
    }
    uint8_t page[kPageBytes];
    if (!readAt(ib, page, kPageBytes)) {
        problem(ib, name, "page beyond the end of the file");
        return;
    }
    if (!visitedPages_.insert(ib).second) {
        problem(ib, name, "page reached twice in the B-trees");
        return;
    }
    markLive(ib, kPageBytes, name);
    maxPageBid_ = std::max(maxPageBid_, bid);
    if (opts_.strictAllocation && !pageBids_.insert(bid).second)
        problem(ib, name, "page BID " + Hex(bid) + " used twice");
    checkPageTrailer(page, ib, isNbt ? kPtypeNbt : kPtypeBbt, bid, true, name);
    unsigned cEnt = page[kBtCEnt], cEntMax = page[kBtCEntMax], cbEnt = page[kBtCbEnt];
    int cLevel = page[kBtCLevel];
    if (depth == 0) (isNbt ? report_.nbtLevels : report_.bbtLevels) = cLevel + 1;
    if (expectLevel >= 0 && cLevel != expectLevel) {
        problem(ib + kBtCLevel, name,
                "cLevel " + std::to_string(cLevel) + ", expected " + std::to_string(expectLevel) + " below its parent");
        return;
    }
    unsigned wantCb = cLevel > 0 ? kBtEntryBytes : (isNbt ? kNbtEntryBytes : kBbtEntryBytes);
    if (cbEnt != wantCb) {
        problem(ib + kBtCbEnt, name, "cbEnt " + std::to_string(cbEnt) + ", expected " + std::to_string(wantCb));
        return;
    }
    if (cEntMax != kBtEntriesBytes / wantCb)
        problem(ib + kBtCEntMax, name,
                "cEntMax " + std::to_string(cEntMax) + ", expected " + std::to_string(kBtEntriesBytes / wantCb));
    if (cEnt > kBtEntriesBytes / wantCb) {
        problem(ib + kBtCEnt, name, "cEnt " + std::to_string(cEnt) + " exceeds the page capacity");
        return;
    }
    if (cEnt == 0 && depth > 0) problem(ib + kBtCEnt, name, "empty non-root page");
    uint64_t prevKey = 0;
    for (unsigned i = 0; i < cEnt; ++i) {
        const uint8_t* e = page + i * cbEnt;
        uint64_t key = get64(e);
        uint64_t entOff = ib + i * cbEnt;
        if (i > 0 && key <= prevKey)
            problem(entOff, name, "key " + Hex(key) + " not above the previous key " + Hex(prevKey));
        if (i == 0 && depth > 0 && key != lowKey)
            problem(entOff, name, "first key " + Hex(key) + " differs from the parent's key " + Hex(lowKey));
        if (key < lowKey || (hasHigh && key >= highKey))
            problem(entOff, name, "key " + Hex(key) + " outside the range its parent gives");
        prevKey = key;
        if (cLevel > 0) {
            bool last = i + 1 == cEnt;
            uint64_t next = last ? highKey : get64(e + cbEnt);
            walkBTree(isNbt, get64(e + kBtEntryBid), get64(e + kBtEntryIb), cLevel - 1, key, next,
                      last ? hasHigh : true, depth + 1);
        } else if (isNbt) {
            NodeInfo n;
            if (key > 0xFFFFFFFFull) problem(entOff, name, "NID " + Hex(key) + " has high bits set");
            n.nid = uint32_t(key);
            n.bidData = get64(e + kNbtEntryBidData);
            n.bidSub = get64(e + kNbtEntryBidSub);
            n.nidParent = get32(e + kNbtEntryNidParent);
            n.where = entOff;
            nodes_.push_back(n);
        } else {
            BlockInfo b;
            b.bid = key;
            b.ib = get64(e + kBbtEntryIb);
            b.cb = get16(e + kBbtEntryCb);
            b.cRef = get16(e + kBbtEntryCRef);
            if (key & 1) problem(entOff, name, "BID " + Hex(key) + " has the reserved bit 0 set");
            blocks_.push_back(b);
        }
    }
}

// ---- Blocks ----------------------------------------------------------------------------

const BlockInfo* Verifier::findBlock(uint64_t bid) const {
    auto it =
        std::lower_bound(blocks_.begin(), blocks_.end(), bid, [](const BlockInfo& b, uint64_t v) { return b.bid < v; });
    if (it == blocks_.end() || it->bid != bid) return nullptr;
    return &*it;
}

const NodeInfo* Verifier::findNode(uint32_t nid) const {
    auto it =
        std::lower_bound(nodes_.begin(), nodes_.end(), nid, [](const NodeInfo& n, uint32_t v) { return n.nid < v; });
    if (it == nodes_.end() || it->nid != nid) return nullptr;
    return &*it;
}

void Verifier::addReference(uint64_t bid, uint64_t fromOffset, const std::string& from, int expect) {
    const BlockInfo* b = findBlock(bid & ~uint64_t(1));
    if (!b) {
        problem(fromOffset, from, "references BID " + Hex(bid) + ", which the BBT does not list");
        return;
    }
    auto idx = uint32_t(b - blocks_.data());
    ++blocks_[idx].refs;
    edges_.push_back({idx, expect, fromOffset, UINT32_MAX});
}

void Verifier::checkBlocks() {
    // Visit blocks in file order so the read-ahead window streams through the file.
    std::vector<uint32_t> order(blocks_.size());
    for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return blocks_[a].ib < blocks_[b].ib; });

    std::vector<uint8_t> buf(kMaxBlockBytes);
    for (uint32_t idx : order) {
        if (tooManyProblems()) return;
        BlockInfo& b = blocks_[idx];
        std::string name = "block " + Hex(b.bid);
        b.kind = BlockKind::Bad;
        uint64_t total = align64(uint64_t(b.cb) + kBlockTrailerBytes);
        if (b.cb > kMaxBlockData) {
            problem(b.ib, name, "cb " + std::to_string(b.cb) + " exceeds 8176");
            continue;
        }
        if (b.ib % kSlotBytes != 0) {
            problem(b.ib, name, "offset not 64-aligned");
            continue;
        }
        if (b.ib < kFirstAmapOffset || b.ib > fileSize_ || total > fileSize_ - b.ib) {
            problem(b.ib, name, "lies outside the file's data sections");
            continue;
        }
        uint64_t sectionStart = kFirstAmapOffset + (b.ib - kFirstAmapOffset) / kSectionBytes * kSectionBytes;
        if (b.ib + total > sectionStart + kSectionBytes) problem(b.ib, name, "crosses into the next data section");
        markLive(b.ib, total, name);
        if (!readSequential(b.ib, buf.data(), size_t(total))) {
            problem(b.ib, name, "cannot read");
            continue;
        }
        const uint8_t* t = buf.data() + total - kBlockTrailerBytes;
        uint16_t tcb = get16(t + kBtrCb);
        uint16_t sig = get16(t + kBtrWSig);
        uint32_t crc = get32(t + kBtrDwCRC);
        uint64_t tbid = get64(t + kBtrBid);
        bool ok = true;
        uint64_t toff = b.ib + total - kBlockTrailerBytes;
        if (tcb != b.cb) {
            problem(toff, name, "trailer cb " + std::to_string(tcb) + ", BBT says " + std::to_string(b.cb));
            ok = false;
        }
        if (tbid != b.bid) {
            problem(toff + 8, name, "trailer BID " + Hex(tbid) + ", BBT says " + Hex(b.bid));
            ok = false;
        }
        if (sig != PstSignature(b.ib, b.bid)) {
            problem(toff + 2, name, "wSig " + Hex(sig) + ", expected " + Hex(PstSignature(b.ib, b.bid)));
            ok = false;
        }
        uint32_t want = PstCrc(buf.data(), b.cb);
        if (crc != want) {
            problem(toff + 4, name, "CRC stored " + Hex(crc) + ", computed over the data " + Hex(want));
            ok = false;
        }
        b.trailerOk = ok;
        if (!(b.bid & 2)) {
            b.kind = BlockKind::Data;
            continue;
        }
        // Internal block: parse its header and count the references it holds.
        const uint8_t* d = buf.data();
        if (b.cb < 8) {
            problem(b.ib, name, "internal block shorter than its 8-byte header");
            continue;
        }
        uint8_t btype = d[0], cLevel = d[1];
        uint16_t cEnt = get16(d + 2);
        if (btype == 1 && (cLevel == 1 || cLevel == 2)) {
            if (8 + size_t(cEnt) * 8 != b.cb || cEnt == 0) {
                problem(b.ib, name,
                        "XBLOCK/XXBLOCK cEnt " + std::to_string(cEnt) + " does not fit cb " + std::to_string(b.cb));
                continue;
            }
            b.kind = cLevel == 1 ? BlockKind::XBlock : BlockKind::XXBlock;
            b.aux = get32(d + 4);
            int expect = cLevel == 1 ? KindBit(BlockKind::Data) : KindBit(BlockKind::XBlock);
            for (unsigned i = 0; i < cEnt; ++i) {
                uint64_t child = get64(d + 8 + 8 * i);
                size_t before = edges_.size();
                addReference(child, b.ib + 8 + 8 * i, name, expect);
                if (edges_.size() > before) edges_.back().from = idx;
            }
        } else if (btype == 2 && (cLevel == 0 || cLevel == 1)) {
            size_t entBytes = cLevel == 0 ? 24 : 16;
            if (8 + size_t(cEnt) * entBytes != b.cb || cEnt == 0) {
                problem(b.ib, name,
                        "SLBLOCK/SIBLOCK cEnt " + std::to_string(cEnt) + " does not fit cb " + std::to_string(b.cb));
                continue;
            }
            b.kind = cLevel == 0 ? BlockKind::SLBlock : BlockKind::SIBlock;
            b.aux = get64(d + 8) & 0xFFFFFFFFull;
            uint32_t prev = 0;
            for (unsigned i = 0; i < cEnt; ++i) {
                const uint8_t* e = d + 8 + i * entBytes;
                uint64_t eoff = b.ib + 8 + i * entBytes;
                uint32_t nid = get32(e);  // upper half may hold garbage in Outlook's files
                if (i > 0 && nid <= prev)
                    problem(eoff, name, "subnode NID " + Hex(nid) + " not above the previous " + Hex(prev));
                prev = nid;
                size_t before = edges_.size();
                if (cLevel == 0) {
                    uint64_t bd = get64(e + 8), bs = get64(e + 16);
                    if (bd == 0) {
                        problem(eoff, name, "subnode " + Hex(nid) + " has no data BID");
                    } else {
                        addReference(
                            bd, eoff + 8, name,
                            KindBit(BlockKind::Data) | KindBit(BlockKind::XBlock) | KindBit(BlockKind::XXBlock));
                    }
                    if (bs != 0)
                        addReference(bs, eoff + 16, name, KindBit(BlockKind::SLBlock) | KindBit(BlockKind::SIBlock));
                } else {
                    addReference(get64(e + 8), eoff + 8, name, KindBit(BlockKind::SLBlock));
                }
                for (size_t k = before; k < edges_.size(); ++k) edges_[k].from = idx;
            }
        } else {
            problem(b.ib, name, "internal block with unknown btype " + Hex(btype) + " / cLevel " + Hex(cLevel));
        }
    }
}

// Checks reference targets, tree totals and cRef once every block has been read.
void Verifier::checkReferenceCounts() {
    for (const Edge& e : edges_) {
        if (tooManyProblems()) return;
        const BlockInfo& t = blocks_[e.target];
        if (t.kind == BlockKind::Bad || t.kind == BlockKind::Unread) continue;
        if (!(e.expect & KindBit(t.kind))) {
            problem(e.fromOffset, e.from == UINT32_MAX ? "NBT entry" : "block " + Hex(blocks_[e.from].bid),
                    "references " + Hex(t.bid) + ", which is a " + kindName(t.kind));
            continue;
        }
        if (e.from != UINT32_MAX && blocks_[e.from].kind == BlockKind::SIBlock && t.kind == BlockKind::SLBlock) {
            // The SIENTRY key must be the first NID of the child SLBLOCK.
            uint8_t key[4];
            if (readAt(e.fromOffset - 8, key, 4) && get32(key) != uint32_t(t.aux))
                problem(
                    e.fromOffset - 8, "block " + Hex(blocks_[e.from].bid),
                    "SIENTRY key " + Hex(get32(key)) + " differs from the first NID " + Hex(t.aux) + " of its SLBLOCK");
        }
    }
    // lcbTotal of every XBLOCK/XXBLOCK equals the sum of its children.
    std::vector<uint64_t> sums(blocks_.size(), 0);
    for (const Edge& e : edges_) {
        if (e.from == UINT32_MAX) continue;
        const BlockInfo& p = blocks_[e.from];
        const BlockInfo& t = blocks_[e.target];
        if (p.kind == BlockKind::XBlock)
            sums[e.from] += t.cb;
        else if (p.kind == BlockKind::XXBlock)
            sums[e.from] += t.aux;
    }
    for (size_t i = 0; i < blocks_.size() && !tooManyProblems(); ++i) {
        const BlockInfo& b = blocks_[i];
        if ((b.kind == BlockKind::XBlock || b.kind == BlockKind::XXBlock) && sums[i] != b.aux)
            problem(
                b.ib + 4, "block " + Hex(b.bid),
                "lcbTotal " + std::to_string(b.aux) + " but its children hold " + std::to_string(sums[i]) + " bytes");
        if (opts_.strictAllocation && b.refs == 0 && b.kind != BlockKind::Bad)
            problem(b.ib, "block " + Hex(b.bid), "listed in the BBT but nothing references it");
        if (b.cRef != b.refs + 1)
            problem(b.ib, "block " + Hex(b.bid),
                    "cRef " + std::to_string(b.cRef) + " but " + std::to_string(b.refs) +
                        " references (expected cRef " + std::to_string(b.refs + 1) + ")");
    }
}

void Verifier::checkAllocationTotals() {
    if (!opts_.strictAllocation || mapsAreHints_) return;
    // Every AMap bit that is set must cover a live page or block (or a map page).
    for (uint64_t k = 0; k < sectionCount_ && !tooManyProblems(); ++k) {
        uint64_t runStart = UINT64_MAX, runLen = 0;
        auto flush = [&]() {
            if (runLen)
                problem(kFirstAmapOffset + runStart * kSlotBytes, "AMap " + Hex(kFirstAmapOffset + k * kSectionBytes),
                        std::to_string(runLen * kSlotBytes) + " bytes marked allocated hold no live page or block");
            runLen = 0;
        };
        for (uint64_t s = k * 3968; s < (k + 1) * 3968; ++s) {
            uint8_t mask = uint8_t(0x80 >> (s % 8));
            bool orphan = (amap_[s / 8] & mask) && !(live_[s / 8] & mask);
            if (orphan) {
                if (!runLen) runStart = s;
                ++runLen;
            } else {
                flush();
            }
        }
        flush();
    }
}

void Verifier::checkCounters() {
    uint64_t maxBid = 0;
    for (const BlockInfo& b : blocks_) maxBid = std::max(maxBid, b.bid);
    if (!blocks_.empty() && bidNextB_ <= maxBid)
        problem(kHdrBidNextB, "header",
                "bidNextB " + Hex(bidNextB_) + " not above the largest block BID " + Hex(maxBid));
    if (bidNextP_ <= maxPageBid_)
        problem(kHdrBidNextP, "header",
                "bidNextP " + Hex(bidNextP_) + " not above the largest page BID " + Hex(maxPageBid_));
    uint32_t rgnid[32];
    for (int t = 0; t < 32; ++t) rgnid[t] = get32(header_ + kHdrRgnid + 4 * t);
    if (opts_.strictAllocation &&
        !(rgnid[0x02] == rgnid[0x0D] && rgnid[0x02] == rgnid[0x0E] && rgnid[0x02] == rgnid[0x0F]))
        problem(kHdrRgnid + 8, "header", "rgnid slots for folders and their three tables differ");
    for (const NodeInfo& n : nodes_) {
        unsigned type = n.nid & 0x1F;
        if (type == 0x01) continue;  // fixed internal NIDs are not counted
        if ((n.nid >> 5) > rgnid[type]) {
            problem(kHdrRgnid + 4 * type, "header",
                    "rgnid[" + Hex(type) + "] = " + Hex(rgnid[type]) + " is below the index of node " + Hex(n.nid));
            break;
        }
    }
}

// ---- Driver ----------------------------------------------------------------------------

bool Verifier::run() {
    if (!openFile() || !checkHeader()) return false;
    checkMapPages();
    checkDList();
    const uint8_t* r = header_ + kHdrRoot;
    walkBTree(false, get64(r + kRootBrefBbt), get64(r + kRootBrefBbt + 8), -1, 0, 0, false, 0);
    walkBTree(true, get64(r + kRootBrefNbt), get64(r + kRootBrefNbt + 8), -1, 0, 0, false, 0);
    if (tooManyProblems()) return false;
    // Order problems were reported by the walk; sort anyway so lookups stay sound.
    std::sort(blocks_.begin(), blocks_.end(), [](const BlockInfo& a, const BlockInfo& b) { return a.bid < b.bid; });
    std::sort(nodes_.begin(), nodes_.end(), [](const NodeInfo& a, const NodeInfo& b) { return a.nid < b.nid; });
    for (size_t i = 1; i < blocks_.size(); ++i)
        if (blocks_[i].bid == blocks_[i - 1].bid)
            problem(blocks_[i].ib, "BBT", "BID " + Hex(blocks_[i].bid) + " listed twice");
    for (size_t i = 1; i < nodes_.size(); ++i)
        if (nodes_[i].nid == nodes_[i - 1].nid)
            problem(nodes_[i].where, "NBT", "NID " + Hex(nodes_[i].nid) + " listed twice");
    checkBlocks();
    report_.nodes = nodes_.size();
    report_.blocks = blocks_.size();
    for (const BlockInfo& b : blocks_) {
        report_.xxblocks += b.kind == BlockKind::XXBlock;
        report_.siblocks += b.kind == BlockKind::SIBlock;
    }
    for (const NodeInfo& n : nodes_) {
        report_.folders += (n.nid & kNidTypeMask) == kNidTypeNormalFolder;
        report_.messages += (n.nid & kNidTypeMask) == kNidTypeNormalMessage;
    }
    // References held by the NBT.
    for (const NodeInfo& n : nodes_) {
        std::string name = "node " + Hex(n.nid);
        if (n.bidData)
            addReference(n.bidData, n.where + 8, name,
                         KindBit(BlockKind::Data) | KindBit(BlockKind::XBlock) | KindBit(BlockKind::XXBlock));
        if (n.bidSub)
            addReference(n.bidSub, n.where + 16, name, KindBit(BlockKind::SLBlock) | KindBit(BlockKind::SIBlock));
    }
    checkReferenceCounts();
    checkAllocationTotals();
    checkCounters();
    if (!tooManyProblems()) checkMessaging();
    return problemCount_ == 0;
}

}  // namespace verifydetail

bool VerifyPst(const std::string& path, std::vector<std::string>* problems, const VerifyOptions& opts,
               VerifyReport* report) {
    verifydetail::Verifier v(path, problems, opts);
    const bool ok = v.run();
    if (report) *report = v.report();
    return ok;
}

}  // namespace store::pst
