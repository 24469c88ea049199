// The lists-tables-properties layer of the .pst writer: heaps on nodes,
// B-trees on heaps, property contexts and table contexts, all written
// straight to the node database as their pages fill.
#pragma once

#include "store/pst/PstNdb.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace store::pst {

// A property value encoded as the store keeps it: fixed-size types as
// little-endian bytes of their natural width, strings as UTF-16LE without a
// terminator, binaries as is, multi-valued ones in their stored form, and
// PT_OBJECT as the 8-byte {nid, size} reference.
//
// A long string is not converted up front: with `utf8` set, the value is
// `data` followed by the UTF-16LE form of *utf8 (kept by the caller), made
// only while the value is written, so that a message's long strings are not
// all held in UTF-16 at once. With `pieces` set instead, the text is what
// that gives a piece at a time (the display lists, made from the rows).
struct PropValue {
    // Calls its argument with the pieces of a text, each ending on a character boundary.
    using Utf8Pieces = std::function<void(const std::function<void(std::string_view)>&)>;

    uint32_t tag = 0;
    std::string data;
    const std::string* big = nullptr;    // when set, the value's bytes (kept by the caller; not copied)
    const std::string* utf8 = nullptr;   // when set, see above
    size_t utf8From = 0;                 // with `utf8`: the value is *utf8 from this byte on
    const Utf8Pieces* pieces = nullptr;  // when set, see above (kept by the caller)
    size_t utf16Bytes = 0;               // with `utf8` or `pieces`: the size of its UTF-16LE form
    uint16_t type() const { return uint16_t(tag); }
    std::string_view utf8Text() const { return std::string_view(*utf8).substr(utf8From); }
    // True when the text is converted only as it is written.
    bool fromUtf8() const { return utf8 || pieces; }
    // The text of a `utf8` or `pieces` value, in pieces for `f`.
    void eachUtf8(const std::function<void(std::string_view)>& f) const;
    size_t size() const { return big ? big->size() : data.size() + (fromUtf8() ? utf16Bytes : 0); }
    // The bytes of a value whose bytes are held (not a `utf8` one).
    const std::string& bytes() const { return big ? *big : data; }
    // The bytes of any value, made in `scratch` when they are not held.
    const std::string& bytes(std::string& scratch) const;
};

// True for types whose value has a fixed size (the size is returned).
size_t fixedTypeSize(uint16_t type);

// The data stream of one node (or subnode): its data and subnode tree roots.
struct NodeRef {
    uint64_t bidData = 0;
    uint64_t bidSub = 0;
};

class HeapBuilder {
public:
    // With `holdPages`, every page stays in memory until finish() so that any
    // item can still be patched (for property contexts, which are small);
    // otherwise pages other than page 0 are written as soon as they fill.
    HeapBuilder(NdbWriter& ndb, uint8_t clientSig, bool holdPages = false);
    HeapBuilder(const HeapBuilder&) = default;  // for table snapshots
    ~HeapBuilder();
    // Adds an item (1..3580 bytes) and returns its heap id.
    uint32_t add(const void* data, size_t n);
    // Changes bytes of an item on page 0 or on the page being filled.
    void patch(uint32_t hid, size_t offset, const void* data, size_t n);
    void setUserRoot(uint32_t hid) { userRoot_ = hid; }
    // Writes the remaining pages; returns the id of the node's data block or tree.
    uint64_t finish();

private:
    void openPage(uint32_t index);
    void closePage();
    void flushBitmapPage();
    static bool isBitmapPage(uint32_t i) {
        return i >= kHnBitmapFirstPage && (i - kHnBitmapFirstPage) % kHnBitmapEveryPages == 0;
    }

    NdbWriter& ndb_;
    uint8_t clientSig_;
    bool holdPages_;
    uint32_t userRoot_ = 0;
    std::vector<std::vector<uint8_t>> held_;
    std::vector<std::vector<uint16_t>> heldStarts_;
    std::vector<uint8_t> cur_;
    std::vector<uint16_t> curStarts_;
    uint32_t curIndex_ = 0;
    std::vector<uint8_t> page0_;
    std::vector<uint16_t> page0Starts_;
    std::vector<uint8_t> bitmap_;
    uint32_t bitmapIndex_ = 0;
    bool bitmapHeld_ = false;
    std::vector<NdbWriter::BlockRef> pages_;
    std::vector<uint8_t> fill_;
};

// A B-tree on a heap fed with records in ascending key order.
class BthStream {
public:
    BthStream(HeapBuilder& heap, uint8_t cbKey, uint8_t cbEnt);
    // A copy of `other` that places its items on `heap` (a copy of other's heap).
    BthStream(const BthStream& other, HeapBuilder& heap);
    uint32_t headerHid() const { return header_; }
    void add(const void* record);
    void finish();
    size_t count() const { return count_; }

private:
    void placeLeaf();
    HeapBuilder& heap_;
    uint8_t cbKey_, cbEnt_;
    uint32_t header_;
    std::vector<uint8_t> leaf_;
    std::vector<uint8_t> index_;  // {first key, hid} of each placed leaf item
    size_t count_ = 0;
};

// Writes a property context holding `props` (sorted by tag, one per id).
// Values over 3580 bytes become subnodes of the node: their entries are
// appended to `subnodes`, with ids of type 0x1F drawn from `nextSubIndex`.
uint64_t writePropertyContext(NdbWriter& ndb, const std::vector<PropValue>& props, std::vector<SubnodeEntry>& subnodes,
                              uint32_t& nextSubIndex);

struct ColumnDesc {
    uint32_t tag;
    uint16_t ib;
    uint8_t cb;
    uint8_t iBit;
};

struct TableLayout {
    std::vector<ColumnDesc> cols;  // in row order
    uint16_t rgib[4] = {};         // ends of the 8/4-, 2- and 1-byte groups, row size
    // The `base` layout with its columns and cell bits kept, and columns for
    // the tags it lacks added to the end of their width groups.
    static TableLayout extend(const TableLayout& base, std::vector<uint32_t> tags);
};

class TableBuilder {
public:
    TableBuilder(NdbWriter& ndb, TableLayout layout);
    ~TableBuilder();
    // Adds a row; row ids must ascend. `values` are sorted by tag; values of
    // tags without a column are ignored; empty variable values are left out.
    void addRow(uint32_t rowId, const std::vector<PropValue>& values);
    NodeRef finish();
    // Writes the table as it stands without ending it: the row blocks and
    // heap pages already written are shared, the open page, the heap's first
    // page, the index and the trees over them are written anew. Rows can
    // still be added and finish() called afterwards.
    NodeRef snapshot() const;
    uint32_t rows() const { return rows_; }

private:
    TableBuilder(const TableBuilder& other);
    void flushMatrixBlock(bool last);
    NdbWriter& ndb_;
    TableLayout layout_;
    size_t rowSize_;
    std::unique_ptr<HeapBuilder> heap_;
    std::unique_ptr<BthStream> index_;
    uint32_t tcinfo_ = 0;
    uint32_t rows_ = 0;
    uint32_t lastRowId_ = 0;
    std::vector<uint8_t> matrix_;  // rows not yet written
    bool matrixInBlocks_ = false;
    std::vector<NdbWriter::BlockRef> matrixBlocks_;
    std::vector<SubnodeEntry> subnodes_;
    uint32_t nextSub_ = 0x401;
};

}  // namespace store::pst
