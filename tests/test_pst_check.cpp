// An independent structural check of written stores (node database level),
// used by the .pst writer tests. It shares no code with the writer.
#include "tests/test_pst_support.h"

#include "store/Endian.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace psttest {

namespace {

constexpr uint64_t kSection = 253952, kFirst = 0x4400;

using store::get16;
using store::get32;
using store::get64;

uint32_t crcOf(const uint8_t* p, size_t n) {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    uint32_t c = 0;
    for (size_t i = 0; i < n; ++i) c = table[(c ^ p[i]) & 0xFF] ^ (c >> 8);
    return c;
}

uint16_t sigOf(uint64_t ib, uint64_t bid) {
    uint32_t x = uint32_t(ib ^ bid);
    return uint16_t((x >> 16) ^ (x & 0xFFFF));
}

unsigned reservedPages(uint64_t k) {
    return 1 + (k % 8 == 0) + (k >= 128 && (k - 128) % 496 == 0) + (k >= 8192 && (k - 8192) % 31744 == 0);
}

std::string hex(uint64_t v) {
    char b[32];
    std::snprintf(b, sizeof b, "0x%llX", (unsigned long long)v);
    return b;
}

}  // namespace

std::vector<std::string> checkStructure(const std::string& path) { return checkStructure(path, nullptr); }

