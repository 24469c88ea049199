// Heap, table and messaging half of the .pst verifier. On top of the blocks and nodes the
// node-and-block pass collected, it decodes each node's data stream and checks the
// heap-on-node (page maps, HIDs), the B-trees on the heap, property contexts, table
// contexts (column descriptors, row index, row matrix, cell references), the mandatory
// nodes, nidParent links, folder counts against their tables, and messages with their
// recipient and attachment tables. Reads only the nodes it checks, with pread.
#include <algorithm>
#include <cstring>
#include <set>

#include "store/pst/verify/PstVerifierDetail.h"

namespace store::pst::verifydetail {

namespace {

unsigned nidType(uint32_t nid) { return nid & kNidTypeMask; }

// A property value type as stored in a PC record or a TC cell.
bool isFixedInline(uint16_t t) { return t == 0x0002 || t == 0x0003 || t == 0x0004 || t == 0x000A || t == 0x000B; }
bool isFixed8(uint16_t t) { return t == 0x0005 || t == 0x0006 || t == 0x0007 || t == 0x0014 || t == 0x0040; }
bool isVariable(uint16_t t) {
    return t == 0x001E || t == 0x001F || t == 0x0102 || t == 0x000D || t == 0x0048 || (t & 0x1000);
}
bool isKnownType(uint16_t t) { return isFixedInline(t) || isFixed8(t) || isVariable(t) || t == 0x0001; }
// Cell width a TC uses for a type.
unsigned cellWidth(uint16_t t) {
    if (isFixed8(t)) return 8;
    if (t == 0x0002) return 2;
    if (t == 0x000B) return 1;
    return 4;
}

// A node's data stream seen as a heap-on-node.
class Heap {
public:
    std::vector<std::vector<uint8_t>> pages;
    uint8_t clientSig = 0;
    uint32_t userRoot = 0;
    size_t largestItem = 0;
    bool bytesAfterMap = false;  // a page has bytes past its page map

    bool parse(std::string& why) {
        if (pages.empty()) {
            why = "empty data stream";
            return false;
        }
        maps_.resize(pages.size());
        for (size_t i = 0; i < pages.size(); ++i) {
            const auto& p = pages[i];
            const bool bitmapPage = i >= kHnBitmapFirstPage && (i - kHnBitmapFirstPage) % kHnBitmapEveryPages == 0;
            size_t hdr = i == 0 ? kHnhdrBytes : bitmapPage ? kHnBitmapHdrBytes : kHnPageHdrBytes;
            if (p.size() < hdr + 4) {
                why = "heap page " + std::to_string(i) + " too short";
                return false;
            }
            if (i == 0) {
                if (p[kHnBSig] != kHnSig) {
                    why = "heap signature " + Hex(p[kHnBSig]) + ", expected 0xEC";
                    return false;
                }
                clientSig = p[kHnBClientSig];
                userRoot = get32(p.data() + kHnHidUserRoot);
            }
            size_t ibHnpm = get16(p.data() + kHnIbHnpm);
            if (ibHnpm < hdr || ibHnpm + 4 > p.size()) {
                why = "heap page " + std::to_string(i) + ": ibHnpm " + std::to_string(ibHnpm) + " outside the page";
                return false;
            }
            size_t cAlloc = get16(p.data() + ibHnpm);
            if (ibHnpm + 4 + 2 * (cAlloc + 1) > p.size()) {
                why = "heap page " + std::to_string(i) + ": page map with " + std::to_string(cAlloc) +
                      " items runs past the page end";
                return false;
            }
            bytesAfterMap = bytesAfterMap || ibHnpm + 4 + 2 * (cAlloc + 1) < p.size();
            auto& offs = maps_[i];
            offs.resize(cAlloc + 1);
            for (size_t k = 0; k <= cAlloc; ++k) offs[k] = get16(p.data() + ibHnpm + 4 + 2 * k);
            if (offs[0] < hdr) {
                why = "heap page " + std::to_string(i) + ": first item overlaps the page header";
                return false;
            }
            for (size_t k = 1; k <= cAlloc; ++k) {
                if (offs[k] < offs[k - 1]) {
                    why = "heap page " + std::to_string(i) + ": item offsets decrease at item " + std::to_string(k);
                    return false;
                }
                largestItem = std::max<size_t>(largestItem, offs[k] - offs[k - 1]);
            }
            if (offs[cAlloc] > ibHnpm) {
                why = "heap page " + std::to_string(i) + ": items run into the page map";
                return false;
            }
        }
        return true;
    }

