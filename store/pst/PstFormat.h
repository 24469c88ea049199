// Fixed layout of the Unicode .pst file (MS-PST): field offsets, sizes and the
// special values of the header and ROOT, pages and their trailers, blocks and
// their trailers, the B-tree pages, heap-on-node, BTH, property and table
// contexts, and node ids. Declarations of the format only, no code: the writer
// (PstNdb.cpp, PstLtp.cpp, PstWriter.cpp) and the independent verifier
// (verify/) both take their offsets from here, so neither spells a raw offset,
// while the verifier still shares none of the writer's logic.
//
// Offsets are in bytes from the start of the structure named in the constant;
// a constant named after a field keeps the field's MS-PST name so one search
// finds both. The 2-byte ANSI format is not written or read.
#pragma once

#include <cstddef>
#include <cstdint>

namespace store::pst {

// ---- HEADER, Unicode (MS-PST 2.2.2.6) ------------------------------------------------
inline constexpr size_t kHeaderBytes = 564;
inline constexpr char kHeaderMagic[4] = {'!', 'B', 'D', 'N'};  // dwMagic at 0
inline constexpr size_t kHdrDwCRCPartial = 4;
inline constexpr size_t kHdrWMagicClient = 8;
inline constexpr size_t kHdrWVer = 10;
inline constexpr size_t kHdrWVerClient = 12;
inline constexpr size_t kHdrBPlatformCreate = 14;
inline constexpr size_t kHdrBPlatformAccess = 15;
inline constexpr size_t kHdrBidUnused = 24;
inline constexpr size_t kHdrBidNextP = 32;
inline constexpr size_t kHdrDwUnique = 40;
inline constexpr size_t kHdrRgnid = 44;   // 32 NIDs, one per NID type: the next index to use
inline constexpr size_t kHdrRoot = 180;   // the ROOT structure, below
inline constexpr size_t kHdrRgbFM = 256;  // 128 bytes, deprecated: 0xFF
inline constexpr size_t kHdrRgbFP = 384;  // 128 bytes, deprecated: 0xFF
inline constexpr size_t kHdrBSentinel = 512;
inline constexpr size_t kHdrBCryptMethod = 513;
inline constexpr size_t kHdrBidNextB = 516;
inline constexpr size_t kHdrDwCRCFull = 524;
inline constexpr size_t kHdrRgbFMBytes = 128;
inline constexpr size_t kHdrRgnidCount = 32;
// dwCRCPartial covers the 471 bytes from wMagicClient, dwCRCFull the 516.
inline constexpr size_t kHdrCrcStart = 8;
inline constexpr size_t kHdrCrcPartialBytes = 471;
inline constexpr size_t kHdrCrcFullBytes = 516;

inline constexpr uint16_t kMagicClient = 0x4D53;  // "SM"
inline constexpr uint16_t kVerUnicode = 23;       // wVer of a Unicode store
inline constexpr uint16_t kVerUnicodeWip = 37;    // wVer a WIP-aware Outlook writes; accepted, never written
inline constexpr uint16_t kVerClient = 19;
inline constexpr uint8_t kPlatform = 0x01;  // bPlatformCreate / bPlatformAccess
inline constexpr uint8_t kSentinel = 0x80;
// bCryptMethod (MS-PST 2.2.2.6).
inline constexpr uint8_t kCryptNone = 0x00;
inline constexpr uint8_t kCryptPermute = 0x01;
inline constexpr uint8_t kCryptCyclic = 0x02;

// ---- ROOT (MS-PST 2.2.2.5), at kHdrRoot in the header --------------------------------
inline constexpr size_t kRootIbFileEof = 4;
inline constexpr size_t kRootIbAMapLast = 12;
inline constexpr size_t kRootCbAMapFree = 20;
inline constexpr size_t kRootCbPMapFree = 28;
inline constexpr size_t kRootBrefNbt = 36;  // BREF: bid, then ib at +8
inline constexpr size_t kRootBrefBbt = 52;
inline constexpr size_t kRootFAMapValid = 68;
inline constexpr uint8_t kInvalidAMap = 0x00;  // fAMapValid: maps are hints, rebuild them
inline constexpr uint8_t kValidAMap2 = 0x02;   // fAMapValid: maps are exact

// ---- Pages (MS-PST 2.2.2.7) ----------------------------------------------------------
inline constexpr uint64_t kPageBytes = 512;
inline constexpr uint64_t kPageDataBytes = 496;
// PAGETRAILER (MS-PST 2.2.2.7.1), at kPageDataBytes in every page.
inline constexpr size_t kPageTrailerOffset = 496;
inline constexpr size_t kPtPtype = 496;
inline constexpr size_t kPtPtypeRepeat = 497;
inline constexpr size_t kPtWSig = 498;
inline constexpr size_t kPtDwCRC = 500;
inline constexpr size_t kPtBid = 504;
// ptype values (MS-PST 2.2.2.7.1).
inline constexpr uint8_t kPtypeBbt = 0x80;
inline constexpr uint8_t kPtypeNbt = 0x81;
inline constexpr uint8_t kPtypeFMap = 0x82;
inline constexpr uint8_t kPtypePMap = 0x83;
inline constexpr uint8_t kPtypeAMap = 0x84;
inline constexpr uint8_t kPtypeFPMap = 0x85;
inline constexpr uint8_t kPtypeDList = 0x86;

// Allocation maps (MS-PST 2.2.2.7.2 to 2.2.2.7.6). Each AMap page maps the 496 * 8
// slots of 64 bytes that follow it (its own page included): one section.
inline constexpr uint64_t kFirstAmapOffset = 0x4400;
inline constexpr uint64_t kDListOffset = 0x4200;                            // MS-PST 2.2.2.7.4
inline constexpr uint64_t kSlotBytes = 64;                                  // one AMap bit
inline constexpr uint64_t kSectionBytes = kPageDataBytes * 8 * kSlotBytes;  // 253 952
inline constexpr uint64_t kPMapEverySections = 8;                           // MS-PST 2.2.2.7.3
inline constexpr uint64_t kFMapFirstSection = 128;                          // MS-PST 2.2.2.7.5
inline constexpr uint64_t kFMapEverySections = 496;
inline constexpr uint64_t kFPMapFirstSection = 8192;  // MS-PST 2.2.2.7.6
inline constexpr uint64_t kFPMapEverySections = 496 * 8 * 8;

// BTPAGE (MS-PST 2.2.2.7.7.1): entries from 0, then the counts.
inline constexpr size_t kBtCEnt = 488;
inline constexpr size_t kBtCEntMax = 489;
inline constexpr size_t kBtCbEnt = 490;
inline constexpr size_t kBtCLevel = 491;
inline constexpr size_t kBtEntriesBytes = 488;
// BTENTRY (MS-PST 2.2.2.7.7.2): btkey, BREF {bid, ib}.
inline constexpr uint8_t kBtEntryBytes = 24;
inline constexpr size_t kBtEntryBid = 8;
inline constexpr size_t kBtEntryIb = 16;
// BBTENTRY (MS-PST 2.2.2.7.7.3): BREF {bid, ib}, cb, cRef.
inline constexpr uint8_t kBbtEntryBytes = 24;
inline constexpr size_t kBbtEntryIb = 8;
inline constexpr size_t kBbtEntryCb = 16;
inline constexpr size_t kBbtEntryCRef = 18;
// NBTENTRY (MS-PST 2.2.2.7.7.4): nid (8 bytes), bidData, bidSub, nidParent.
inline constexpr uint8_t kNbtEntryBytes = 32;
inline constexpr size_t kNbtEntryBidData = 8;
inline constexpr size_t kNbtEntryBidSub = 16;
inline constexpr size_t kNbtEntryNidParent = 24;
// Entries per page: 488 bytes of entries.
inline constexpr unsigned kNbtLeafMax = kBtEntriesBytes / kNbtEntryBytes;  // 15
inline constexpr unsigned kBbtLeafMax = kBtEntriesBytes / kBbtEntryBytes;  // 20
inline constexpr unsigned kBtIndexMax = kBtEntriesBytes / kBtEntryBytes;   // 20

// ---- Blocks (MS-PST 2.2.2.8) ---------------------------------------------------------
inline constexpr size_t kMaxBlockBytes = 8192;  // data, padding and trailer
inline constexpr size_t kMaxBlockData = 8176;
inline constexpr size_t kBlockAlign = 64;
// BLOCKTRAILER (MS-PST 2.2.2.8.1).
inline constexpr size_t kBlockTrailerBytes = 16;
inline constexpr size_t kBtrCb = 0;
inline constexpr size_t kBtrWSig = 2;
inline constexpr size_t kBtrDwCRC = 4;
inline constexpr size_t kBtrBid = 8;
// BID (MS-PST 2.2.2.2): the low bit is reserved, the next marks internal blocks, and
// ids grow by 4.
inline constexpr uint64_t kBidInternal = 0x2;
inline constexpr uint64_t kBidStep = 4;
// XBLOCK / XXBLOCK (MS-PST 2.2.2.8.3.2.1, 2.2.2.8.3.2.2): btype, cLevel, cEnt, lcbTotal,
// then the BIDs from byte 8.
inline constexpr uint8_t kBtypeXBlock = 0x01;
inline constexpr uint8_t kBtypeSubnode = 0x02;  // SLBLOCK (cLevel 0) and SIBLOCK (cLevel 1)
inline constexpr size_t kXbBtype = 0;
inline constexpr size_t kXbCLevel = 1;
inline constexpr size_t kXbCEnt = 2;
inline constexpr size_t kXbLcbTotal = 4;
inline constexpr size_t kXbRgbid = 8;
inline constexpr size_t kXBlockMax = (kMaxBlockData - kXbRgbid) / 8;  // 1021 BIDs
// SLBLOCK / SIBLOCK (MS-PST 2.2.2.8.3.3.1, 2.2.2.8.3.3.2): entries from byte 8.
// SLENTRY {nid (8 bytes), bidData, bidSub}, SIENTRY {nid (8 bytes), bid}.
inline constexpr size_t kSlEntryBytes = 24;
inline constexpr size_t kSiEntryBytes = 16;
inline constexpr size_t kSlMax = (kMaxBlockData - kXbRgbid) / kSlEntryBytes;  // 340
inline constexpr size_t kSiMax = (kMaxBlockData - kXbRgbid) / kSiEntryBytes;  // 510

// ---- Node ids (MS-PST 2.2.2.1, 2.4.1) ------------------------------------------------
// A NID is a 5-bit type and a 27-bit index.
constexpr uint32_t makeNid(uint32_t type, uint32_t index) { return (index << 5) | type; }
inline constexpr uint32_t kNidTypeMask = 0x1F;
inline constexpr uint32_t kNidTypeHid = 0x00;
inline constexpr uint32_t kNidTypeInternal = 0x01;
inline constexpr uint32_t kNidTypeNormalFolder = 0x02;
inline constexpr uint32_t kNidTypeSearchFolder = 0x03;
inline constexpr uint32_t kNidTypeNormalMessage = 0x04;
inline constexpr uint32_t kNidTypeAttachment = 0x05;
inline constexpr uint32_t kNidTypeSearchUpdateQueue = 0x06;
inline constexpr uint32_t kNidTypeSearchCriteriaObject = 0x07;
inline constexpr uint32_t kNidTypeAssocMessage = 0x08;
inline constexpr uint32_t kNidTypeContentsTableIndex = 0x0A;
inline constexpr uint32_t kNidTypeReceiveFolderTable = 0x0B;
inline constexpr uint32_t kNidTypeOutgoingQueueTable = 0x0C;
inline constexpr uint32_t kNidTypeHierarchyTable = 0x0D;
inline constexpr uint32_t kNidTypeContentsTable = 0x0E;
inline constexpr uint32_t kNidTypeAssocContentsTable = 0x0F;
inline constexpr uint32_t kNidTypeSearchContentsTable = 0x10;
inline constexpr uint32_t kNidTypeAttachmentTable = 0x11;
inline constexpr uint32_t kNidTypeRecipientTable = 0x12;
inline constexpr uint32_t kNidTypeSearchTableIndex = 0x13;
inline constexpr uint32_t kNidTypeLtp = 0x1F;
// Special node ids (MS-PST 2.4.1) and the folder and template nodes every store has
// (MS-PST 2.7.1).
inline constexpr uint32_t kNidMessageStore = 0x21;
inline constexpr uint32_t kNidNameToIdMap = 0x61;
inline constexpr uint32_t kNidRootFolder = 0x122;
inline constexpr uint32_t kNidSearchManagementQueue = 0x1E1;
inline constexpr uint32_t kNidSearchActivityList = 0x201;
inline constexpr uint32_t kNidSearchDomainObject = 0x261;
inline constexpr uint32_t kNidHierarchyTemplate = 0x60D;
inline constexpr uint32_t kNidContentsTemplate = 0x60E;
inline constexpr uint32_t kNidAssocContentsTemplate = 0x60F;
inline constexpr uint32_t kNidSearchContentsTemplate = 0x610;
inline constexpr uint32_t kNidAttachmentTable = 0x671;
inline constexpr uint32_t kNidRecipientTable = 0x692;

// ---- Heap-on-node (MS-PST 2.3.1) -----------------------------------------------------
// HID (2.3.1.1): type 0 in bits 0-4, the item index (from 1) in bits 5-15, the heap page
// in bits 16-31.
inline constexpr unsigned kHidIndexShift = 5;
inline constexpr uint32_t kHidIndexMask = 0x7FF;
inline constexpr unsigned kHidPageShift = 16;
inline constexpr size_t kMaxHeapItem = 3580;    // largest item (2.3.1.1)
inline constexpr size_t kMaxHeapAllocs = 2047;  // items on one page
// HNHDR (2.3.1.2), on page 0: ibHnpm, bSig, bClientSig, hidUserRoot, rgbFillLevel.
inline constexpr size_t kHnhdrBytes = 12;
inline constexpr size_t kHnIbHnpm = 0;
inline constexpr size_t kHnBSig = 2;
inline constexpr size_t kHnBClientSig = 3;
inline constexpr size_t kHnHidUserRoot = 4;
inline constexpr size_t kHnRgbFillLevel = 8;
inline constexpr uint8_t kHnSig = 0xEC;
// HNPAGEHDR (2.3.1.3) on other pages, HNBITMAPHDR (2.3.1.4) on pages 8, 136, 264...
inline constexpr size_t kHnPageHdrBytes = 2;
inline constexpr size_t kHnBitmapHdrBytes = 66;
inline constexpr size_t kHnBitmapRgbFillLevel = 2;  // 64 bytes: fill levels of 128 pages
inline constexpr uint32_t kHnBitmapFirstPage = 8;
inline constexpr uint32_t kHnBitmapEveryPages = 128;
// HNPAGEMAP (2.3.1.5): cAlloc, cFree, then cAlloc + 1 offsets.
inline constexpr size_t kHnpmCAlloc = 0;
inline constexpr size_t kHnpmCFree = 2;
inline constexpr size_t kHnpmRgibAlloc = 4;
// bClientSig (2.3.1.2).
inline constexpr uint8_t kClientSigTC = 0x7C;
inline constexpr uint8_t kClientSigBTH = 0xB5;
inline constexpr uint8_t kClientSigPC = 0xBC;

// ---- BTH (MS-PST 2.3.2) --------------------------------------------------------------
// BTHHEADER (2.3.2.1): bType 0xB5, cbKey, cbEnt, bIdxLevels, hidRoot.
inline constexpr size_t kBthHeaderBytes = 8;
inline constexpr size_t kBthBType = 0;
inline constexpr size_t kBthCbKey = 1;
inline constexpr size_t kBthCbEnt = 2;
inline constexpr size_t kBthBIdxLevels = 3;
inline constexpr size_t kBthHidRoot = 4;

// ---- Property context (MS-PST 2.3.3) -------------------------------------------------
// A BTH with 2-byte keys (the property id) and 6-byte records: wPropType, dwValueHnid.
inline constexpr uint8_t kPcCbKey = 2;
inline constexpr uint8_t kPcCbEnt = 6;

// ---- Table context (MS-PST 2.3.4) ----------------------------------------------------
// TCINFO (2.3.4.1): bType, cCols, rgib[4], hidRowIndex, hnidRows, hidIndex, then the
// column descriptions.
inline constexpr size_t kTcInfoBytes = 22;
inline constexpr size_t kTcBType = 0;
inline constexpr size_t kTcCCols = 1;
inline constexpr size_t kTcRgib = 2;
inline constexpr size_t kTcHidRowIndex = 10;
inline constexpr size_t kTcHnidRows = 14;
inline constexpr size_t kTcHidIndex = 18;
inline constexpr size_t kTcRgTColDesc = 22;
// rgib: where the 4-byte, 2-byte and 1-byte cells end and the cell existence bitmap ends.
inline constexpr int kTcI4b = 0, kTcI2b = 1, kTcI1b = 2, kTcIBm = 3;
// TCOLDESC (2.3.4.2): tag, ibData, cbData, iBit.
inline constexpr size_t kTColDescBytes = 8;
inline constexpr size_t kTcdTag = 0;
inline constexpr size_t kTcdIbData = 4;
inline constexpr size_t kTcdCbData = 6;
inline constexpr size_t kTcdIBit = 7;
// The row index is a BTH of TCROWID (2.3.4.3): 4-byte row id, 4-byte row number.
inline constexpr uint8_t kTcRowIdCbKey = 4;
inline constexpr uint8_t kTcRowIdCbEnt = 4;

}  // namespace store::pst
