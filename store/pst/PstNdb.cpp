// The node-and-block database of the .pst writer (MS-PST 2.2): the header and
// ROOT, allocation maps, blocks with their trailers, data and subnode trees, and
// the node and block B-trees, over one file written with pwrite. The layer above
// (PstLtp.cpp) hands it block contents and node entries; it knows nothing of
// heaps, tables or messages. Offsets and values come from PstFormat.h.
//
// File layout: header (0), DList page (0x4200), then sections of 253 952 bytes
// from 0x4400, each opening with its AMap page (and PMap, FMap, FPMap pages
// where the format puts them), filled by one cursor.
// Invariants:
//  1. Space is handed out only forward, from one cursor, 64-byte aligned; a
//     block or page never crosses a section's end (alloc() opens the next one).
//  2. Block ids only grow (by 4), so block B-tree leaf entries arrive sorted
//     and a leaf page is written as soon as it holds 20 entries.
//  3. Message nodes arrive in increasing node id order and sort after every
//     other node; their leaf pages are written as they fill, the other nodes
//     are sorted at each commit.
//  4. A commit writes everything its state needs (the rest of both B-trees,
//     the current section and its map), syncs, then writes the header that
//     points at that state, and syncs again.
//  5. Nothing written after a commit goes to space the committed state uses,
//     and committed bytes of the current section are never rewritten: a crash
//     leaves the last committed state whole.
//  6. A checkpoint's own writes (transient mode) stay out of the lasting block
//     tree and become free once a later state is committed; its header says
//     the maps are not exact (fAMapValid 0). Only the final commit writes exact
//     maps, the FMaps and the DList, and fAMapValid 2.
//  7. After the first I/O error nothing more is written and every later call
//     reports that error.
#include "store/pst/PstNdb.h"

#include "common/Platform.h"
#include "common/fileio.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#if VELLARY_HAVE_LIBDEFLATE
#include <libdeflate.h>
#else
#include <zlib.h>
#endif

