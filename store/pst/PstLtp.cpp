// The lists-tables-properties layer of the .pst writer (MS-PST 2.3): heaps on
// nodes, B-trees on heaps, property contexts and table contexts, built in
// memory a page at a time and handed to the node database (PstNdb) as blocks.
// It knows nothing of folders or messages (PstWriter.cpp); offsets and values
// come from PstFormat.h.
//
// Invariants:
//  1. A heap item is 1..3580 bytes and a page holds at most 2047 items; an item
//     that does not fit the open page closes it and opens the next (heap ids
//     keep 16 bits for the page, so a heap has at most 65 536 pages).
//  2. Page 0 stays in memory until finish(): its header (user root, fill
//     levels) is known only then. With holdPages every page stays, so any item
//     can still be patched; otherwise other pages are written as they fill, and
//     a bitmap page (8, 136, ...) waits until the 127 pages after it are closed.
//  3. A BTH's records arrive in key order; leaves are heap items of at most
//     3580 bytes and index levels are built over them at finish().
//  4. A table's rows arrive in increasing row id order; once the row matrix
//     outgrows one heap item it goes to full 8176-byte blocks of whole rows
//     (the last block may be short) in a subnode.
//  5. Variable-size values of 3580 bytes or less live in the heap, larger ones
//     (and those moved out to keep a property context small) in subnodes.
#include "store/pst/PstLtp.h"

#include "store/Unicode.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <string_view>