    // Resolves a HID to its item bytes.
    bool item(uint32_t hid, const uint8_t*& data, size_t& size, std::string& why) const {
        if (hid & kNidTypeMask) {
            why = "HID " + Hex(hid) + " has a non-zero type";
            return false;
        }
        size_t index = (hid >> kHidIndexShift) & kHidIndexMask, page = hid >> kHidPageShift;
        if (page >= maps_.size() || index == 0 || index >= maps_[page].size()) {
            why = "HID " + Hex(hid) + " names no heap item";
            return false;
        }
        data = pages[page].data() + maps_[page][index - 1];
        size = size_t(maps_[page][index] - maps_[page][index - 1]);
        return true;
    }

private:
    std::vector<std::vector<uint16_t>> maps_;
};

// A B-tree on a heap: collects the leaf records in order and checks order and index keys.
struct BthRecord {
    uint64_t key;
    const uint8_t* data;  // cbKey + cbEnt bytes
};

bool readBth(const Heap& heap, uint32_t hidHeader, unsigned wantKey, unsigned wantEnt, std::vector<BthRecord>& out,
             std::string& why) {
    const uint8_t* h;
    size_t n;
    if (!heap.item(hidHeader, h, n, why)) {
        why = "BTH header: " + why;
        return false;
    }
    if (n != kBthHeaderBytes || h[kBthBType] != kClientSigBTH) {
        why = "BTH header at " + Hex(hidHeader) + " is not an 8-byte 0xB5 item";
        return false;
    }
    unsigned cbKey = h[kBthCbKey], cbEnt = h[kBthCbEnt], levels = h[kBthBIdxLevels];
    uint32_t root = get32(h + kBthHidRoot);
    if ((wantKey && cbKey != wantKey) || (wantEnt && cbEnt != wantEnt)) {
        why = "BTH key/entry sizes " + std::to_string(cbKey) + "/" + std::to_string(cbEnt) + ", expected " +
              std::to_string(wantKey) + "/" + std::to_string(wantEnt);
        return false;
    }
    if (!(cbKey == 2 || cbKey == 4 || cbKey == 8 || cbKey == 16) || cbEnt < 1 || cbEnt > 32 || levels > 8) {
        why = "BTH header has invalid sizes or depth";
        return false;
    }
    if (root == 0) return true;
    auto keyOf = [&](const uint8_t* p) {
        uint64_t k = 0;
        for (unsigned i = 0; i < std::min(cbKey, 8u); ++i) k |= uint64_t(p[i]) << (8 * i);
        return k;
    };
    bool first = true;
    uint64_t last = 0;
    // Recursive walk; `lowKey` is the key the parent gave this item.
    auto walk = [&](auto&& self, uint32_t hid, unsigned level, bool checkLow, uint64_t lowKey) -> bool {
        const uint8_t* d;
        size_t size;
        if (!heap.item(hid, d, size, why)) {
            why = "BTH: " + why;
            return false;
        }
        size_t rec = cbKey + (level > 0 ? 4 : cbEnt);
        if (size == 0 || size % rec != 0 || size > kMaxHeapItem) {
            why = "BTH item " + Hex(hid) + " of " + std::to_string(size) + " bytes is not a whole number of records";
            return false;
        }
        if (checkLow && keyOf(d) != lowKey) {
            why = "BTH index key " + Hex(lowKey) + " differs from the first key " + Hex(keyOf(d)) + " of its child";
            return false;
        }
        for (size_t off = 0; off < size; off += rec) {
            if (level > 0) {
                if (!self(self, get32(d + off + cbKey), level - 1, true, keyOf(d + off))) return false;
            } else {
                uint64_t k = keyOf(d + off);
                if (!first && k <= last) {
                    why = "BTH keys not ascending: " + Hex(k) + " after " + Hex(last);
                    return false;
                }
                first = false;
                last = k;
                out.push_back({k, d + off});
            }
        }
        return true;
    };
    return walk(walk, root, levels, false, 0);
}

// One property of a PC, enough of it for the consistency checks.
struct PcValue {
    uint16_t type = 0;
    uint32_t raw = 0;            // inline value or HNID
    std::vector<uint8_t> bytes;  // heap value (not filled for subnode values)
};
using PcMap = std::map<uint16_t, PcValue>;

// Comparable values as (tag, value) pairs: the cells of one table row that exist, or the
// matching properties of a PC. Fixed values of at most 4 bytes are kept as they are,
// heap-stored values as a CRC of their bytes.
using InlineValues = std::vector<std::pair<uint32_t, uint32_t>>;
// Inline cells of a table, by row id.
using TableCells = std::map<uint32_t, InlineValues>;

// Heap-stored values (strings, binaries ...) take part as a CRC of their bytes, so a row
// costs a few bytes per cell however long its strings are. Subnode values are left out.
bool heapStored(uint16_t type, uint32_t hnid) { return isVariable(type) && type != 0x000D && (hnid & 0x1F) == 0; }

InlineValues inlineValues(const PcMap& props) {
    InlineValues out;
    for (const auto& [id, v] : props) {
        uint32_t tag = (uint32_t(id) << 16) | v.type;
        if (isFixedInline(v.type))
            out.emplace_back(tag, v.raw);
        else if (heapStored(v.type, v.raw))
            out.emplace_back(tag, PstCrc(v.bytes.data(), v.bytes.size()));
    }
    return out;
}

}  // namespace

// ---- Stream readers (Verifier members) -------------------------------------------------

bool Verifier::readBlockData(const BlockInfo& b, std::vector<uint8_t>& out, bool decode) {
    out.resize(b.cb);
    if (!readAt(b.ib, out.data(), b.cb)) return false;
    if (decode && !(b.bid & 2) && cryptMethod_ == kCryptPermute) UnpermuteBytes(out.data(), out.size());
    return true;
}

bool Verifier::readDataTree(uint64_t bid, std::vector<std::vector<uint8_t>>& pages, std::string& why, int level) {
    if (level > 2) {
        why = "data tree deeper than XXBLOCK -> XBLOCK -> data";
        return false;
    }
    const BlockInfo* b = findBlock(bid & ~uint64_t(1));
    if (!b) {
        why = "data BID " + Hex(bid) + " not in the BBT";
        return false;
    }
    if (b->kind == BlockKind::Bad || b->kind == BlockKind::Unread) {
        why = "block " + Hex(bid) + " is damaged";
        return false;
    }
    if (b->kind == BlockKind::Data) {
        pages.emplace_back();
        if (!readBlockData(*b, pages.back(), true)) {
            why = "cannot read block " + Hex(bid);
            return false;
        }
        return true;
    }
    if (b->kind != BlockKind::XBlock && b->kind != BlockKind::XXBlock) {
        why = "data BID " + Hex(bid) + " is not a data block or data tree";
        return false;
    }
    std::vector<uint8_t> raw;
    unsigned cEnt = 0;
    if (!readEntries(*b, 8, raw, cEnt, why)) return false;
    for (unsigned i = 0; i < cEnt; ++i)
        if (!readDataTree(get64(raw.data() + 8 + 8 * i), pages, why, level + 1)) return false;
    return true;
}

bool Verifier::readEntries(const BlockInfo& b, size_t entrySize, std::vector<uint8_t>& raw, unsigned& count,
                           std::string& why) {
    if (!readBlockData(b, raw, false)) {
        why = "cannot read block " + Hex(b.bid);
        return false;
    }
    count = raw.size() >= 8 ? get16(raw.data() + 2) : 0;
    if (raw.size() < 8 || 8 + count * entrySize > raw.size()) {
        why = "block " + Hex(b.bid) + ": its " + std::to_string(count) + " entries run past its " +
              std::to_string(raw.size()) + " bytes";
        return false;
    }
    return true;
}

bool Verifier::readSubnodes(uint64_t bidSub, SubnodeMap& out, std::string& why, int level) {
    if (level > 1) {
        why = "subnode tree deeper than SIBLOCK -> SLBLOCK";
        return false;
    }
    const BlockInfo* b = findBlock(bidSub & ~uint64_t(1));
    if (!b) {
        why = "subnode BID " + Hex(bidSub) + " not in the BBT";
        return false;
    }
    if (b->kind != BlockKind::SLBlock && b->kind != BlockKind::SIBlock) {
        why = "subnode BID " + Hex(bidSub) + " is not an SLBLOCK or SIBLOCK";
        return false;
    }
    std::vector<uint8_t> raw;
    unsigned cEnt = 0;
    if (!readEntries(*b, b->kind == BlockKind::SLBlock ? 24 : 16, raw, cEnt, why)) return false;
    for (unsigned i = 0; i < cEnt; ++i) {
        if (b->kind == BlockKind::SLBlock) {
            const uint8_t* e = raw.data() + 8 + 24 * i;
            out[get32(e)] = {get64(e + 8), get64(e + 16)};
        } else if (!readSubnodes(get64(raw.data() + 8 + 16 * i + 8), out, why, level + 1)) {
            return false;
        }
    }
    return true;
}

namespace {

std::string describe(uint32_t nid) {
    switch (nidType(nid)) {
        case kNidTypeNormalFolder: return "node " + Hex(nid) + " (folder)";
        case kNidTypeSearchFolder: return "node " + Hex(nid) + " (search folder)";
        case kNidTypeNormalMessage: return "node " + Hex(nid) + " (message)";
        case kNidTypeAssocMessage: return "node " + Hex(nid) + " (associated message)";
        case kNidTypeHierarchyTable: return "node " + Hex(nid) + " (hierarchy table)";
        case kNidTypeContentsTable: return "node " + Hex(nid) + " (contents table)";
        case kNidTypeAssocContentsTable: return "node " + Hex(nid) + " (FAI contents table)";
        default: return "node " + Hex(nid);
    }
}

bool sameSet(std::vector<uint32_t> a, std::vector<uint32_t> b) {
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    return a == b;
}

std::string listNids(const std::vector<uint32_t>& v) {
    std::string s;
    for (size_t i = 0; i < v.size() && i < 8; ++i) s += (i ? ", " : "") + Hex(v[i]);
    if (v.size() > 8) s += ", ...";
    return s.empty() ? "none" : s;
}

// Checks of one node's LTP content; collects problems through the verifier.
class LtpChecker {
public:
    LtpChecker(Verifier& v) : v_(v) {}