namespace store::pst {

namespace {

// Page and block signature from the file offset and the id.
uint16_t signature(uint64_t ib, uint64_t bid) {
    uint32_t x = uint32_t(ib ^ bid);
    return uint16_t((x >> 16) ^ (x & 0xFFFF));
}

bool hasPMap(uint64_t k) { return k % kPMapEverySections == 0; }
bool hasFMap(uint64_t k) { return k >= kFMapFirstSection && (k - kFMapFirstSection) % kFMapEverySections == 0; }
bool hasFPMap(uint64_t k) { return k >= kFPMapFirstSection && (k - kFPMapFirstSection) % kFPMapEverySections == 0; }

// The free slots of a section's allocation map and the longest run of them.
// A byte all used or all free is taken whole: scanned a bit at a time, the
// maps of a 20 MB store cost 4M instructions.
struct FreeSlots {
    unsigned count = 0;
    unsigned longestRun = 0;
};
FreeSlots freeSlots(const uint8_t* map) {
    FreeSlots f;
    unsigned run = 0;
    for (size_t i = 0; i < kPageDataBytes; ++i) {
        const uint8_t byte = map[i];
        if (byte == 0xFF) {
            run = 0;
        } else if (byte == 0) {
            f.count += 8;
            run += 8;
        } else {
            for (unsigned b = 0; b < 8; ++b) {
                if (byte & (0x80 >> b)) {
                    run = 0;
                } else {
                    ++f.count;
                    f.longestRun = std::max(f.longestRun, ++run);
                }
            }
        }
        f.longestRun = std::max(f.longestRun, run);
    }
    return f;
}

void trailer(uint8_t* page, uint8_t ptype, uint16_t sig, uint64_t bid) {
    page[kPtPtype] = ptype;
    page[kPtPtypeRepeat] = ptype;
    put16(page + kPtWSig, sig);
    put32(page + kPtDwCRC, pstCrc(page, kPageDataBytes));
    put64(page + kPtBid, bid);
}

}  // namespace

uint32_t pstCrc(const void* data, size_t n, uint32_t crc) {
    // Both libraries compute the same reflected polynomial with the value
    // inverted before and after: inverting around them gives the format's
    // form. libdeflate folds 64 bytes at a time with carry-less multiplies:
    // over a store of mail it spent a fourteenth of the instructions of
    // zlib's, whose CRCs were over a quarter of all the writer did. zlib
    // serves where libdeflate is missing (the Windows build).
#if VELLARY_HAVE_LIBDEFLATE
    return ~libdeflate_crc32(~crc, data, n);
#else
    while (n > 0) {
        const uInt piece = uInt(std::min<size_t>(n, 1u << 30));
        crc = ~uint32_t(crc32(~crc & 0xFFFFFFFFul, static_cast<const Bytef*>(data), piece));
        data = static_cast<const uint8_t*>(data) + piece;
        n -= piece;
    }
    return crc;
#endif
}

NdbWriter::NdbWriter() = default;

NdbWriter::~NdbWriter() { abandon(); }

void NdbWriter::abandon() {
    if (fd_ >= 0) CloseFile(fd_);
    fd_ = -1;
}

bool NdbWriter::create(const std::string& path, std::string* error) {
    fd_ = OpenFile(path, kOpenReadWrite | kOpenCreate | kOpenExclusive);
    if (fd_ < 0) {
        if (error) *error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    path_ = path;
    // Header area and the allocation-list page; the real content comes at close.
    std::vector<uint8_t> zeros(kFirstAmapOffset, 0);
    pwriteAll(zeros.data(), zeros.size(), 0);
    // Initial last-handed-out node indexes of a blank store.
    for (auto& v : rgnid) v = 0x400;
    rgnid[kNidTypeSearchFolder] = 0x4000;
    rgnid[kNidTypeNormalMessage] = 0x10000;
    rgnid[kNidTypeAssocMessage] = 0x8000;
    sec_.assign(kSectionBytes, 0);
    secIndex_ = 0;
    startSection();
    if (failed()) {
        if (error) *error = ioError_;
        abandon();
        RemoveFile(path);
        return false;
    }
    return true;
}

void NdbWriter::pwriteAll(const void* data, size_t n, uint64_t off) {
    if (!ioError_.empty() || fd_ < 0) return;  // invariant 7
    const uint8_t* p = static_cast<const uint8_t*>(data);
    while (n > 0) {
        ssize_t w = WriteAt(fd_, p, n, off);
        if (w < 0) {
            if (errno == EINTR) continue;
            ioError_ = "cannot write " + path_ + ": " + std::strerror(errno);
            return;
        }
        p += w;
        n -= size_t(w);
        off += uint64_t(w);
    }
}

unsigned NdbWriter::reservedPages(uint64_t k) {
    return 1 + (hasPMap(k) ? 1 : 0) + (hasFMap(k) ? 1 : 0) + (hasFPMap(k) ? 1 : 0);
}

void NdbWriter::markUsed(size_t off, size_t len) {
    size_t s = off / kSlotBytes;
    const size_t last = (off + len + kSlotBytes - 1) / kSlotBytes;
    // Whole bytes of the map at once: a data block covers 128 slots.
    for (; s < last && s % 8; ++s) sec_[s / 8] |= uint8_t(0x80 >> (s % 8));
    if (const size_t bytes = (last - s) / 8) {
        std::memset(sec_.data() + s / 8, 0xFF, bytes);
        s += 8 * bytes;
    }
    for (; s < last; ++s) sec_[s / 8] |= uint8_t(0x80 >> (s % 8));
}

void NdbWriter::startSection() {
    // Only the map pages are cleared here. Every byte below the cursor is
    // written once: by the block or page placed there, the zeros of a
    // block's padding or of an alignment gap (alloc), and the rest of the
    // section when it is sealed. Clearing all 248 KB up front wrote every
    // byte twice: a ninth of the writer's instructions.
    unsigned r = reservedPages(secIndex_);
    std::memset(sec_.data(), 0, r * kPageBytes);
    secCursor_ = r * kPageBytes;
    secFlushed_ = secCursor_;
    markUsed(0, secCursor_);
}

// Fills in the trailers of the section's map pages and writes them.
void NdbWriter::writeMapPages() {
    const uint64_t k = secIndex_;
    const uint64_t start = sectionStart(k);
    trailer(sec_.data(), kPtypeAMap, 0, start);
    size_t at = kPageBytes;
    if (hasPMap(k)) {
        std::memset(sec_.data() + at, 0xFF, kPageDataBytes);
        trailer(sec_.data() + at, kPtypePMap, 0, start + at);
        at += kPageBytes;
    }
    if (hasFMap(k)) {
        // Content filled in at close, when the runs of the sections it covers are known.
        trailer(sec_.data() + at, kPtypeFMap, 0, start + at);
        at += kPageBytes;
    }
    if (hasFPMap(k)) {
        std::memset(sec_.data() + at, 0xFF, kPageDataBytes);
        trailer(sec_.data() + at, kPtypeFPMap, 0, start + at);
        at += kPageBytes;
    }
    pwriteAll(sec_.data(), at, start);
}

void NdbWriter::sealSection() {
    const uint64_t k = secIndex_;
    const uint64_t start = sectionStart(k);
    std::memset(sec_.data() + secCursor_, 0, kSectionBytes - secCursor_);
    // Free space and the longest free run, from the bitmap.
    const FreeSlots free = freeSlots(sec_.data());
    cbAMapFree_ += uint64_t(free.count) * kSlotBytes;
    freeRuns_.push_back(uint8_t(std::min(free.longestRun, 255u)));
    writeMapPages();
    // Only what no commit has put on disk yet: committed bytes are never rewritten (invariant 5).
    pwriteAll(sec_.data() + secFlushed_, kSectionBytes - secFlushed_, start + secFlushed_);
    secFlushed_ = kSectionBytes;
    // The next commit's sync then waits for little more than its own writes.
    if (!failed()) StartWriteback(fd_, start, kSectionBytes);
    // A section holding transient ranges gets its map written again at close,
    // with those ranges free.
    auto inThis = [&](const std::pair<uint64_t, uint64_t>& r) {
        return (r.first - kFirstAmapOffset) / kSectionBytes == k;
    };
    if (std::any_of(building_.begin(), building_.end(), inThis) ||
        std::any_of(committed_.begin(), committed_.end(), inThis))
        sealedMaps_[k].bits.assign(sec_.begin(), sec_.begin() + kPageDataBytes);
}

uint64_t NdbWriter::alloc(size_t size, size_t align) {
    size_t at = (secCursor_ + align - 1) / align * align;
    if (at + size > kSectionBytes) {  // invariant 1
        sealSection();
        ++secIndex_;
        startSection();
        at = (secCursor_ + align - 1) / align * align;
    }
    std::memset(sec_.data() + secCursor_, 0, at - secCursor_);
    secCursor_ = at + size;
    markUsed(at, size);
    if (transient_) {
        // Transient writes follow each other: one range per section, the
        // alignment gaps (free anyway) included.
        const uint64_t ib = sectionStart(secIndex_) + at;
        if (!building_.empty() && building_.back().first >= sectionStart(secIndex_))
            building_.back().second = ib + size - building_.back().first;
        else
            building_.push_back({ib, size});
    }
    return at;  // offset inside the current section
}

// Marks file ranges free: in the current section's bitmap, or in the kept
// copy of a sealed section's map (written again at close).
void NdbWriter::release(const std::vector<std::pair<uint64_t, uint64_t>>& ranges) {
    for (const auto& [ib, len] : ranges) {
        const uint64_t k = (ib - kFirstAmapOffset) / kSectionBytes;
        uint8_t* bits = nullptr;
        SealedMap* sealed = nullptr;
        if (k == secIndex_) {
            bits = sec_.data();
        } else if (auto it = sealedMaps_.find(k); it != sealedMaps_.end()) {
            sealed = &it->second;
            bits = sealed->bits.data();
        } else {
            continue;  // cannot happen: every sealed section with transient ranges is kept
        }
        const uint64_t off = ib - sectionStart(k);
        for (uint64_t s = off / kSlotBytes; s < (off + len + kSlotBytes - 1) / kSlotBytes; ++s) {
            const uint8_t mask = uint8_t(0x80 >> (s % 8));
            if (!(bits[s / 8] & mask)) continue;
            bits[s / 8] &= uint8_t(~mask);
            if (sealed) {
                cbAMapFree_ += kSlotBytes;
                sealed->changed = true;
            }
        }
    }
}

// Writes the maps of sealed sections whose transient ranges were freed, and
// their longest free runs for the FMaps.
void NdbWriter::rewriteFreedMaps() {
    for (auto& [k, m] : sealedMaps_) {
        if (!m.changed) continue;
        freeRuns_[k] = uint8_t(std::min(freeSlots(m.bits.data()).longestRun, 255u));
        uint8_t page[kPageBytes] = {};
        std::memcpy(page, m.bits.data(), kPageDataBytes);
        trailer(page, kPtypeAMap, 0, sectionStart(k));
        pwriteAll(page, kPageBytes, sectionStart(k));
        m.changed = false;
    }
}

uint64_t NdbWriter::writeBlock(const void* data, size_t cb, bool internal) {
    const uint64_t bid = bidNextB_ | (internal ? kBidInternal : 0);
    bidNextB_ += kBidStep;
    const size_t total = (cb + kBlockTrailerBytes + kBlockAlign - 1) / kBlockAlign * kBlockAlign;
    const uint64_t at = alloc(total, kBlockAlign);
    uint8_t* p = sec_.data() + at;
    if (cb) std::memcpy(p, data, cb);
    std::memset(p + cb, 0, total - kBlockTrailerBytes - cb);
    const uint64_t ib = sectionStart(secIndex_) + at;
    uint8_t* t = p + total - kBlockTrailerBytes;
    put16(t + kBtrCb, uint16_t(cb));
    put16(t + kBtrWSig, signature(ib, bid));
    put32(t + kBtrDwCRC, pstCrc(p, cb));
    put64(t + kBtrBid, bid);

    if (bbtPending_.empty()) bbtPending_.assign(kBtEntriesBytes, 0);
    uint8_t* e = bbtPending_.data() + kBbtEntryBytes * bbtPendingCount_;
    put64(e, bid);
    put64(e + kBbtEntryIb, ib);
    put16(e + kBbtEntryCb, uint16_t(cb));
    put16(e + kBbtEntryCRef, 2);  // the tree's own reference plus the one structure that points here
    if (transient_) {
        transientBbt_.insert(transientBbt_.end(), e, e + kBbtEntryBytes);
        std::memset(e, 0, kBbtEntryBytes);
        return bid;
    }
    if (++bbtPendingCount_ == kBbtLeafMax) flushBbtLeaf();  // invariant 2
    return bid;
}

uint64_t NdbWriter::writePage(uint8_t* page, uint8_t ptype, uint64_t bid) {
    const uint64_t at = alloc(kPageBytes, kPageBytes);
    const uint64_t ib = sectionStart(secIndex_) + at;
    trailer(page, ptype, signature(ib, bid), bid);
    std::memcpy(sec_.data() + at, page, kPageBytes);
    return ib;
}

void NdbWriter::writeLeafPage(const uint8_t* entries, unsigned count, std::vector<Triple>& out) {
    uint8_t page[kPageBytes] = {};
    std::memcpy(page, entries, kBbtEntryBytes * count);
    page[kBtCEnt] = uint8_t(count);
    page[kBtCEntMax] = kBbtLeafMax;
    page[kBtCbEnt] = kBbtEntryBytes;
    page[kBtCLevel] = 0;
    const uint64_t firstKey = get64(page);
    const uint64_t bid = bidNextP_++;
    const uint64_t ib = writePage(page, kPtypeBbt, bid);
    out.push_back({firstKey, bid, ib});
}

void NdbWriter::flushBbtLeaf() {
    if (bbtPendingCount_ == 0) return;
    const unsigned n = bbtPendingCount_;
    bbtPendingCount_ = 0;
    std::vector<uint8_t> entries(bbtPending_.begin(), bbtPending_.begin() + kBbtEntryBytes * n);
    std::fill(bbtPending_.begin(), bbtPending_.end(), 0);
    writeLeafPage(entries.data(), n, bbtLeaves_);
}

void NdbWriter::flushNbtLeaf(std::vector<NbtEntry>& pending, std::vector<Triple>& out) {
    if (pending.empty()) return;
    uint8_t page[kPageBytes] = {};
    for (size_t i = 0; i < pending.size(); ++i) {
        uint8_t* e = page + kNbtEntryBytes * i;
        put64(e, pending[i].nid);
        put64(e + kNbtEntryBidData, pending[i].bidData);
        put64(e + kNbtEntryBidSub, pending[i].bidSub);
        put32(e + kNbtEntryNidParent, pending[i].parent);
    }
    page[kBtCEnt] = uint8_t(pending.size());
    page[kBtCEntMax] = kNbtLeafMax;
    page[kBtCbEnt] = kNbtEntryBytes;
    page[kBtCLevel] = 0;
    const uint64_t bid = bidNextP_++;
    const uint64_t ib = writePage(page, kPtypeNbt, bid);
    out.push_back({pending.front().nid, bid, ib});
    pending.clear();
}

NdbWriter::Triple NdbWriter::buildUpper(std::vector<Triple> level, uint8_t ptype) {
    uint8_t cLevel = 0;
    while (level.size() > 1) {
        ++cLevel;
        std::vector<Triple> next;
        for (size_t i = 0; i < level.size(); i += kBtIndexMax) {
            size_t n = std::min<size_t>(kBtIndexMax, level.size() - i);
            uint8_t page[kPageBytes] = {};
            for (size_t j = 0; j < n; ++j) {
                uint8_t* e = page + kBtEntryBytes * j;
                put64(e, level[i + j].key);
                put64(e + kBtEntryBid, level[i + j].bid);
                put64(e + kBtEntryIb, level[i + j].ib);
            }
            page[kBtCEnt] = uint8_t(n);
            page[kBtCEntMax] = kBtIndexMax;
            page[kBtCbEnt] = kBtEntryBytes;
            page[kBtCLevel] = cLevel;
            const uint64_t bid = bidNextP_++;
            const uint64_t ib = writePage(page, ptype, bid);
            next.push_back({level[i].key, bid, ib});
        }
        level.swap(next);
    }
    return level.front();
}

uint64_t NdbWriter::writeTree(const std::vector<BlockRef>& blocks) {
    if (blocks.empty()) return 0;
    if (blocks.size() == 1) return blocks[0].bid;
    auto xblock = [&](uint8_t cLevel, const BlockRef* refs, size_t n) -> BlockRef {
        std::vector<uint8_t> b(kXbRgbid + 8 * n);
        uint64_t total = 0;
        for (size_t i = 0; i < n; ++i) {
            put64(b.data() + kXbRgbid + 8 * i, refs[i].bid);
            total += refs[i].size;
        }
        b[kXbBtype] = kBtypeXBlock;
        b[kXbCLevel] = cLevel;
        put16(b.data() + kXbCEnt, uint16_t(n));
        put32(b.data() + kXbLcbTotal, uint32_t(total));
        return {writeBlock(b.data(), b.size(), true), uint32_t(total)};
    };
    uint64_t total = 0;
    for (const auto& r : blocks) total += r.size;
    if (total > 0xFFFFFFFFull || blocks.size() > size_t(kXBlockMax) * kXBlockMax) {
        if (ioError_.empty()) ioError_ = "a stream of 4 GiB or more cannot be stored";
        return 0;
    }
    if (blocks.size() <= kXBlockMax) return xblock(1, blocks.data(), blocks.size()).bid;
    std::vector<BlockRef> mid;
    for (size_t i = 0; i < blocks.size(); i += kXBlockMax)
        mid.push_back(xblock(1, blocks.data() + i, std::min<size_t>(kXBlockMax, blocks.size() - i)));
    return xblock(2, mid.data(), mid.size()).bid;
}

uint64_t NdbWriter::writeStream(const void* data, size_t n) {
    if (n == 0) return 0;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    if (n <= kMaxBlockData) return writeBlock(p, n);
    if (n > 0xFFFFFFFFull) {
        if (ioError_.empty()) ioError_ = "a value of 4 GiB or more cannot be stored";
        return 0;
    }
    std::vector<BlockRef> blocks;
    blocks.reserve(n / kMaxBlockData + 1);
    for (size_t off = 0; off < n; off += kMaxBlockData) {
        size_t cb = std::min(kMaxBlockData, n - off);
        blocks.push_back({writeBlock(p + off, cb), uint32_t(cb)});
    }
    return writeTree(blocks);
}

uint64_t NdbWriter::writeSubnodeTree(std::vector<SubnodeEntry> entries) {
    if (entries.empty()) return 0;
    std::sort(entries.begin(), entries.end(),
              [](const SubnodeEntry& a, const SubnodeEntry& b) { return a.nid < b.nid; });
    auto slblock = [&](const SubnodeEntry* e, size_t n) {
        std::vector<uint8_t> b(kXbRgbid + kSlEntryBytes * n, 0);
        b[kXbBtype] = kBtypeSubnode;
        b[kXbCLevel] = 0;
        put16(b.data() + kXbCEnt, uint16_t(n));
        for (size_t i = 0; i < n; ++i) {
            uint8_t* q = b.data() + kXbRgbid + kSlEntryBytes * i;
            put64(q, e[i].nid);
            put64(q + 8, e[i].bidData);
            put64(q + 16, e[i].bidSub);
        }
        return writeBlock(b.data(), b.size(), true);
    };
    if (entries.size() <= kSlMax) return slblock(entries.data(), entries.size());
    if (entries.size() > size_t(kSlMax) * kSiMax) {
        if (ioError_.empty()) ioError_ = "too many subnodes in one node";
        return 0;
    }
    std::vector<uint8_t> si(kXbRgbid, 0);
    si[kXbBtype] = kBtypeSubnode;
    si[kXbCLevel] = 1;
    size_t count = 0;
    for (size_t i = 0; i < entries.size(); i += kSlMax, ++count) {
        size_t n = std::min<size_t>(kSlMax, entries.size() - i);
        uint64_t bid = slblock(entries.data() + i, n);
        uint8_t q[kSiEntryBytes];
        put64(q, entries[i].nid);
        put64(q + 8, bid);
        si.insert(si.end(), q, q + kSiEntryBytes);
    }
    put16(si.data() + kXbCEnt, uint16_t(count));
    return writeBlock(si.data(), si.size(), true);
}

void NdbWriter::addMessageNode(uint32_t nid, uint64_t bidData, uint64_t bidSub, uint32_t parent) {
    lastMsgNid_ = nid;
    msgPending_.push_back({nid, bidData, bidSub, parent});
    if (msgPending_.size() == kNbtLeafMax) flushNbtLeaf(msgPending_, msgLeaves_);  // invariant 3
}

void NdbWriter::addNode(uint32_t nid, uint64_t bidData, uint64_t bidSub, uint32_t parent) {
    otherNodes_.push_back({nid, bidData, bidSub, parent});
}

void NdbWriter::beginState(bool transient) {
    otherNodes_.clear();
    transientBbt_.clear();
    building_.clear();
    transient_ = transient;
}

bool NdbWriter::sync() {
    if (failed() || fd_ < 0) return false;
    if (int e = SyncFileData(fd_)) {
        ioError_ = "cannot sync " + path_ + ": " + std::strerror(e);
        return false;
    }
    return true;
}

bool NdbWriter::commit(std::string* error) {
    auto fail = [&](const std::string& why) {
        if (ioError_.empty()) ioError_ = why;
        if (error) *error = ioError_;
        transient_ = false;
        return false;
    };
    if (fd_ < 0) return fail("the store is not open");
    if (failed()) return fail(ioError_);
    const bool final = !transient_;

    // Node B-tree: the other nodes sort before every message node. The open
    // leaf of message nodes is copied: it keeps filling after a checkpoint.
    std::sort(otherNodes_.begin(), otherNodes_.end(),
              [](const NbtEntry& a, const NbtEntry& b) { return a.nid < b.nid; });
    for (size_t i = 1; i < otherNodes_.size(); ++i)
        if (otherNodes_[i].nid == otherNodes_[i - 1].nid) return fail("internal error: duplicate node id");
    const uint64_t firstMsg = !msgLeaves_.empty()    ? msgLeaves_.front().key
                              : !msgPending_.empty() ? msgPending_.front().nid
                                                     : 0;
    if (!otherNodes_.empty() && firstMsg && otherNodes_.back().nid >= firstMsg)
        return fail("internal error: node ids out of order");
    std::vector<Triple> nbtLeaves;
    std::vector<NbtEntry> pending;
    for (const auto& e : otherNodes_) {
        pending.push_back(e);
        if (pending.size() == kNbtLeafMax) flushNbtLeaf(pending, nbtLeaves);
    }
    flushNbtLeaf(pending, nbtLeaves);
    nbtLeaves.insert(nbtLeaves.end(), msgLeaves_.begin(), msgLeaves_.end());
    pending = msgPending_;
    flushNbtLeaf(pending, nbtLeaves);
    if (nbtLeaves.empty()) return fail("internal error: empty node tree");
    const Triple nbtRoot = buildUpper(std::move(nbtLeaves), kPtypeNbt);

    // Block B-tree: the lasting leaves, then the open leaf and this state's
    // own blocks (their ids are the highest). No blocks are written from here on.
    std::vector<Triple> bbtLeaves = bbtLeaves_;
    std::vector<uint8_t> tail(bbtPending_.begin(), bbtPending_.begin() + kBbtEntryBytes * bbtPendingCount_);
    tail.insert(tail.end(), transientBbt_.begin(), transientBbt_.end());
    const size_t tailCount = tail.size() / kBbtEntryBytes;
    for (size_t i = 0; i < tailCount; i += kBbtLeafMax)
        writeLeafPage(tail.data() + kBbtEntryBytes * i, unsigned(std::min<size_t>(kBbtLeafMax, tailCount - i)),
                      bbtLeaves);
    if (bbtLeaves.empty()) return fail("internal error: empty block tree");
    const Triple bbtRoot = buildUpper(std::move(bbtLeaves), kPtypeBbt);

    uint64_t cbAMapFree = cbAMapFree_;
    if (final) {
        // The last checkpoint's own space is free in the final state (invariant 6).
        release(committed_);
        committed_.clear();
        sealSection();  // the file ends with this whole section
        rewriteFreedMaps();
        const uint64_t sections = secIndex_ + 1;
        // Free-run maps, one per 496 sections from section 128 on.
        for (uint64_t k = kFMapFirstSection; k < sections; k += kFMapEverySections) {
            uint8_t page[kPageBytes] = {};
            for (uint64_t j = 0; j < kPageDataBytes && k + j < sections; ++j) page[j] = freeRuns_[k + j];
            const uint64_t ib = sectionStart(k) + (hasPMap(k) ? 2 : 1) * kPageBytes;
            trailer(page, kPtypeFMap, 0, ib);
            pwriteAll(page, kPageBytes, ib);
        }
        // Empty allocation list whose id is the next page id.
        uint8_t page[kPageBytes] = {};
        trailer(page, kPtypeDList, signature(kDListOffset, bidNextP_), bidNextP_);
        pwriteAll(page, kPageBytes, kDListOffset);
        cbAMapFree = cbAMapFree_;
    } else {
        // The current section as far as it is filled, its map, and the file
        // grown to the section's end: a whole number of sections.
        writeMapPages();
        pwriteAll(sec_.data() + secFlushed_, secCursor_ - secFlushed_, sectionStart(secIndex_) + secFlushed_);
        secFlushed_ = secCursor_;
        if (!failed())
            if (int e = GrowFile(fd_, sectionStart(secIndex_ + 1)))
                ioError_ = "cannot write " + path_ + ": " + std::strerror(e);
        cbAMapFree += uint64_t(freeSlots(sec_.data()).count) * kSlotBytes;
    }
    // The state is on disk before the header that points at it (invariant 4).
    if (!sync()) return fail(ioError_);
    writeHeader(nbtRoot, bbtRoot, cbAMapFree, final);
    if (!sync()) return fail(ioError_);
    transient_ = false;
    transientBbt_.clear();
    if (!final) {
        // The previous checkpoint's own space is now unused.
        release(committed_);
        committed_ = std::move(building_);
        building_.clear();
        return true;
    }
    const int rc = CloseFile(fd_);
    fd_ = -1;
    if (rc != 0) return fail("cannot close " + path_ + ": " + std::strerror(errno));
    return true;
}

void NdbWriter::writeHeader(const Triple& nbtRoot, const Triple& bbtRoot, uint64_t cbAMapFree, bool mapsExact) {
    uint8_t h[kHeaderBytes] = {};
    std::memcpy(h, kHeaderMagic, sizeof kHeaderMagic);
    put16(h + kHdrWMagicClient, kMagicClient);
    put16(h + kHdrWVer, kVerUnicode);
    put16(h + kHdrWVerClient, kVerClient);
    h[kHdrBPlatformCreate] = kPlatform;
    h[kHdrBPlatformAccess] = kPlatform;
    put64(h + kHdrBidNextP, bidNextP_);
    put32(h + kHdrDwUnique, 1);
    for (size_t i = 0; i < kHdrRgnidCount; ++i) put32(h + kHdrRgnid + 4 * i, rgnid[i]);
    uint8_t* root = h + kHdrRoot;
    put64(root + kRootIbFileEof, sectionStart(secIndex_ + 1));
    put64(root + kRootIbAMapLast, sectionStart(secIndex_));
    put64(root + kRootCbAMapFree, cbAMapFree);
    put64(root + kRootCbPMapFree, 0);
    put64(root + kRootBrefNbt, nbtRoot.bid);
    put64(root + kRootBrefNbt + 8, nbtRoot.ib);
    put64(root + kRootBrefBbt, bbtRoot.bid);
    put64(root + kRootBrefBbt + 8, bbtRoot.ib);
    // A checkpoint's maps are rewritten in place as the store grows, so they
    // may come to mark more, or less, than its state uses: readers rebuild them.
    root[kRootFAMapValid] = mapsExact ? kValidAMap2 : kInvalidAMap;
    std::memset(h + kHdrRgbFM, 0xFF, kHdrRgbFMBytes);
    std::memset(h + kHdrRgbFP, 0xFF, kHdrRgbFMBytes);
    h[kHdrBSentinel] = kSentinel;
    h[kHdrBCryptMethod] = kCryptNone;
    put64(h + kHdrBidNextB, bidNextB_);
    put32(h + kHdrDwCRCPartial, pstCrc(h + kHdrCrcStart, kHdrCrcPartialBytes));
    put32(h + kHdrDwCRCFull, pstCrc(h + kHdrCrcStart, kHdrCrcFullBytes));
    pwriteAll(h, sizeof h, 0);
}

}  // namespace store::pst
