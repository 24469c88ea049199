// Independent checker for Unicode .pst files: reads a finished store and reports every
// structural fault that Outlook would notice but lenient readers tolerate (header and
// page CRCs, block trailers, allocation maps, B-tree order, reference counts, heaps,
// tables and folder counts). It shares no code with the .pst writer, so the writer's
// mistakes cannot hide behind a shared misunderstanding: it is built as a library of
// its own (vellary_pstverify) that does not link the writer's, and it includes only
// PstFormat.h and Endian.h, which declare the file format and hold no writer logic.
// Needs only POSIX file I/O.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace store::pst {

struct VerifyOptions {
    // For stores we wrote ourselves. The allocation maps must mark nothing but live pages
    // and blocks (plus the map pages themselves), and the file must follow the rules our
    // writer always follows: exact deprecated map fields (rgbFM/rgbFP 0xFF, cbPMapFree 0,
    // PMaps 0xFF, FMap free runs), fAMapValid 2, DList BID = bidNextP, equal rgnid slots
    // for folders and their tables, no unreferenced blocks, no heap item above 3580
    // bytes, a recipient table on every message, mfHasAttach on messages with
    // attachments, and contents rows whose message size equals the message's.
    // Outlook-written stores keep free or orphaned space and skip some of these, so this
    // stays off for them.
    bool strictAllocation = false;
    // Stop collecting after this many problems (a badly broken file would otherwise
    // produce one line per block).
    size_t maxProblems = 200;
    // Accept the state a crash leaves of a store we were writing: the last
    // committed checkpoint. Then (1) the file may be longer than ibFileEof
    // (sections begun after the checkpoint); everything past it is ignored,
    // and (2) fAMapValid may be 0 (INVALID_AMAP), in which case the maps are
    // hints a reader rebuilds: live pages and blocks need not be marked in
    // them, and cbAMapFree, FMap content and unused marked space are not
    // compared. (3) The DList may name an older bidNextP. Everything else,
    // strict rules included, still applies; a header with fAMapValid 2 and a
    // file of exactly ibFileEof bytes is checked as a finished store.
    bool crashState = false;
};

// What the verifier saw of a store's shape, for callers that assert on it.
struct VerifyReport {
    int nbtLevels = 0;    // pages from the node B-tree's root to a leaf
    int bbtLevels = 0;    // the same for the block B-tree
    size_t nodes = 0;     // NBT entries
    size_t blocks = 0;    // BBT entries
    size_t xxblocks = 0;  // two-level data trees
    size_t siblocks = 0;  // two-level subnode trees
    size_t folders = 0;   // normal folders, the root and the fixed ones included
    size_t messages = 0;  // normal messages (not associated ones)
};

// Checks the store at `path`. Returns true when the file passes. When `problems` is not
// null it receives one readable line per problem: the file offset, the structure and
// what is wrong ("0x00004400 AMap page: CRC stored 0x..., computed 0x..."). Heaps,
// tables and folder contents are decoded for stores with no encoding or the permute
// encoding; in a cyclic-encoded store only the node-and-block layer and the node tree
// are checked.
// When `report` is not null it receives the shape seen, as far as the walk got.
bool VerifyPst(const std::string& path, std::vector<std::string>* problems, const VerifyOptions& opts = {},
               VerifyReport* report = nullptr);

}  // namespace store::pst