    // Loads a heap from a data BID and its subnodes. Reports and returns false on failure.
    bool load(uint64_t bidData, uint64_t bidSub, uint64_t where, const std::string& name, Heap& heap,
              SubnodeMap& subs) {
        std::string why;
        if (bidData == 0) {
            v_.problem(where, name, "has no data");
            return false;
        }
        if (!v_.readDataTree(bidData, heap.pages, why) || !heap.parse(why)) {
            v_.problem(where, name, why);
            return false;
        }
        if (v_.options().strictAllocation && heap.bytesAfterMap)
            v_.problem(where, name, "a heap page has bytes after its page map");
        if (v_.options().strictAllocation && heap.largestItem > kMaxHeapItem)
            v_.problem(where, name,
                       "heap item of " + std::to_string(heap.largestItem) +
                           " bytes; values above 3580 bytes belong in subnodes");
        if (bidSub && !v_.readSubnodes(bidSub, subs, why)) {
            v_.problem(where, name, why);
            return false;
        }
        return true;
    }

    // Validates an HNID that points to a value: 0, a heap item or a subnode.
    bool checkHnid(uint32_t hnid, const Heap& heap, const SubnodeMap& subs, std::string& why) {
        if (hnid == 0) return true;
        if ((hnid & 0x1F) == 0) {
            const uint8_t* d;
            size_t n;
            return heap.item(hnid, d, n, why);
        }
        if (!subs.count(hnid)) {
            why = "value subnode " + Hex(hnid) + " is missing";
            return false;
        }
        return true;
    }

