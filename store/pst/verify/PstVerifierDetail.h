// Internals of the .pst verifier, shared by its two halves: PstVerifier.cpp checks the
// node-and-block layer (header, maps, pages, blocks, B-trees, reference counts) and
// PstVerifierLtp.cpp checks heaps, property contexts, tables and folder consistency on
// top of what the first half collected. Not part of the verifier's interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <unordered_set>
#include <vector>

#include "store/Endian.h"
#include "store/pst/PstFormat.h"
#include "store/pst/verify/PstVerifier.h"

namespace store::pst::verifydetail {

// What a block turned out to be once read.
enum class BlockKind : uint8_t { Unread, Bad, Data, XBlock, XXBlock, SLBlock, SIBlock };

uint32_t PstCrc(const uint8_t* data, size_t n);
uint16_t PstSignature(uint64_t ib, uint64_t bid);
// Undoes the permute encoding in place.
void UnpermuteBytes(uint8_t* data, size_t n);

std::string Hex(uint64_t v);

// One BBT leaf entry plus what the block pass learned about it.
struct BlockInfo {
    uint64_t bid = 0;
    uint64_t ib = 0;
    uint16_t cb = 0;
    uint16_t cRef = 0;
    uint32_t refs = 0;  // references found (NBT, SLENTRY, XBLOCK ...)
    BlockKind kind = BlockKind::Unread;
    bool trailerOk = false;  // trailer, CRC and bounds are all right
    uint64_t aux = 0;        // XBLOCK/XXBLOCK: lcbTotal; SLBLOCK/SIBLOCK: first NID
};

// One NBT leaf entry.
struct NodeInfo {
    uint32_t nid = 0;
    uint64_t bidData = 0;
    uint64_t bidSub = 0;
    uint32_t nidParent = 0;
    uint64_t where = 0;  // file offset of the NBTENTRY
};

// One subnode (SLENTRY) of a node.
struct SubnodeInfo {
    uint64_t bidData = 0;
    uint64_t bidSub = 0;
};
using SubnodeMap = std::map<uint32_t, SubnodeInfo>;

// Shared state of one verification run.
class Verifier {
public:
    Verifier(const std::string& path, std::vector<std::string>* problems, const VerifyOptions& opts);
    ~Verifier();
    Verifier(const Verifier&) = delete;
    Verifier& operator=(const Verifier&) = delete;

    bool run();

    // Records a problem; `structure` names what is wrong ("BBT page", "block 0x1C").
    void problem(uint64_t offset, const std::string& structure, const std::string& what);
    bool tooManyProblems() const { return problemCount_ >= opts_.maxProblems; }

    // ---- NDB services used by the LTP half ----
    const BlockInfo* findBlock(uint64_t bid) const;
    const NodeInfo* findNode(uint32_t nid) const;
    // Reads one block's data (decoded when it is a data block). False if unreadable.
    bool readBlockData(const BlockInfo& b, std::vector<uint8_t>& out, bool decode);
    // Reads the data tree rooted at `bid` as a list of decoded data blocks (heap pages).
    // `level` guards against trees that list themselves: data trees are at most XXBLOCK ->
    // XBLOCK -> data, subnode trees SIBLOCK -> SLBLOCK.
    bool readDataTree(uint64_t bid, std::vector<std::vector<uint8_t>>& pages, std::string& why, int level = 0);
    // Reads a subnode tree into `out` (keys are the low 32 bits of the NIDs).
    bool readSubnodes(uint64_t bidSub, SubnodeMap& out, std::string& why, int level = 0);
    // The bytes of an XBLOCK, XXBLOCK, SLBLOCK or SIBLOCK and its entry
    // count; fails when the entries (of `entrySize` bytes from offset 8) run
    // past the block.
    bool readEntries(const BlockInfo& b, size_t entrySize, std::vector<uint8_t>& raw, unsigned& count,
                     std::string& why);

    const std::vector<NodeInfo>& nodes() const { return nodes_; }
    // The shape seen so far; complete once run() has returned.
    const VerifyReport& report() const { return report_; }
    const VerifyOptions& options() const { return opts_; }
    bool canDecode() const { return cryptMethod_ == kCryptNone || cryptMethod_ == kCryptPermute; }

private:
    // NDB passes (PstVerifier.cpp).
    bool openFile();
    bool readAt(uint64_t off, void* buf, size_t n);
    bool checkHeader();
    void checkMapPages();
    void checkFMapContent();
    void checkDList();
    void walkBTree(bool isNbt, uint64_t bid, uint64_t ib, int expectLevel, uint64_t lowKey, uint64_t highKey,
                   bool hasHigh, int depth);
    bool checkPageTrailer(const uint8_t* page, uint64_t ib, uint8_t ptype, uint64_t expectBid, bool expectSig,
                          const char* name);
    void markLive(uint64_t ib, uint64_t bytes, const std::string& what);
    void checkBlocks();
    void addReference(uint64_t bid, uint64_t fromOffset, const std::string& from, int expect);
    void checkReferenceCounts();
    void checkAllocationTotals();
    void checkCounters();

    // LTP and messaging passes (PstVerifierLtp.cpp).
    void checkMessaging();

    std::string path_;
    std::vector<std::string>* problems_;
    VerifyOptions opts_;
    size_t problemCount_ = 0;
    int fd_ = -1;
    uint64_t fileSize_ = 0;

    // Header values.
    uint8_t header_[564] = {};
    uint8_t cryptMethod_ = 0;
    uint64_t ibFileEof_ = 0;
    uint64_t ibAMapLast_ = 0;
    uint64_t bidNextB_ = 0;
    uint64_t bidNextP_ = 0;
    uint8_t fAMapValid_ = 0;
    bool mapsAreHints_ = false;  // crash state with fAMapValid 0: the maps are not compared
    uint64_t sectionCount_ = 0;  // AMaps checked
    uint64_t mappedBytes_ = 0;   // bytes covered by those AMaps, from 0x4400

    std::vector<uint8_t> amap_;                  // 496 bytes per section, copied from the AMaps
    std::vector<uint8_t> live_;                  // same shape: slots holding live pages and blocks
    std::unordered_set<uint64_t> visitedPages_;  // B-tree page offsets seen, to stop on cycles
    std::unordered_set<uint64_t> pageBids_;      // B-tree page BIDs seen, each must be unique
    uint64_t maxPageBid_ = 0;

    std::vector<BlockInfo> blocks_;  // BBT order (ascending BID)
    std::vector<NodeInfo> nodes_;    // NBT order (ascending NID)
    VerifyReport report_;

    // Reference edges whose target type is checked after the block pass.
    struct Edge {
        uint32_t target;  // index in blocks_
        int expect;       // bit set of BlockKind values allowed
        uint64_t fromOffset;
        uint32_t from;  // index of the referring block, or UINT32_MAX for the NBT
    };
    std::vector<Edge> edges_;

    // Read-ahead window for the ascending block pass.
    std::vector<uint8_t> window_;
    uint64_t windowStart_ = 0;
    bool readSequential(uint64_t off, uint8_t* buf, size_t n);
};

constexpr int KindBit(BlockKind k) { return 1 << int(k); }

}  // namespace store::pst::verifydetail