namespace store::pst {

namespace {

constexpr size_t kPageData = kMaxBlockData;

uint8_t fillLevel(size_t used) {
    static const size_t kLimits[] = {3584, 2560, 2048, 1792, 1536, 1280, 1024, 768, 512, 256, 128, 64, 32, 16, 8};
    size_t free = used >= kPageData ? 0 : kPageData - used;
    for (uint8_t i = 0; i < 15; ++i)
        if (free >= kLimits[i]) return i;
    return 0x0F;
}

size_t headerSize(uint32_t page) {
    if (page == 0) return kHnhdrBytes;
    if (page >= kHnBitmapFirstPage && (page - kHnBitmapFirstPage) % kHnBitmapEveryPages == 0) return kHnBitmapHdrBytes;
    return kHnPageHdrBytes;
}

void setNibble(uint8_t* levels, uint32_t j, uint8_t v) {
    if (j % 2 == 0)
        levels[j / 2] = uint8_t((levels[j / 2] & 0xF0) | v);
    else
        levels[j / 2] = uint8_t((levels[j / 2] & 0x0F) | (v << 4));
}

// Writes a `utf8` or `pieces` value as one stream, converting a piece at a
// time into one block's worth of bytes: the blocks are those writeStream()
// makes of the whole, without holding the whole (twice the text's size for a
// long subject, header block or display list) or more than a block and a
// piece of it.
uint64_t writeUtf8Stream(NdbWriter& ndb, const PropValue& v) {
    const uint64_t n = v.size();
    if (n <= kMaxBlockData || n > 0xFFFFFFFFull) {
        std::string whole;
        v.bytes(whole);
        return ndb.writeStream(whole.data(), whole.size());
    }
    constexpr size_t kPiece = 64 * 1024;  // UTF-8 bytes converted at a time
    std::vector<NdbWriter::BlockRef> blocks;
    blocks.reserve(size_t(n / kMaxBlockData + 1));
    std::string block;  // bytes not yet in a block
    block.reserve(kMaxBlockData);
    auto add = [&](std::string_view bytes) {
        while (!bytes.empty()) {
            const size_t take = std::min(bytes.size(), kMaxBlockData - block.size());
            block.append(bytes.substr(0, take));
            bytes.remove_prefix(take);
            if (block.size() == kMaxBlockData) {
                blocks.push_back({ndb.writeBlock(block.data(), block.size()), uint32_t(block.size())});
                block.clear();
            }
        }
    };
    add(v.data);
    std::string converted;
    v.eachUtf8([&](std::string_view utf8) {
        while (!utf8.empty()) {
            // Cut before a byte that starts a character, so that the pieces
            // convert to what the whole converts to.
            size_t cut = std::min(utf8.size(), kPiece);
            while (cut < utf8.size() && (uint8_t(utf8[cut]) & 0xC0) == 0x80) ++cut;
            converted.clear();
            AppendUtf16le(converted, utf8.substr(0, cut));
            add(converted);
            utf8.remove_prefix(cut);
        }
    });
    if (!block.empty()) blocks.push_back({ndb.writeBlock(block.data(), block.size()), uint32_t(block.size())});
    return ndb.writeTree(blocks);
}

// Where a value goes (invariant 5): inline (the 4-byte value itself), a heap item or a
// subnode (values over the heap item limit, or `forceSubnode`).
uint32_t storeValue(NdbWriter& ndb, HeapBuilder& heap, const PropValue& v, bool tableCell,
                    std::vector<SubnodeEntry>& subnodes, uint32_t& nextSub, bool forceSubnode = false) {
    const uint16_t type = v.type();
    const size_t fixed = fixedTypeSize(type);
    if (fixed && (fixed <= 4 || (tableCell && fixed <= 8)) && type != 0x0048) {
        uint8_t b[4] = {};
        std::memcpy(b, v.bytes().data(), std::min<size_t>(4, v.bytes().size()));
        return get32(b);
    }
    if (v.fromUtf8() && (v.size() > kMaxHeapItem || forceSubnode)) {
        const uint32_t nid = makeNid(kNidTypeLtp, nextSub++);
        subnodes.push_back({nid, writeUtf8Stream(ndb, v), 0});
        return nid;
    }
    std::string scratch;
    const std::string& d = v.bytes(scratch);
    if (d.empty()) return 0;
    if (d.size() <= kMaxHeapItem && !forceSubnode) return heap.add(d.data(), d.size());
    const uint32_t nid = makeNid(kNidTypeLtp, nextSub++);
    subnodes.push_back({nid, ndb.writeStream(d.data(), d.size()), 0});
    return nid;
}

}  // namespace

void PropValue::eachUtf8(const std::function<void(std::string_view)>& f) const {
    if (pieces)
        (*pieces)(f);
    else if (utf8)
        f(utf8Text());
}

const std::string& PropValue::bytes(std::string& scratch) const {
    if (!fromUtf8()) return bytes();
    scratch.reserve(data.size() + utf16Bytes);
    scratch = data;
    eachUtf8([&](std::string_view text) { AppendUtf16le(scratch, text); });
    return scratch;
}

size_t fixedTypeSize(uint16_t type) {
    switch (type) {
        case 0x0002: return 2;
        case 0x0003:
        case 0x0004:
        case 0x000A: return 4;
        case 0x000B: return 1;
        case 0x0005:
        case 0x0006:
        case 0x0007:
        case 0x0014:
        case 0x0040: return 8;
        case 0x0048: return 16;
        default: return 0;
    }
}

// ---------------------------------------------------------------- heap

HeapBuilder::HeapBuilder(NdbWriter& ndb, uint8_t clientSig, bool holdPages)
    : ndb_(ndb), clientSig_(clientSig), holdPages_(holdPages) {
    openPage(0);
}

HeapBuilder::~HeapBuilder() = default;

void HeapBuilder::openPage(uint32_t index) {
    curIndex_ = index;
    cur_.assign(headerSize(index), 0);
    cur_.reserve(kPageData);
    curStarts_.clear();
    if (pages_.size() <= index) {
        pages_.resize(index + 1, {0, 0});
        fill_.resize(index + 1, 0);
    }
}

uint32_t HeapBuilder::add(const void* data, size_t n) {
    assert(n > 0 && n <= kMaxHeapItem);  // invariant 1
    size_t count = curStarts_.size();
    size_t need = ((cur_.size() + n + 1) & ~size_t(1)) + 4 + 2 * (count + 2);
    if (need > kPageData || count + 1 > kMaxHeapAllocs) {
        if (curIndex_ + 1 > 0xFFFF) {  // heap ids have 16 bits for the page
            ndb_.fail("a table or property set is too large for one node");
            return 0;
        }
        closePage();
        openPage(curIndex_ + 1);
        count = 0;
    }
    curStarts_.push_back(uint16_t(cur_.size()));
    const uint8_t* p = static_cast<const uint8_t*>(data);
    cur_.insert(cur_.end(), p, p + n);
    return (curIndex_ << kHidPageShift) | uint32_t((count + 1) << kHidIndexShift);
}

void HeapBuilder::patch(uint32_t hid, size_t offset, const void* data, size_t n) {
    const uint32_t page = hid >> kHidPageShift;
    const size_t item = ((hid >> kHidIndexShift) & kHidIndexMask) - 1;
    if (page == curIndex_) {
        std::memcpy(cur_.data() + curStarts_.at(item) + offset, data, n);
    } else if (page == 0 && !page0_.empty()) {
        std::memcpy(page0_.data() + page0Starts_.at(item) + offset, data, n);
    } else if (page < held_.size() && !held_[page].empty()) {
        std::memcpy(held_[page].data() + heldStarts_[page].at(item) + offset, data, n);
    } else {
        assert(false && "patching a heap item that was already written");
    }
}

void HeapBuilder::closePage() {
    std::vector<uint8_t>& b = cur_;
    const size_t end = b.size();
    if (b.size() % 2) b.push_back(0);
    const uint16_t ibHnpm = uint16_t(b.size());
    const size_t count = curStarts_.size();
    b.resize(b.size() + 4 + 2 * (count + 1), 0);
    uint8_t* map = b.data() + ibHnpm;
    put16(map + kHnpmCAlloc, uint16_t(count));
    put16(map + kHnpmCFree, 0);
    for (size_t i = 0; i < count; ++i) put16(map + kHnpmRgibAlloc + 2 * i, curStarts_[i]);
    put16(map + kHnpmRgibAlloc + 2 * count, uint16_t(end));
    put16(b.data() + kHnIbHnpm, ibHnpm);
    fill_[curIndex_] = fillLevel(b.size());

    if (curIndex_ == 0) {
        page0_.swap(b);
        page0Starts_ = curStarts_;
    } else if (holdPages_) {
        held_.resize(curIndex_ + 1);
        heldStarts_.resize(curIndex_ + 1);
        held_[curIndex_].swap(b);
        heldStarts_[curIndex_] = curStarts_;
    } else if (isBitmapPage(curIndex_)) {
        bitmap_.swap(b);
        bitmapIndex_ = curIndex_;
        bitmapHeld_ = true;
    } else {
        pages_[curIndex_] = {ndb_.writeBlock(b.data(), b.size()), uint32_t(b.size())};
    }
    if (bitmapHeld_ && curIndex_ == bitmapIndex_ + kHnBitmapEveryPages - 1) flushBitmapPage();  // invariant 2
}

void HeapBuilder::flushBitmapPage() {
    for (uint32_t j = 0; j < kHnBitmapEveryPages && bitmapIndex_ + j < fill_.size(); ++j)
        setNibble(bitmap_.data() + kHnBitmapRgbFillLevel, j, fill_[bitmapIndex_ + j]);
    pages_[bitmapIndex_] = {ndb_.writeBlock(bitmap_.data(), bitmap_.size()), uint32_t(bitmap_.size())};
    bitmapHeld_ = false;
}

uint64_t HeapBuilder::finish() {
    closePage();
    if (bitmapHeld_) flushBitmapPage();
    uint8_t* h = page0_.data();
    h[kHnBSig] = kHnSig;
    h[kHnBClientSig] = clientSig_;
    put32(h + kHnHidUserRoot, userRoot_);
    std::memset(h + kHnRgbFillLevel, 0, 4);
    for (uint32_t j = 0; j < 8 && j < fill_.size(); ++j) setNibble(h + kHnRgbFillLevel, j, fill_[j]);
    pages_[0] = {ndb_.writeBlock(page0_.data(), page0_.size()), uint32_t(page0_.size())};
    for (uint32_t i = 1; i < held_.size(); ++i) {
        std::vector<uint8_t>& b = held_[i];
        if (isBitmapPage(i))
            for (uint32_t j = 0; j < kHnBitmapEveryPages && i + j < fill_.size(); ++j)
                setNibble(b.data() + kHnBitmapRgbFillLevel, j, fill_[i + j]);
        pages_[i] = {ndb_.writeBlock(b.data(), b.size()), uint32_t(b.size())};
    }
    if (pages_.size() == 1) return pages_[0].bid;
    return ndb_.writeTree(pages_);
}

// ---------------------------------------------------------------- BTH

BthStream::BthStream(HeapBuilder& heap, uint8_t cbKey, uint8_t cbEnt) : heap_(heap), cbKey_(cbKey), cbEnt_(cbEnt) {
    uint8_t h[kBthHeaderBytes] = {kClientSigBTH, cbKey, cbEnt, 0, 0, 0, 0, 0};
    header_ = heap_.add(h, kBthHeaderBytes);
}

BthStream::BthStream(const BthStream& other, HeapBuilder& heap)
    : heap_(heap), cbKey_(other.cbKey_), cbEnt_(other.cbEnt_), header_(other.header_), leaf_(other.leaf_),
      index_(other.index_), count_(other.count_) {}

void BthStream::add(const void* record) {
    const size_t rs = cbKey_ + cbEnt_;
    const uint8_t* r = static_cast<const uint8_t*>(record);
    leaf_.insert(leaf_.end(), r, r + rs);
    ++count_;
    if (leaf_.size() + rs > kMaxHeapItem) placeLeaf();
}

void BthStream::placeLeaf() {
    if (leaf_.empty()) return;
    const uint32_t hid = heap_.add(leaf_.data(), leaf_.size());
    index_.insert(index_.end(), leaf_.begin(), leaf_.begin() + cbKey_);
    uint8_t h[4];
    put32(h, hid);
    index_.insert(index_.end(), h, h + 4);
    leaf_.clear();
}

void BthStream::finish() {
    placeLeaf();
    uint32_t root = 0;
    uint8_t levels = 0;
    const size_t rs = cbKey_ + 4u;
    std::vector<uint8_t> level = std::move(index_);
    if (level.size() == rs) {
        root = get32(level.data() + cbKey_);
    } else if (!level.empty()) {
        const size_t perItem = kMaxHeapItem / rs;
        while (level.size() > rs) {
            ++levels;
            std::vector<uint8_t> next;
            for (size_t i = 0; i < level.size(); i += perItem * rs) {
                size_t n = std::min(perItem * rs, level.size() - i);
                const uint32_t hid = heap_.add(level.data() + i, n);
                next.insert(next.end(), level.begin() + long(i), level.begin() + long(i) + cbKey_);
                uint8_t h[4];
                put32(h, hid);
                next.insert(next.end(), h, h + 4);
            }
            level.swap(next);
        }
        root = get32(level.data() + cbKey_);
    }
    uint8_t h[kBthHeaderBytes] = {kClientSigBTH, cbKey_, cbEnt_, levels, 0, 0, 0, 0};
    put32(h + kBthHidRoot, root);
    heap_.patch(header_, 0, h, kBthHeaderBytes);
}

// ---------------------------------------------------------------- PC

uint64_t writePropertyContext(NdbWriter& ndb, const std::vector<PropValue>& props, std::vector<SubnodeEntry>& subnodes,
                              uint32_t& nextSubIndex) {
    // Header, then the record array, then the values, which keeps the
    // records on the first page.
    HeapBuilder heap(ndb, kClientSigPC, true);
    uint8_t header[kBthHeaderBytes] = {kClientSigBTH, kPcCbKey, kPcCbEnt, 0, 0, 0, 0, 0};
    const uint32_t hidHeader = heap.add(header, kBthHeaderBytes);
    heap.setUserRoot(hidHeader);
    constexpr size_t kPerLeaf = kMaxHeapItem / 8;
    std::vector<uint8_t> records(8 * props.size());
    std::vector<uint32_t> leaves;
    for (size_t i = 0; i < props.size(); i += kPerLeaf)
        leaves.push_back(heap.add(records.data(), 8 * std::min(kPerLeaf, props.size() - i)));
    // Keep the heap within a few pages: libpff reads property contexts whose
    // heap has more than eight pages wrongly. The largest values move to
    // subnodes instead.
    std::vector<bool> toSubnode(props.size(), false);
    {
        constexpr size_t kBudget = 6 * 7000;
        size_t total = 8 * props.size() + 64;
        std::vector<size_t> movable;
        for (size_t i = 0; i < props.size(); ++i) {
            const size_t f = fixedTypeSize(props[i].type());
            const size_t n = props[i].size();
            if (f > 4 || (f == 0 && n > 0 && n <= kMaxHeapItem)) total += n + 2;
            if (f == 0 && n >= 32 && n <= kMaxHeapItem) movable.push_back(i);
        }
        std::sort(movable.begin(), movable.end(),
                  [&](size_t a, size_t b) { return props[a].size() > props[b].size(); });
        for (size_t i : movable) {
            if (total <= kBudget) break;
            toSubnode[i] = true;
            total -= props[i].size() + 2;
        }
    }
    for (size_t i = 0; i < props.size(); ++i) {
        const PropValue& v = props[i];
        uint8_t* r = records.data() + 8 * i;
        put16(r, uint16_t(v.tag >> 16));
        put16(r + 2, v.type());
        put32(r + 4, storeValue(ndb, heap, v, false, subnodes, nextSubIndex, toSubnode[i]));
    }
    // Index levels over the leaves: {first id (2), hid (4)} records.
    std::vector<uint8_t> level;
    for (size_t k = 0; k < leaves.size(); ++k) {
        const size_t first = k * kPerLeaf, n = std::min(kPerLeaf, props.size() - first);
        heap.patch(leaves[k], 0, records.data() + 8 * first, 8 * n);
        uint8_t e[6];
        std::memcpy(e, records.data() + 8 * first, 2);
        put32(e + 2, leaves[k]);
        level.insert(level.end(), e, e + 6);
    }
    uint8_t levels = 0;
    while (level.size() > 6) {
        ++levels;
        std::vector<uint8_t> next;
        const size_t perItem = kMaxHeapItem / 6 * 6;
        for (size_t i = 0; i < level.size(); i += perItem) {
            const size_t n = std::min(perItem, level.size() - i);
            uint8_t e[6];
            std::memcpy(e, level.data() + i, 2);
            put32(e + 2, heap.add(level.data() + i, n));
            next.insert(next.end(), e, e + 6);
        }
        level.swap(next);
    }
    header[3] = levels;
    if (!level.empty()) std::memcpy(header + 4, level.data() + 2, 4);
    heap.patch(hidHeader, 0, header, 8);
    return heap.finish();
}

// ---------------------------------------------------------------- TC

TableLayout TableLayout::extend(const TableLayout& base, std::vector<uint32_t> tags) {
    auto width = [](uint32_t tag) -> uint8_t {
        size_t f = fixedTypeSize(uint16_t(tag));
        return (f == 0 || f == 16) ? 4 : uint8_t(f);
    };
    std::sort(tags.begin(), tags.end());
    tags.erase(std::unique(tags.begin(), tags.end()), tags.end());
    std::vector<uint32_t> extra;
    for (uint32_t t : tags) {
        bool known = false;
        for (const auto& c : base.cols) known = known || (c.tag >> 16) == (t >> 16);
        if (!known) extra.push_back(t);
    }
    uint8_t nextBit = 0;
    for (const auto& c : base.cols) nextBit = std::max<uint8_t>(nextBit, uint8_t(c.iBit + 1));
    TableLayout l;
    uint16_t at = 0;
    auto place = [&](uint8_t lo, uint8_t hi) {
        for (const auto& c : base.cols)
            if (c.cb >= lo && c.cb <= hi) {
                l.cols.push_back({c.tag, at, c.cb, c.iBit});
                at = uint16_t(at + c.cb);
            }
        for (uint32_t t : extra)
            if (width(t) >= lo && width(t) <= hi) {
                l.cols.push_back({t, at, width(t), nextBit++});
                at = uint16_t(at + width(t));
            }
    };
    place(4, 8);
    l.rgib[0] = at;
    place(2, 2);
    l.rgib[1] = at;
    place(1, 1);
    l.rgib[2] = at;
    l.rgib[3] = uint16_t(at + (l.cols.size() + 7) / 8);
    return l;
}

TableBuilder::TableBuilder(NdbWriter& ndb, TableLayout layout)
    : ndb_(ndb), layout_(std::move(layout)), rowSize_(layout_.rgib[3]) {
    heap_ = std::make_unique<HeapBuilder>(ndb_, kClientSigTC);
    index_ = std::make_unique<BthStream>(*heap_, kTcRowIdCbKey, kTcRowIdCbEnt);
    std::vector<uint8_t> info(kTcInfoBytes + kTColDescBytes * layout_.cols.size(), 0);
    tcinfo_ = heap_->add(info.data(), info.size());
    heap_->setUserRoot(tcinfo_);
}

TableBuilder::~TableBuilder() = default;

TableBuilder::TableBuilder(const TableBuilder& o)
    : ndb_(o.ndb_), layout_(o.layout_), rowSize_(o.rowSize_), heap_(std::make_unique<HeapBuilder>(*o.heap_)),
      index_(std::make_unique<BthStream>(*o.index_, *heap_)), tcinfo_(o.tcinfo_), rows_(o.rows_),
      lastRowId_(o.lastRowId_), matrix_(o.matrix_), matrixInBlocks_(o.matrixInBlocks_), matrixBlocks_(o.matrixBlocks_),
      subnodes_(o.subnodes_), nextSub_(o.nextSub_) {}

NodeRef TableBuilder::snapshot() const {
    TableBuilder copy(*this);
    return copy.finish();
}

void TableBuilder::addRow(uint32_t rowId, const std::vector<PropValue>& values) {
    assert(rows_ == 0 || rowId > lastRowId_);  // invariant 4
    lastRowId_ = rowId;
    const size_t base = matrix_.size();
    matrix_.resize(base + rowSize_, 0);
    uint8_t ceb[32] = {};
    for (const ColumnDesc& c : layout_.cols) {
        uint8_t* cell = matrix_.data() + base + c.ib;
        if (c.tag == 0x67F20003) {
            put32(cell, rowId);
        } else if (c.tag == 0x67F30003) {
            put32(cell, rows_ + 1);
        } else {
            auto it = std::lower_bound(values.begin(), values.end(), c.tag,
                                       [](const PropValue& v, uint32_t t) { return v.tag < t; });
            if (it == values.end() || it->tag != c.tag) continue;
            const size_t fixed = fixedTypeSize(it->type());
            if (fixed && fixed <= 8) {
                std::memcpy(cell, it->bytes().data(), std::min<size_t>(c.cb, it->bytes().size()));
            } else {
                if (it->size() == 0) continue;
                put32(cell, storeValue(ndb_, *heap_, *it, true, subnodes_, nextSub_));
            }
        }
        ceb[c.iBit / 8] |= uint8_t(0x80 >> (c.iBit % 8));
    }
    std::memcpy(matrix_.data() + base + layout_.rgib[2], ceb, (layout_.cols.size() + 7) / 8);

    uint8_t rec[8];
    put32(rec, rowId);
    put32(rec + 4, rows_);
    index_->add(rec);
    ++rows_;

    if (!matrixInBlocks_ && matrix_.size() > kMaxHeapItem) matrixInBlocks_ = true;
    if (matrixInBlocks_) {
        const size_t perBlock = kMaxBlockData / rowSize_;
        while (matrix_.size() >= (perBlock + 1) * rowSize_) flushMatrixBlock(false);
    }
}

void TableBuilder::flushMatrixBlock(bool last) {
    const size_t perBlock = kMaxBlockData / rowSize_;
    size_t n = std::min(matrix_.size(), perBlock * rowSize_);
    std::vector<uint8_t> block(matrix_.begin(), matrix_.begin() + long(n));
    if (!last) block.resize(kMaxBlockData, 0);  // every block but the last is full
    matrixBlocks_.push_back({ndb_.writeBlock(block.data(), block.size()), uint32_t(block.size())});
    matrix_.erase(matrix_.begin(), matrix_.begin() + long(n));
}

NodeRef TableBuilder::finish() {
    uint32_t hnidRows = 0;
    if (matrixInBlocks_) {
        const size_t perBlock = kMaxBlockData / rowSize_;
        while (matrix_.size() > perBlock * rowSize_) flushMatrixBlock(false);
        if (!matrix_.empty()) flushMatrixBlock(true);
        hnidRows = makeNid(kNidTypeLtp, nextSub_++);
        subnodes_.push_back({hnidRows, ndb_.writeTree(matrixBlocks_), 0});
    } else if (!matrix_.empty()) {
        hnidRows = heap_->add(matrix_.data(), matrix_.size());
    }
    index_->finish();

    std::vector<ColumnDesc> sorted = layout_.cols;
    std::sort(sorted.begin(), sorted.end(), [](const ColumnDesc& a, const ColumnDesc& b) { return a.tag < b.tag; });
    std::vector<uint8_t> info(kTcInfoBytes + kTColDescBytes * sorted.size(), 0);
    info[kTcBType] = kClientSigTC;
    info[kTcCCols] = uint8_t(sorted.size());
    for (int i = 0; i < 4; ++i) put16(info.data() + kTcRgib + 2 * i, layout_.rgib[i]);
    put32(info.data() + kTcHidRowIndex, index_->headerHid());
    put32(info.data() + kTcHnidRows, hnidRows);
    put32(info.data() + kTcHidIndex, 0);
    for (size_t i = 0; i < sorted.size(); ++i) {
        uint8_t* d = info.data() + kTcRgTColDesc + kTColDescBytes * i;
        put32(d + kTcdTag, sorted[i].tag);
        put16(d + kTcdIbData, sorted[i].ib);
        d[kTcdCbData] = sorted[i].cb;
        d[kTcdIBit] = sorted[i].iBit;
    }
    heap_->patch(tcinfo_, 0, info.data(), info.size());
    NodeRef r;
    r.bidData = heap_->finish();
    r.bidSub = ndb_.writeSubnodeTree(std::move(subnodes_));
    return r;
}

}  // namespace store::pst