    // load() for a heap that must carry `clientSig` (named `expected` in the
    // problem it reports otherwise).
    bool loadAs(uint8_t clientSig, const char* expected, uint64_t bidData, uint64_t bidSub, uint64_t where,
                const std::string& name, Heap& heap, SubnodeMap& subs) {
        if (!load(bidData, bidSub, where, name, heap, subs)) return false;
        if (heap.clientSig == clientSig) return true;
        v_.problem(where, name, "heap client signature " + Hex(heap.clientSig) + ", expected " + expected);
        return false;
    }

    bool checkPc(uint64_t bidData, uint64_t bidSub, uint64_t where, const std::string& name, PcMap* props,
                 SubnodeMap* subsOut = nullptr) {
        Heap heap;
        SubnodeMap subs;
        if (!loadAs(kClientSigPC, "0xBC (property context)", bidData, bidSub, where, name, heap, subs)) return false;
        std::vector<BthRecord> recs;
        std::string why;
        if (!readBth(heap, heap.userRoot, 2, 6, recs, why)) {
            v_.problem(where, name, why);
            return false;
        }
        bool ok = true;
        for (const BthRecord& r : recs) {
            uint16_t id = uint16_t(r.key), type = get16(r.data + 2);
            uint32_t value = get32(r.data + 4);
            auto tag = [&] { return "property " + Hex((uint32_t(id) << 16) | type); };
            PcValue pv;
            pv.type = type;
            pv.raw = value;
            if (!isKnownType(type)) {
                v_.problem(where, name, tag() + " has an unknown type");
                ok = false;
                continue;
            }
            if (isFixed8(type) || isVariable(type)) {
                if (isFixed8(type) && (value == 0 || (value & 0x1F))) {
                    v_.problem(where, name, tag() + ": 8-byte value must be a heap item, got " + Hex(value));
                    ok = false;
                    continue;
                }
                if (!checkHnid(value, heap, subs, why)) {
                    v_.problem(where, name, tag() + ": " + why);
                    ok = false;
                    continue;
                }
                if (value != 0 && (value & 0x1F) == 0) {
                    const uint8_t* d;
                    size_t n;
                    heap.item(value, d, n, why);
                    pv.bytes.assign(d, d + n);
                    size_t want = isFixed8(type) ? 8 : (type == 0x0048 ? 16 : (type == 0x000D ? 8 : 0));
                    if (want && n != want) {
                        v_.problem(where, name,
                                   tag() + ": value item has " + std::to_string(n) + " bytes, expected " +
                                       std::to_string(want));
                        ok = false;
                    }
                    if (type == 0x001F && n % 2) {
                        v_.problem(where, name, tag() + ": UTF-16 string with an odd byte count");
                        ok = false;
                    }
                    if (type == 0x000D && n == 8 && !subs.count(get32(d))) {
                        v_.problem(where, name, tag() + ": object subnode " + Hex(get32(d)) + " is missing");
                        ok = false;
                    }
                }
            }
            if (props) (*props)[id] = std::move(pv);
        }
        if (subsOut) *subsOut = std::move(subs);
        return ok;
    }

