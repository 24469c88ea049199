// The node database layer of the .pst writer: the file with its header and
// allocation maps, blocks with trailers, data trees, subnode trees and the
// two B-trees (nodes and blocks).
//
// The writer only appends. Space is handed out from one cursor that walks
// through the file's 248 KB data sections; the section being filled is kept
// in memory and written out when the cursor leaves it, together with its
// allocation map. Every block gets the next block id, so block B-tree leaf
// entries come out already sorted and leaf pages are written as soon as they
// fill; only the leaf page triples stay in memory.
//
// The file is kept whole the way a database keeps its pages: commit() writes
// everything a complete store needs for what was written so far (the rest of
// both B-trees, the current section and its map), syncs, and only then writes
// the header that points at that state, and syncs again. Nothing written
// later goes to space the committed state uses, so a crash at any moment
// leaves the last committed state behind. What a checkpoint writes beyond the
// lasting data (its tables, folders, tree tops) is superseded by the next
// commit: it is written in transient mode, kept out of the lasting block tree
// and marked free in the maps once a later state is committed. Only the last
// commit, made by close, says the maps are exact; a checkpoint's header says
// they are not (fAMapValid 0), because they are rewritten in place as the
// store grows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "store/Endian.h"
#include "store/pst/PstFormat.h"

namespace store::pst {

// CRC-32 as the file format uses it: reflected IEEE polynomial, initial value
// 0 (or the running value), no final inversion.
uint32_t pstCrc(const void* data, size_t n, uint32_t crc = 0);

// One entry of a node's subnode tree.
struct SubnodeEntry {
    uint32_t nid = 0;
    uint64_t bidData = 0;
    uint64_t bidSub = 0;
};

class NdbWriter {
public:
    NdbWriter();
    ~NdbWriter();
    NdbWriter(const NdbWriter&) = delete;
    NdbWriter& operator=(const NdbWriter&) = delete;

    // Creates the file (never replacing an existing one).
    bool create(const std::string& path, std::string* error);
    bool isOpen() const { return fd_ >= 0; }
    // The first I/O error seen, if any; once set, nothing more is written.
    bool failed() const { return !ioError_.empty(); }
    const std::string& ioError() const { return ioError_; }
    // Records a failure of a layer above; nothing more is written after it.
    void fail(const std::string& why) {
        if (ioError_.empty()) ioError_ = why;
    }

    // Writes one block (at most 8176 bytes) and returns its id. Internal
    // blocks (data trees, subnode trees) carry the internal bit in their id.
    uint64_t writeBlock(const void* data, size_t cb, bool internal = false);
    // Writes a byte stream as one data block or a data tree; returns the
    // root id (0 for an empty stream). Fails (returns 0, sets error) at 4 GiB.
    uint64_t writeStream(const void* data, size_t n);
    // Builds the data tree over already written data blocks, in stream order.
    struct BlockRef {
        uint64_t bid;
        uint32_t size;
    };
    uint64_t writeTree(const std::vector<BlockRef>& blocks);
    // Writes a subnode tree (sorted here); returns 0 when there are no entries.
    uint64_t writeSubnodeTree(std::vector<SubnodeEntry> entries);

    // Node B-tree entries. Message nodes arrive in increasing node id order
    // and all sort after every other node; their leaf pages are written as
    // they fill. Other nodes are kept until close.
    void addMessageNode(uint32_t nid, uint64_t bidData, uint64_t bidSub, uint32_t parent);
    void addNode(uint32_t nid, uint64_t bidData, uint64_t bidSub, uint32_t parent);

    // Header values the layer above owns.
    uint32_t rgnid[32] = {};

    // Starts writing a state to commit: the nodes given to addNode() from here
    // on replace those of the last commit. With `transient`, the blocks and
    // pages written until commit() serve only this state (a checkpoint);
    // otherwise they last (the final state).
    void beginState(bool transient);
    // Commits the state begun by beginState(): B-tree tops, the current
    // section with its map, sync, header, sync. A final (not transient) state
    // also frees the space of superseded checkpoints and writes exact maps.
    bool commit(std::string* error);
    // Closes the file descriptor without finishing (after an error).
    void abandon();

    uint64_t fileSize() const { return sectionStart(secIndex_) + kSectionBytes; }
    // Bytes handed out so far (the cursor's file offset).
    uint64_t position() const { return sectionStart(secIndex_) + secCursor_; }

private:
    struct Triple {
        uint64_t key;
        uint64_t bid;
        uint64_t ib;
    };
    struct NbtEntry {
        uint64_t nid;
        uint64_t bidData;
        uint64_t bidSub;
        uint32_t parent;
    };

    static uint64_t sectionStart(uint64_t k) { return kFirstAmapOffset + k * kSectionBytes; }
    static unsigned reservedPages(uint64_t k);
    uint64_t alloc(size_t size, size_t align);
    void markUsed(size_t off, size_t len);
    void startSection();
    void sealSection();
    void writeMapPages();
    void writeLeafPage(const uint8_t* entries, unsigned count, std::vector<Triple>& out);
    void release(const std::vector<std::pair<uint64_t, uint64_t>>& ranges);
    void rewriteFreedMaps();
    void writeHeader(const Triple& nbtRoot, const Triple& bbtRoot, uint64_t cbAMapFree, bool mapsExact);
    bool sync();
    void pwriteAll(const void* data, size_t n, uint64_t off);
    uint64_t writePage(uint8_t* page, uint8_t ptype, uint64_t bid);
    void flushBbtLeaf();
    void flushNbtLeaf(std::vector<NbtEntry>& pending, std::vector<Triple>& out);
    Triple buildUpper(std::vector<Triple> level, uint8_t ptype);

    int fd_ = -1;
    std::string path_;
    std::string ioError_;
    uint64_t bidNextB_ = 4;
    uint64_t bidNextP_ = 1;

    uint64_t secIndex_ = 0;
    std::vector<uint8_t> sec_;  // the section being filled, written when sealed
    size_t secCursor_ = 0;
    uint64_t cbAMapFree_ = 0;
    size_t secFlushed_ = 0;          // bytes of the current section already on disk
    std::vector<uint8_t> freeRuns_;  // longest free run per sealed section (for FMaps)

    // Transient writes: their block tree entries, and the file ranges
    // {offset, length} of the state being built and of the committed one.
    bool transient_ = false;
    std::vector<uint8_t> transientBbt_;
    std::vector<std::pair<uint64_t, uint64_t>> building_, committed_;
    // Maps of sealed sections that hold transient ranges, as they will be
    // once those ranges are freed; written again by the final commit.
    struct SealedMap {
        std::vector<uint8_t> bits;
        bool changed = false;
    };
    std::map<uint64_t, SealedMap> sealedMaps_;

    std::vector<uint8_t> bbtPending_;  // up to 20 BBT leaf entries
    unsigned bbtPendingCount_ = 0;
    std::vector<Triple> bbtLeaves_;
    std::vector<NbtEntry> msgPending_;
    std::vector<Triple> msgLeaves_;
    std::vector<NbtEntry> otherNodes_;
    uint32_t lastMsgNid_ = 0;
};

}  // namespace store::pst