std::vector<std::string> checkStructure(const std::string& path, StructureStats* stats) {
    std::vector<std::string> probs;
    auto bad = [&](const std::string& s) {
        if (probs.size() < 40) probs.push_back(s);
    };
    StructureStats st;
    // Mapped rather than read: stores past 4 GiB are checked too.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {"cannot open " + path};
    struct stat sb {};
    ::fstat(fd, &sb);
    const uint64_t size = uint64_t(sb.st_size);
    void* map = size ? ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0) : MAP_FAILED;
    ::close(fd);
    if (map == MAP_FAILED) return {"cannot map " + path};
    struct Unmap {
        void* p;
        uint64_t n;
        ~Unmap() { ::munmap(p, n); }
    } unmap{map, size};
    const auto* d = static_cast<const uint8_t*>(map);
    if (size < kFirst + kSection) return {"file too small"};

    // Header.
    if (std::memcmp(d, "!BDN", 4) != 0) bad("bad magic");
    if (get32(d + 4) != crcOf(d + 8, 471)) bad("bad partial header CRC");
    if (get32(d + 524) != crcOf(d + 8, 516)) bad("bad full header CRC");
    if (get16(d + 8) != 0x4D53 || get16(d + 10) != 23 || get16(d + 12) != 19) bad("bad header versions");
    if (d[512] != 0x80) bad("bad sentinel");
    if (d[513] > 1) bad("unknown encryption");
    const uint64_t bidNextP = get64(d + 32), bidNextB = get64(d + 516);
    const uint8_t* root = d + 180;
    const uint64_t sections = (size - kFirst) / kSection;
    if ((size - kFirst) % kSection != 0) bad("file size is not whole data sections");
    if (get64(root + 4) != size) bad("ibFileEof differs from the file size");
    if (get64(root + 12) != kFirst + (sections - 1) * kSection) bad("ibAMapLast is wrong");
    if (root[68] != 2) bad("fAMapValid is not 2");
    if (bidNextB % 4 != 0) bad("bidNextB not a multiple of 4");

    // Space in use, 64-byte slots over the whole file.
    std::vector<uint8_t> used(sections * 3968, 0);
    auto mark = [&](uint64_t ib, uint64_t len, const std::string& what) {
        if (ib < kFirst || ib + len > size) {
            bad(what + " outside the data sections");
            return;
        }
        const uint64_t k = (ib - kFirst) / kSection, rel = ib - kFirst - k * kSection;
        if (rel + len > kSection) bad(what + " crosses a section end");
        for (uint64_t s = (ib - kFirst) / 64; s < (ib - kFirst + len + 63) / 64 && s < used.size(); ++s) {
            if (used[s]) {
                bad(what + " overlaps other data at " + hex(kFirst + s * 64));
                return;
            }
            used[s] = 1;
        }
    };
    for (uint64_t k = 0; k < sections; ++k) mark(kFirst + k * kSection, 512 * reservedPages(k), "map pages");

    // B-trees.
    struct Block {
        uint64_t ib;
        uint16_t cb;
        uint16_t cRef;
    };
    std::map<uint64_t, Block> blocks;
    struct Node {
        uint64_t bidData, bidSub;
        uint32_t parent;
    };
    std::map<uint32_t, Node> nodes;
    std::set<uint64_t> pageBids;
    auto walk = [&](auto&& self, uint64_t bid, uint64_t ib, uint8_t ptype, int level, uint64_t key, int depth,
                    int* leafDepth) -> void {
        if (ib % 512 || ib + 512 > size) {
            bad("B-tree page at bad offset " + hex(ib));
            return;
        }
        const uint8_t* p = d + ib;
        mark(ib, 512, "B-tree page " + hex(bid));
        if (p[496] != ptype || p[497] != ptype) bad("B-tree page " + hex(ib) + " has wrong type");
        if (get16(p + 498) != sigOf(ib, bid)) bad("B-tree page " + hex(ib) + " has a wrong signature");
        if (get32(p + 500) != crcOf(p, 496)) bad("B-tree page " + hex(ib) + " has a wrong CRC");
        if (get64(p + 504) != bid) bad("B-tree page " + hex(ib) + " has a wrong id");
        if (!pageBids.insert(bid).second) bad("page id used twice: " + hex(bid));
        if (bid >= bidNextP) bad("page id not below bidNextP");
        const unsigned cEnt = p[488], cEntMax = p[489], cbEnt = p[490], cLevel = p[491];
        if (level >= 0 && int(cLevel) != level) bad("B-tree levels inconsistent at " + hex(ib));
        const bool leaf = cLevel == 0;
        const unsigned wantCb = leaf ? (ptype == 0x81 ? 32 : 24) : 24, wantMax = leaf && ptype == 0x81 ? 15 : 20;
        if (cbEnt != wantCb || cEntMax != wantMax || cEnt == 0 || cEnt > cEntMax) {
            bad("B-tree page " + hex(ib) + " has a bad entry count or size");
            return;
        }
        if (get64(p) != key) bad("B-tree key of " + hex(ib) + " differs from its first entry");
        uint64_t prev = 0;
        for (unsigned i = 0; i < cEnt; ++i) {
            const uint8_t* e = p + i * cbEnt;
            const uint64_t k = get64(e);
            if (i && k <= prev) bad("B-tree keys out of order in " + hex(ib));
            prev = k;
            if (!leaf) {
                self(self, get64(e + 8), get64(e + 16), ptype, int(cLevel) - 1, k, depth + 1, leafDepth);
            } else if (ptype == 0x81) {
                nodes[uint32_t(k)] = {get64(e + 8), get64(e + 16), get32(e + 24)};
            } else {
                blocks[k] = {get64(e + 8), get16(e + 16), get16(e + 18)};
            }
        }
        if (leaf) {
            if (*leafDepth >= 0 && *leafDepth != depth) bad("B-tree leaves at different depths");
            *leafDepth = depth;
        }
    };
    int nbtDepth = -1, bbtDepth = -1;
    {
        const uint8_t* n = root + 36;
        const uint8_t* b = root + 52;
        if (get64(n + 8) + 512 > size || get64(b + 8) + 512 > size) return {"B-tree root outside the file"};
        walk(walk, get64(n), get64(n + 8), 0x81, -1, get64(d + get64(n + 8)), 0, &nbtDepth);
        walk(walk, get64(b), get64(b + 8), 0x80, -1, get64(d + get64(b + 8)), 0, &bbtDepth);
    }
    st.nbtLevels = nbtDepth + 1;
    st.bbtLevels = bbtDepth + 1;
    st.nodes = nodes.size();
    st.blocks = blocks.size();

    // Blocks: trailers and space.
    for (const auto& [bid, b] : blocks) {
        const uint64_t total = (uint64_t(b.cb) + 16 + 63) / 64 * 64;
        if (b.ib % 64 || total > 8192 || b.ib + total > size) {
            bad("block " + hex(bid) + " has a bad place or size");
            continue;
        }
        mark(b.ib, total, "block " + hex(bid));
        const uint8_t* t = d + b.ib + total - 16;
        if (get16(t) != b.cb) bad("block " + hex(bid) + " trailer size differs");
        if (get16(t + 2) != sigOf(b.ib, bid)) bad("block " + hex(bid) + " has a wrong signature");
        if (get32(t + 4) != crcOf(d + b.ib, b.cb)) bad("block " + hex(bid) + " has a wrong CRC");
        if (get64(t + 8) != bid) bad("block " + hex(bid) + " trailer id differs");
        if (bid & 1) bad("block id with the reserved bit: " + hex(bid));
        if (bid >= bidNextB) bad("block id not below bidNextB");
    }

    // References from nodes, data trees and subnode trees.
    std::map<uint64_t, unsigned> refs;
    auto blockData = [&](uint64_t bid, uint16_t* cb) -> const uint8_t* {
        auto it = blocks.find(bid);
        if (it == blocks.end()) {
            bad("reference to a block missing from the block tree: " + hex(bid));
            return nullptr;
        }
        *cb = it->second.cb;
        return d + it->second.ib;
    };
    auto walkData = [&](auto&& self, uint64_t bid, uint64_t* total) -> void {
        ++refs[bid];
        uint16_t cb;
        const uint8_t* p = blockData(bid, &cb);
        if (!p) return;
        if (!(bid & 2)) {
            *total += cb;
            return;
        }
        if (p[0] != 0x01 || (p[1] != 1 && p[1] != 2) || cb != 8 + 8 * get16(p + 2)) {
            bad("bad data tree block " + hex(bid));
            return;
        }
        if (p[1] == 2) ++st.xxblocks;
        uint64_t sum = 0;
        for (unsigned i = 0; i < get16(p + 2); ++i) {
            const uint64_t child = get64(p + 8 + 8 * i);
            if (p[1] == 2 && !(child & 2)) bad("XXBLOCK child is not an XBLOCK");
            if (p[1] == 1 && (child & 2)) bad("XBLOCK child is not a data block");
            self(self, child, &sum);
        }
        if (sum != get32(p + 4)) bad("data tree " + hex(bid) + " total differs from its blocks");
        *total += sum;
    };
    std::function<void(uint64_t)> subFn;
    std::function<void(uint64_t, uint64_t*)> dataFn = [&](uint64_t bid, uint64_t* total) { walkData(walkData, bid, total); };
    subFn = [&](uint64_t bid) {
        ++refs[bid];
        uint16_t cb;
        const uint8_t* p = blockData(bid, &cb);
        if (!p) return;
        if (!(bid & 2) || p[0] != 0x02 || get16(p + 2) == 0) {
            bad("bad subnode tree block " + hex(bid));
            return;
        }
        const unsigned n = get16(p + 2);
        uint32_t prev = 0;
        if (p[1] == 0) {
            if (cb != 8 + 24 * n) bad("SLBLOCK size differs from its count");
            for (unsigned i = 0; i < n; ++i) {
                const uint8_t* e = p + 8 + 24 * i;
                if (i && get32(e) <= prev) bad("subnode ids out of order in " + hex(bid));
                prev = get32(e);
                uint64_t total = 0;
                if (get64(e + 8)) dataFn(get64(e + 8), &total);
                if (get64(e + 16)) subFn(get64(e + 16));
            }
        } else {
            ++st.siblocks;
            if (cb != 8 + 16 * n) bad("SIBLOCK size differs from its count");
            for (unsigned i = 0; i < n; ++i) subFn(get64(p + 8 + 16 * i + 8));
        }
    };
    for (const auto& [nid, n] : nodes) {
        uint64_t total = 0;
        if (n.bidData) dataFn(n.bidData, &total);
        if (n.bidSub) subFn(n.bidSub);
        const uint32_t type = nid & 0x1F;
        if (type == 0x02 || type == 0x04) {
            auto it = nodes.find(n.parent);
            if (it == nodes.end() || (n.parent & 0x1F) != 0x02) bad("node " + hex(nid) + " has no parent folder");
        }
        if (type != 0 && type != 1 && (nid >> 5) > get32(d + 44 + 4 * type)) bad("rgnid below a used node index");
    }
    for (const auto& [bid, b] : blocks) {
        auto it = refs.find(bid);
        const unsigned r = it == refs.end() ? 0 : it->second;
        if (r == 0) bad("block " + hex(bid) + " is not referenced");
        if (b.cRef != r + 1) bad("block " + hex(bid) + " has cRef " + std::to_string(b.cRef) + " for " + std::to_string(r) + " references");
    }

    // Allocation and free-space maps.
    uint64_t freeBytes = 0;
    std::vector<uint8_t> runs;
    for (uint64_t k = 0; k < sections; ++k) {
        const uint64_t s = kFirst + k * kSection;
        const uint8_t* a = d + s;
        if (a[496] != 0x84 || a[497] != 0x84 || get16(a + 498) != 0 || get32(a + 500) != crcOf(a, 496) || get64(a + 504) != s)
            bad("bad AMap page trailer in section " + std::to_string(k));
        unsigned run = 0, best = 0;
        for (unsigned i = 0; i < 3968; ++i) {
            const bool bit = a[i / 8] & (0x80 >> (i % 8));
            if (bit != bool(used[k * 3968 + i])) {
                bad("AMap of section " + std::to_string(k) + " says " + (bit ? "used" : "free") + " at " + hex(s + 64 * i));
                break;
            }
            if (!bit) {
                freeBytes += 64;
                best = std::max(best, ++run);
            } else {
                run = 0;
            }
        }
        runs.push_back(uint8_t(std::min(best, 255u)));
        uint64_t at = s + 512;
        if (k % 8 == 0) {
            const uint8_t* p = d + at;
            bool ff = true;
            for (int i = 0; i < 496; ++i) ff = ff && p[i] == 0xFF;
            if (!ff || p[496] != 0x83 || get32(p + 500) != crcOf(p, 496) || get64(p + 504) != at) bad("bad PMap in section " + std::to_string(k));
            at += 512;
        }
        if (k >= 128 && (k - 128) % 496 == 0) {
            const uint8_t* p = d + at;
            if (p[496] != 0x82 || get32(p + 500) != crcOf(p, 496) || get64(p + 504) != at) bad("bad FMap in section " + std::to_string(k));
            at += 512;
        }
        if (k >= 8192 && (k - 8192) % 31744 == 0) {
            const uint8_t* p = d + at;
            if (p[496] != 0x85 || get32(p + 500) != crcOf(p, 496) || get64(p + 504) != at) bad("bad FPMap in section " + std::to_string(k));
        }
    }
    for (uint64_t k = 128; k < sections; k += 496) {
        const uint8_t* p = d + kFirst + k * kSection + 1024;
        for (uint64_t j = 0; j < 496 && k + j < sections; ++j)
            if (p[j] != runs[k + j]) {
                bad("FMap value wrong for section " + std::to_string(k + j));
                break;
            }
    }
    if (get64(root + 20) != freeBytes) bad("cbAMapFree " + std::to_string(get64(root + 20)) + " but " + std::to_string(freeBytes) + " free");
    {
        const uint8_t* p = d + 0x4200;
        if (p[496] != 0x86 || get32(p + 500) != crcOf(p, 496) || get64(p + 504) != bidNextP || get16(p + 498) != sigOf(0x4200, bidNextP))
            bad("bad allocation list page");
    }
    if (!probs.empty() || d[513] != 0) {  // the table level is read only from unencoded files
        if (stats) *stats = st;
        return probs;
    }

    // Heaps, property contexts and table contexts of the top-level nodes.
    auto pagesOf = [&](uint64_t bid) {
        std::vector<std::string> pages;
        std::function<void(uint64_t)> collect = [&](uint64_t b) {
            const Block& blk = blocks.at(b);
            const uint8_t* p = d + blk.ib;
            if (!(b & 2)) {
                pages.emplace_back(reinterpret_cast<const char*>(p), blk.cb);
                return;
            }
            for (unsigned i = 0; i < get16(p + 2); ++i) collect(get64(p + 8 + 8 * i));
        };
        if (bid) collect(bid);
        return pages;
    };
    auto item = [&](const std::vector<std::string>& pages, uint32_t hid, std::string* out) {
        const uint32_t page = hid >> 16, idx = (hid >> 5) & 0x7FF;
        if ((hid & 0x1F) || page >= pages.size() || idx == 0) return false;
        const auto* p = reinterpret_cast<const uint8_t*>(pages[page].data());
        const uint16_t ibHnpm = get16(p);
        if (idx > get16(p + ibHnpm)) return false;
        const uint16_t a = get16(p + ibHnpm + 4 + 2 * (idx - 1)), b = get16(p + ibHnpm + 4 + 2 * idx);
        *out = pages[page].substr(a, b - a);
        return true;
    };
    auto checkHeap = [&](uint32_t nid, const std::vector<std::string>& pages) {
        for (size_t i = 0; i < pages.size(); ++i) {
            const auto* p = reinterpret_cast<const uint8_t*>(pages[i].data());
            const size_t n = pages[i].size();
            const uint16_t ibHnpm = get16(p);
            if (ibHnpm + 4u > n) {
                bad("heap page map outside the page in node " + hex(nid));
                return;
            }
            const unsigned cAlloc = get16(p + ibHnpm);
            if (n != ibHnpm + 4u + 2u * (cAlloc + 1)) bad("heap page of node " + hex(nid) + " has bytes after its map");
            const size_t hdr = i == 0 ? 12 : (i >= 8 && (i - 8) % 128 == 0) ? 66 : 2;
            uint16_t prev = uint16_t(hdr);
            for (unsigned k = 0; k <= cAlloc; ++k) {
                const uint16_t off = get16(p + ibHnpm + 4 + 2 * k);
                if (off < prev || off > ibHnpm) bad("heap item offsets out of order in node " + hex(nid));
                prev = off;
            }
        }
    };
    auto bthRecords = [&](const std::vector<std::string>& pages, uint32_t hidHeader, unsigned* cbKey) {
        std::vector<std::string> recs;
        std::string h;
        if (!item(pages, hidHeader, &h) || h.size() != 8 || uint8_t(h[0]) != 0xB5) {
            bad("bad B-tree-on-heap header");
            return recs;
        }
        const unsigned ck = uint8_t(h[1]), ce = uint8_t(h[2]), levels = uint8_t(h[3]);
        *cbKey = ck;
        std::function<void(uint32_t, unsigned)> walkItem = [&](uint32_t hid, unsigned level) {
            std::string it;
            if (!item(pages, hid, &it)) {
                bad("B-tree-on-heap item missing");
                return;
            }
            const size_t rs = level ? ck + 4 : ck + ce;
            if (it.size() % rs) bad("B-tree-on-heap item size");
            for (size_t o = 0; o + rs <= it.size(); o += rs) {
                if (level)
                    walkItem(get32(reinterpret_cast<const uint8_t*>(it.data()) + o + ck), level - 1);
                else
                    recs.push_back(it.substr(o, rs));
            }
        };
        if (get32(reinterpret_cast<const uint8_t*>(h.data()) + 4)) walkItem(get32(reinterpret_cast<const uint8_t*>(h.data()) + 4), levels);
        for (size_t i = 1; i < recs.size(); ++i) {
            std::string a = recs[i - 1].substr(0, ck), b = recs[i].substr(0, ck);
            std::reverse(a.begin(), a.end());
            std::reverse(b.begin(), b.end());
            if (a >= b) bad("B-tree-on-heap keys out of order");
        }
        return recs;
    };
    // Inline 4-byte values of a property context, by tag.
    auto pcInline = [&](uint32_t nid) {
        std::map<uint32_t, uint32_t> v;
        auto pages = pagesOf(nodes.at(nid).bidData);
        if (pages.empty() || uint8_t(pages[0][2]) != 0xEC || uint8_t(pages[0][3]) != 0xBC) {
            bad("node " + hex(nid) + " is not a property context");
            return v;
        }
        checkHeap(nid, pages);
        unsigned ck = 0;
        for (const auto& r : bthRecords(pages, get32(reinterpret_cast<const uint8_t*>(pages[0].data()) + 4), &ck)) {
            const auto* q = reinterpret_cast<const uint8_t*>(r.data());
            v[(uint32_t(get16(q)) << 16) | get16(q + 2)] = get32(q + 4);
        }
        return v;
    };
    // Row ids of a table context.
    auto tcRows = [&](uint32_t nid) {
        std::vector<uint32_t> ids;
        auto it = nodes.find(nid);
        if (it == nodes.end()) {
            bad("table " + hex(nid) + " missing");
            return ids;
        }
        auto pages = pagesOf(it->second.bidData);
        if (pages.empty() || uint8_t(pages[0][2]) != 0xEC || uint8_t(pages[0][3]) != 0x7C) {
            bad("node " + hex(nid) + " is not a table context");
            return ids;
        }
        checkHeap(nid, pages);
        std::string info;
        if (!item(pages, get32(reinterpret_cast<const uint8_t*>(pages[0].data()) + 4), &info) || uint8_t(info[0]) != 0x7C) {
            bad("table " + hex(nid) + " has no table info");
            return ids;
        }
        const auto* ti = reinterpret_cast<const uint8_t*>(info.data());
        const unsigned cols = ti[1];
        uint32_t prevTag = 0;
        bool rowId = false, rowVer = false;
        for (unsigned c = 0; c < cols; ++c) {
            const uint8_t* cd = ti + 22 + 8 * c;
            if (c && get32(cd) <= prevTag) bad("table " + hex(nid) + " columns not sorted by tag");
            prevTag = get32(cd);
            if (get32(cd) == 0x67F20003) rowId = get16(cd + 4) == 0 && cd[7] == 0;
            if (get32(cd) == 0x67F30003) rowVer = get16(cd + 4) == 4 && cd[7] == 1;
            if (get16(cd + 4) + cd[6] > get16(ti + 6)) bad("table " + hex(nid) + " cell beyond the data area");
        }
        if (!rowId || !rowVer) bad("table " + hex(nid) + " lacks the row id/version columns in place");
        if (get16(ti + 8) != get16(ti + 6) + (cols + 7) / 8) bad("table " + hex(nid) + " row size is not data + CEB");
        unsigned ck = 0;
        for (const auto& r : bthRecords(pages, get32(ti + 10), &ck)) ids.push_back(get32(reinterpret_cast<const uint8_t*>(r.data())));
        if (ids.empty() != (get32(ti + 14) == 0)) bad("table " + hex(nid) + " rows and row matrix disagree");
        return ids;
    };
    auto subnodeIds = [&](uint64_t bidSub) {
        std::set<uint32_t> ids;
        std::function<void(uint64_t)> collect = [&](uint64_t b) {
            const uint8_t* p = d + blocks.at(b).ib;
            for (unsigned i = 0; i < get16(p + 2); ++i) {
                if (p[1] == 0)
                    ids.insert(get32(p + 8 + 24 * i));
                else
                    collect(get64(p + 8 + 16 * i + 8));
            }
        };
        if (bidSub) collect(bidSub);
        return ids;
    };

    std::map<uint32_t, std::set<uint32_t>> childFolders, childMessages;
    std::map<uint32_t, uint32_t> unreadIn;
    for (const auto& [nid, n] : nodes) {
        if ((nid & 0x1F) == 0x04) childMessages[n.parent].insert(nid);
        if (((nid & 0x1F) == 0x02 || (nid & 0x1F) == 0x03) && n.parent != nid) childFolders[n.parent].insert(nid);
    }
    for (const auto& [nid, n] : nodes)
        if ((nid & 0x1F) == 0x04 && !(pcInline(nid)[0x0E070003] & 0x01)) ++unreadIn[n.parent];
    for (const auto& [nid, n] : nodes) {
        const uint32_t type = nid & 0x1F;
        if (type == 0x02) {
            auto pc = pcInline(nid);
            auto contents = tcRows((nid & ~0x1Fu) | 0x0E);
            auto hierarchy = tcRows((nid & ~0x1Fu) | 0x0D);
            tcRows((nid & ~0x1Fu) | 0x0F);
            const auto& msgs = childMessages[nid];
            if (pc[0x36020003] != contents.size() || contents.size() != msgs.size())
                bad("folder " + hex(nid) + ": count " + std::to_string(pc[0x36020003]) + ", " + std::to_string(contents.size()) +
                    " contents rows, " + std::to_string(msgs.size()) + " messages");
            if (std::set<uint32_t>(contents.begin(), contents.end()) != msgs) bad("folder " + hex(nid) + " contents rows differ from its messages");
            if (std::set<uint32_t>(hierarchy.begin(), hierarchy.end()) != childFolders[nid])
                bad("folder " + hex(nid) + " hierarchy rows differ from its subfolders");
            if (pc[0x360A000B] != (hierarchy.empty() ? 0u : 1u)) bad("folder " + hex(nid) + " subfolder flag is wrong");
            if (pc[0x36030003] != unreadIn[nid]) bad("folder " + hex(nid) + " unread count differs from its unread messages");
        } else if (type == 0x04) {
            auto pc = pcInline(nid);
            auto subs = subnodeIds(n.bidSub);
            if (!subs.count(0x692)) bad("message " + hex(nid) + " has no recipient table");
            size_t attachments = 0;
            for (uint32_t s : subs) attachments += (s & 0x1F) == 0x05;
            if (bool(pc[0x0E070003] & 0x10) != (attachments > 0) || subs.count(0x671) != (attachments > 0))
                bad("message " + hex(nid) + " attachment flag/table disagree with its attachments");
        }
    }

    if (stats) *stats = st;
    return probs;
}

}  // namespace psttest