    // Checks a table context and returns its row ids (in row-index order).
    bool checkTc(uint64_t bidData, uint64_t bidSub, uint64_t where, const std::string& name,
                 std::vector<uint32_t>* rowIds, TableCells* cells = nullptr) {
        Heap heap;
        SubnodeMap subs;
        if (!loadAs(kClientSigTC, "0x7C (table context)", bidData, bidSub, where, name, heap, subs)) return false;
        std::string why;
        const uint8_t* ti;
        size_t tiSize;
        if (!heap.item(heap.userRoot, ti, tiSize, why) || tiSize < kTcInfoBytes || ti[kTcBType] != kClientSigTC) {
            v_.problem(where, name, "TCINFO missing or malformed " + why);
            return false;
        }
        unsigned cCols = ti[kTcCCols];
        if (tiSize < kTcInfoBytes + kTColDescBytes * size_t(cCols)) {
            v_.problem(where, name, "TCINFO too short for " + std::to_string(cCols) + " columns");
            return false;
        }
        uint16_t rgib[4] = {get16(ti + kTcRgib), get16(ti + kTcRgib + 2), get16(ti + kTcRgib + 4),
                            get16(ti + kTcRgib + 6)};
        uint32_t hidRowIndex = get32(ti + kTcHidRowIndex), hnidRows = get32(ti + kTcHnidRows);
        bool ok = true;
        if (!(rgib[0] <= rgib[1] && rgib[1] <= rgib[2] && rgib[2] <= rgib[3]) || rgib[3] != rgib[2] + (cCols + 7) / 8) {
            v_.problem(where, name,
                       "TCINFO rgib offsets " + std::to_string(rgib[0]) + "/" + std::to_string(rgib[1]) + "/" +
                           std::to_string(rgib[2]) + "/" + std::to_string(rgib[3]) + " are inconsistent");
            return false;
        }
        size_t rowSize = rgib[3];
        struct Col {
            uint32_t tag;
            uint16_t ib;
            uint8_t cb;
            uint8_t bit;
        };
        std::vector<Col> cols;
        std::vector<bool> bitUsed(cCols, false);
        bool haveRowId = false;
        uint32_t prevTag = 0;
        for (unsigned i = 0; i < cCols; ++i) {
            const uint8_t* c = ti + kTcRgTColDesc + kTColDescBytes * i;
            Col col{get32(c + kTcdTag), get16(c + kTcdIbData), c[kTcdCbData], c[kTcdIBit]};
            auto tag = [&] { return "column " + Hex(col.tag); };
            if (i > 0 && col.tag <= prevTag) {
                v_.problem(where, name, tag() + " not sorted above " + Hex(prevTag));
                ok = false;
            }
            prevTag = col.tag;
            bool colOk = true;
            uint16_t type = uint16_t(col.tag);
            if (col.cb != cellWidth(type)) {
                v_.problem(
                    where, name,
                    tag() + " cbData " + std::to_string(col.cb) + ", expected " + std::to_string(cellWidth(type)));
                ok = colOk = false;
            }
            uint16_t lo = col.cb >= 4 ? 0 : (col.cb == 2 ? rgib[0] : rgib[1]);
            uint16_t hi = col.cb >= 4 ? rgib[0] : (col.cb == 2 ? rgib[1] : rgib[2]);
            if (col.ib < lo || col.ib + col.cb > hi) {
                v_.problem(where, name, tag() + " cell at " + std::to_string(col.ib) + " outside its size group");
                ok = colOk = false;
            }
            if (col.bit >= cCols || bitUsed[col.bit]) {
                v_.problem(where, name, tag() + " iBit " + std::to_string(col.bit) + " out of range or reused");
                ok = colOk = false;
            } else {
                bitUsed[col.bit] = true;
            }
            if (col.tag == 0x67F20003) {
                if (col.ib != 0 || col.bit != 0) {
                    v_.problem(where, name, "row id column not at offset 0 / bit 0");
                    ok = colOk = false;
                }
                haveRowId = colOk;
            }
            if (col.tag == 0x67F30003 && (col.ib != 4 || col.bit != 1)) {
                v_.problem(where, name, "row version column not at offset 4 / bit 1");
                ok = false;
            }
            if (colOk) cols.push_back(col);
        }
        if (!haveRowId && cCols > 0) {
            v_.problem(where, name, "no row id column 0x67F20003");
            ok = false;
        }
        std::vector<BthRecord> index;
        if (!readBth(heap, hidRowIndex, 4, 4, index, why)) {
            v_.problem(where, name, "row index: " + why);
            return false;
        }
        // Row matrix: one heap item, or a subnode whose blocks hold whole rows.
        std::vector<std::vector<uint8_t>> matrixBlocks;
        size_t rowsPerBlock = rowSize ? kMaxBlockData / rowSize : 0;
        size_t capacity = 0;
        if (hnidRows == 0) {
            capacity = 0;
        } else if ((hnidRows & 0x1F) == 0) {
            const uint8_t* d;
            size_t n;
            if (!heap.item(hnidRows, d, n, why)) {
                v_.problem(where, name, "row matrix: " + why);
                return false;
            }
            matrixBlocks.emplace_back(d, d + n);
            capacity = rowSize ? n / rowSize : 0;
            rowsPerBlock = capacity;
        } else {
            auto it = subs.find(hnidRows);
            if (it == subs.end()) {
                v_.problem(where, name, "row matrix subnode " + Hex(hnidRows) + " is missing");
                return false;
            }
            if (!v_.readDataTree(it->second.bidData, matrixBlocks, why)) {
                v_.problem(where, name, "row matrix: " + why);
                return false;
            }
            for (size_t i = 0; i < matrixBlocks.size(); ++i) {
                if (i + 1 < matrixBlocks.size() && matrixBlocks[i].size() != kMaxBlockData) {
                    v_.problem(where, name,
                               "row matrix block " + std::to_string(i) + " holds " +
                                   std::to_string(matrixBlocks[i].size()) +
                                   " bytes; every block but the last must hold 8176");
                    ok = false;
                }
                capacity += rowSize ? matrixBlocks[i].size() / rowSize : 0;
            }
        }
        if (index.size() > capacity) {
            v_.problem(
                where, name,
                std::to_string(index.size()) + " rows indexed but the row matrix holds " + std::to_string(capacity));
            return false;
        }
        std::vector<bool> rowUsed(capacity, false);
        for (const BthRecord& r : index) {
            uint32_t rowId = uint32_t(r.key);
            uint32_t row = get32(r.data + 4);
            if (rowIds) rowIds->push_back(rowId);
            if (row >= capacity || rowUsed[row]) {
                v_.problem(
                    where, name,
                    "row index maps " + Hex(rowId) + " to row " + std::to_string(row) + ", out of range or used twice");
                ok = false;
                continue;
            }
            rowUsed[row] = true;
            size_t blockIndex = row / rowsPerBlock, rowOffset = (row % rowsPerBlock) * rowSize;
            if (blockIndex >= matrixBlocks.size() || rowOffset + rowSize > matrixBlocks[blockIndex].size()) {
                v_.problem(where, name, "row " + std::to_string(row) + " lies beyond its row matrix block");
                ok = false;
                continue;
            }
            const uint8_t* cell = matrixBlocks[blockIndex].data() + rowOffset;
            const uint8_t* ceb = cell + rgib[2];
            if (haveRowId && get32(cell) != rowId) {
                v_.problem(where, name,
                           "row " + std::to_string(row) + " holds row id " + Hex(get32(cell)) + " but the index says " +
                               Hex(rowId));
                ok = false;
            }
            for (const Col& c : cols) {
                if (!(ceb[c.bit / 8] & (0x80 >> (c.bit % 8)))) continue;
                uint16_t type = uint16_t(c.tag);
                if (cells && isFixedInline(type))
                    (*cells)[rowId].emplace_back(c.tag, c.cb == 4   ? get32(cell + c.ib)
                                                        : c.cb == 2 ? get16(cell + c.ib)
                                                                    : cell[c.ib]);
                if (!(isVariable(type)) || c.cb != 4) continue;
                uint32_t hnid = get32(cell + c.ib);
                if (!checkHnid(hnid, heap, subs, why)) {
                    v_.problem(where, name, "row " + Hex(rowId) + " column " + Hex(c.tag) + ": " + why);
                    ok = false;
                } else if (cells && heapStored(type, hnid)) {
                    const uint8_t* d = nullptr;
                    size_t n = 0;
                    if (hnid) heap.item(hnid, d, n, why);
                    (*cells)[rowId].emplace_back(c.tag, PstCrc(d, n));
                }
            }
        }
        return ok;
    }

    // A message PC with its recipient table, attachment table, attachments and embedded
    // messages (to a bounded depth). `strict` adds the rules our writer always follows:
    // a recipient table on every message, mfHasAttach on messages with attachments.
    void checkMessage(uint64_t bidData, uint64_t bidSub, uint64_t where, const std::string& name, bool strict,
                      int depth, PcMap* props = nullptr) {
        SubnodeMap subs;
        PcMap own;
        if (!checkPc(bidData, bidSub, where, name, &own, &subs)) return;
        auto rt = subs.find(kNidRecipientTable);
        if (rt == subs.end()) {
            // Outlook leaves it out of some messages it wrote itself; our writer always adds it.
            if (strict) v_.problem(where, name, "recipient table subnode 0x692 is missing");
        } else {
            checkTc(rt->second.bidData, rt->second.bidSub, where, name + " recipient table", nullptr);
        }
        std::vector<uint32_t> attachments;
        for (const auto& [snid, sn] : subs) {
            if (nidType(snid) != kNidTypeAttachment) continue;
            attachments.push_back(snid);
            PcMap props;
            SubnodeMap attSubs;
            std::string attName = name + " attachment " + Hex(snid);
            if (!checkPc(sn.bidData, sn.bidSub, where, attName, &props, &attSubs)) continue;
            auto obj = props.find(0x3701);
            if (obj != props.end() && obj->second.type == 0x000D && obj->second.bytes.size() == 8) {
                auto emb = attSubs.find(get32(obj->second.bytes.data()));
                if (emb != attSubs.end() && depth < 8)
                    checkMessage(emb->second.bidData, emb->second.bidSub, where, attName + " embedded message", strict,
                                 depth + 1);
            }
        }
        auto at = subs.find(kNidAttachmentTable);
        if (at != subs.end()) {
            std::vector<uint32_t> rows;
            if (checkTc(at->second.bidData, at->second.bidSub, where, name + " attachment table", &rows) &&
                !sameSet(rows, attachments))
                v_.problem(where, name,
                           "attachment table rows (" + listNids(rows) + ") differ from the attachment subnodes (" +
                               listNids(attachments) + ")");
            if (strict && attachments.empty())
                v_.problem(where, name, "has an attachment table 0x671 but no attachments");
        } else if (!attachments.empty()) {
            v_.problem(where, name, "has attachment subnodes but no attachment table 0x671");
        }
        auto flags = own.find(0x0E07);
        const bool hasAttachFlag = flags != own.end() && (flags->second.raw & 0x10);
        if (strict && !attachments.empty() && !hasAttachFlag)
            v_.problem(where, name, "has attachments but PidTagMessageFlags lacks mfHasAttach (0x10)");
        if (strict && attachments.empty() && hasAttachFlag)
            v_.problem(where, name, "PidTagMessageFlags has mfHasAttach (0x10) but there are no attachments");
        if (props) *props = std::move(own);
    }

private:
    Verifier& v_;
};

}  // namespace

void Verifier::checkMessaging() {
    // Mandatory nodes.
    static const uint32_t kMandatory[] = {
        0x21,   0x61,   0x122,  0x12D,  0x12E,  0x12F,  0x1E1,  0x201,  0x60D,  0x60E,  0x60F,  0x610,  0x671,  0x692,
        0x2223, 0x8022, 0x802D, 0x802E, 0x802F, 0x8042, 0x804D, 0x804E, 0x804F, 0x8062, 0x806D, 0x806E, 0x806F,
    };
    for (uint32_t nid : kMandatory)
        if (!findNode(nid)) problem(0, "NBT", "mandatory node " + Hex(nid) + " is missing");

    // nidParent links and the children of every folder.
    std::map<uint32_t, std::vector<uint32_t>> subfolders, messages, assocMessages;
    for (const NodeInfo& n : nodes_) {
        unsigned t = nidType(n.nid);
        if (t != kNidTypeNormalFolder && t != kNidTypeSearchFolder && t != kNidTypeNormalMessage &&
            t != kNidTypeAssocMessage)
            continue;
        if (n.nid == kNidRootFolder) {
            if (n.nidParent != kNidRootFolder)
                problem(n.where + 24, describe(n.nid),
                        "root folder's nidParent is " + Hex(n.nidParent) + ", not itself");
            continue;
        }
        const NodeInfo* parent = findNode(n.nidParent);
        if (!parent || nidType(n.nidParent) != kNidTypeNormalFolder) {
            problem(n.where + 24, describe(n.nid), "nidParent " + Hex(n.nidParent) + " is not an existing folder");
            continue;
        }
        if (t == kNidTypeNormalMessage)
            messages[n.nidParent].push_back(n.nid);
        else if (t == kNidTypeAssocMessage)
            assocMessages[n.nidParent].push_back(n.nid);
        else
            subfolders[n.nidParent].push_back(n.nid);
    }
    if (!canDecode()) return;  // cyclic-encoded heaps are not decoded; structure checks above still ran

    LtpChecker ltp(*this);

    // Store and name-to-id map.
    if (const NodeInfo* store = findNode(kNidMessageStore)) {
        PcMap props;
        std::string name = "node 0x21 (message store)";
        if (ltp.checkPc(store->bidData, store->bidSub, store->where, name, &props)) {
            auto rk = props.find(0x0FF9);
            if (rk == props.end() || rk->second.bytes.size() != 16) {
                problem(store->where, name, "PidTagRecordKey missing or not 16 bytes");
            } else {
                const std::pair<uint16_t, const char*> ids[] = {{0x35E0, "PidTagIpmSubTreeEntryId"},
                                                                {0x35E3, "PidTagIpmWastebasketEntryId"},
                                                                {0x35E7, "PidTagFinderEntryId"}};
                for (auto [id, label] : ids) {
                    auto it = props.find(id);
                    if (it == props.end()) {
                        problem(store->where, name, std::string(label) + " missing");
                        continue;
                    }
                    const auto& b = it->second.bytes;
                    if (b.size() != 24 || !std::equal(b.begin() + 4, b.begin() + 20, rk->second.bytes.begin())) {
                        problem(store->where, name, std::string(label) + " is not a 24-byte EntryID of this store");
                        continue;
                    }
                    uint32_t nid = get32(b.data() + 20);
                    if (!findNode(nid) || nidType(nid) != kNidTypeNormalFolder)
                        problem(store->where, name,
                                std::string(label) + " names " + Hex(nid) + ", not an existing folder");
                }
            }
        }
    }
    if (const NodeInfo* map = findNode(kNidNameToIdMap)) {
        PcMap props;
        std::string name = "node 0x61 (name-to-id map)";
        if (ltp.checkPc(map->bidData, map->bidSub, map->where, name, &props)) {
            auto it = props.find(0x0001);
            if (it == props.end() || it->second.type != 0x0003 || it->second.raw != 251)
                problem(map->where, name, "PidTagNameidBucketCount missing or not 251");
        }
    }

    // Each hierarchy and contents row repeats its object's inline values. Whichever of
    // row and object comes first in NID order waits in a map for the other (folders sort
    // before messages, so message values never wait). Row id, row version and message
    // status (kept in the row only) are the table's own. Outlook lets a row's message
    // size drift from the message (seen in its own stores): compared in strict mode only.
    std::map<uint32_t, InlineValues> objectValues;                                   // by object NID
    std::map<uint32_t, std::vector<std::pair<uint32_t, InlineValues>>> pendingRows;  // by object NID
    auto compare = [&](uint32_t tableNid, uint32_t child, const InlineValues& cells, const InlineValues& values) {
        const NodeInfo* table = findNode(tableNid);
        for (const auto& [tag, value] : cells) {
            if (tag == 0x0E080003 && !opts_.strictAllocation) continue;
            for (const auto& [ptag, pvalue] : values) {
                if (ptag != tag || pvalue == value) continue;
                std::string what = "row " + Hex(child) + " column " + Hex(tag);
                if (isFixedInline(uint16_t(tag)))
                    what +=
                        " holds " + std::to_string(value) + " but the object's property is " + std::to_string(pvalue);
                else
                    what += " differs from the object's value";
                problem(table ? table->where : 0, describe(tableNid), what);
            }
        }
    };
    auto keepValues = [&](uint32_t nid, const PcMap& props) {
        InlineValues values = inlineValues(props);
        auto rows = pendingRows.find(nid);
        if (rows == pendingRows.end()) {
            objectValues[nid] = std::move(values);
            return;
        }
        for (const auto& [tableNid, cells] : rows->second) compare(tableNid, nid, cells, values);
        pendingRows.erase(rows);
    };
    auto keepRows = [&](uint32_t tableNid, TableCells& rows) {
        for (auto& [child, cells] : rows) {
            cells.erase(std::remove_if(cells.begin(), cells.end(),
                                       [](const auto& c) {
                                           return c.first == 0x67F20003 || c.first == 0x67F30003 ||
                                                  c.first == 0x0E170003;
                                       }),
                        cells.end());
            auto values = objectValues.find(child);
            if (values == objectValues.end()) {
                pendingRows[child].emplace_back(tableNid, std::move(cells));
            } else {
                compare(tableNid, child, cells, values->second);
                objectValues.erase(values);
            }
        }
    };

    // PidTagContentUnreadCount of each folder, and its messages without MSGFLAG_READ:
    // folders come before their messages in NID order, so both are compared at the end.
    std::map<uint32_t, std::pair<const NodeInfo*, uint32_t>> unreadCounts;
    std::map<uint32_t, uint32_t> unreadMessages;
    for (const NodeInfo& n : nodes_) {
        if (tooManyProblems()) return;
        unsigned t = nidType(n.nid);
        std::string name = describe(n.nid);
        switch (t) {
            case kNidTypeNormalFolder: {
                PcMap props;
                bool pcOk = ltp.checkPc(n.bidData, n.bidSub, n.where, name, &props);
                if (pcOk) keepValues(n.nid, props);
                uint32_t base = n.nid & ~0x1Fu;
                struct TableCheck {
                    unsigned type;
                    const std::vector<uint32_t>* expected;
                    const char* what;
                    size_t rows = 0;
                    bool ok = false;
                };
                static const std::vector<uint32_t> kNone;
                auto childrenOf = [&](std::map<uint32_t, std::vector<uint32_t>>& m) -> const std::vector<uint32_t>* {
                    auto it = m.find(n.nid);
                    return it == m.end() ? &kNone : &it->second;
                };
                TableCheck tables[] = {{kNidTypeHierarchyTable, childrenOf(subfolders), "child folders"},
                                       {kNidTypeContentsTable, childrenOf(messages), "messages"},
                                       {kNidTypeAssocContentsTable, childrenOf(assocMessages), "associated messages"}};
                for (TableCheck& tc : tables) {
                    const NodeInfo* tn = findNode(base | tc.type);
                    if (!tn) {
                        problem(n.where, name, "table node " + Hex(base | tc.type) + " is missing");
                        continue;
                    }
                    std::vector<uint32_t> rows;
                    TableCells cells;
                    bool compareRows = tc.type != kNidTypeAssocContentsTable;
                    if (!ltp.checkTc(tn->bidData, tn->bidSub, tn->where, describe(tn->nid), &rows,
                                     compareRows ? &cells : nullptr))
                        continue;
                    if (compareRows) keepRows(tn->nid, cells);
                    tc.rows = rows.size();
                    tc.ok = true;
                    if (!sameSet(rows, *tc.expected))
                        problem(tn->where, describe(tn->nid),
                                std::to_string(rows.size()) + " rows (" + listNids(rows) + ") but the folder has " +
                                    std::to_string(tc.expected->size()) + " " + tc.what + " (" +
                                    listNids(*tc.expected) + ")");
                }
                if (pcOk) {
                    auto cc = props.find(0x3602);
                    if (cc == props.end() || cc->second.type != 0x0003)
                        problem(n.where, name, "PidTagContentCount missing");
                    else if (tables[1].ok && cc->second.raw != tables[1].rows)
                        problem(n.where, name,
                                "PidTagContentCount " + std::to_string(cc->second.raw) +
                                    " but the contents table has " + std::to_string(tables[1].rows) + " rows");
                    auto sf = props.find(0x360A);
                    if (sf == props.end() || sf->second.type != 0x000B)
                        problem(n.where, name, "PidTagSubfolders missing");
                    else if (tables[0].ok && (sf->second.raw != 0) != (tables[0].rows != 0))
                        problem(n.where, name,
                                std::string("PidTagSubfolders is ") + (sf->second.raw ? "true" : "false") +
                                    " but the hierarchy table has " + std::to_string(tables[0].rows) + " rows");
                    if (!props.count(0x3001)) problem(n.where, name, "PidTagDisplayName missing");
                    auto unread = props.find(0x3603);
                    if (unread != props.end() && unread->second.type == 0x0003)
                        unreadCounts[n.nid] = {&n, uint32_t(unread->second.raw)};
                }
                break;
            }
            case kNidTypeNormalMessage:
            case kNidTypeAssocMessage: {
                PcMap props;
                ltp.checkMessage(n.bidData, n.bidSub, n.where, name,
                                 t == kNidTypeNormalMessage && opts_.strictAllocation, 0, &props);
                if (!props.empty()) keepValues(n.nid, props);
                auto flags = props.find(0x0E07);
                if (t == kNidTypeNormalMessage && !props.empty() &&
                    (flags == props.end() || !(flags->second.raw & 0x01)))
                    ++unreadMessages[n.nidParent];
                break;
            }
            case kNidTypeSearchFolder: {
                PcMap props;
                if (ltp.checkPc(n.bidData, n.bidSub, n.where, name, &props)) keepValues(n.nid, props);
                break;
            }
            case kNidTypeSearchCriteriaObject: ltp.checkPc(n.bidData, n.bidSub, n.where, name, nullptr); break;
            case kNidTypeSearchContentsTable:
            case kNidTypeAttachmentTable:
            case kNidTypeRecipientTable: ltp.checkTc(n.bidData, n.bidSub, n.where, name, nullptr); break;
            case kNidTypeHierarchyTable:
            case kNidTypeContentsTable:
            case kNidTypeAssocContentsTable:
                // Templates (0x60D-0x60F) are checked here; folder tables were checked with their folder.
                if ((n.nid >> 5) < 0x400 && !findNode((n.nid & ~0x1Fu) | kNidTypeNormalFolder))
                    ltp.checkTc(n.bidData, n.bidSub, n.where, name, nullptr);
                break;
            default: break;
        }
    }
    // A rule of our writer's (strict): the unread count is exact when the store is closed.
    if (opts_.strictAllocation)
        for (const auto& [nid, count] : unreadCounts)
            if (count.second != unreadMessages[nid])
                problem(count.first->where, describe(nid),
                        "PidTagContentUnreadCount " + std::to_string(count.second) + " but " +
                            std::to_string(unreadMessages[nid]) + " of its messages are unread");
}

}  // namespace store::pst::verifydetail
