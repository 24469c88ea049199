// The compound-file writer (MS-CFB version 3); layout and invariants in
// CompoundFile.h.
#include "store/msg/CompoundFile.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/OutputFiles.h"
#include "common/Platform.h"
#include "common/registry.h"
#include "store/Endian.h"

namespace store::msg::detail {
namespace {

// Geometry and special values (MS-CFB 2.1, 2.2, 2.6).
constexpr uint32_t kSectorBytes = 512;  // version 3
constexpr uint32_t kMiniSectorBytes = 64;
constexpr uint32_t kMiniStreamCutoffBytes = 4096;  // streams this long or longer use regular sectors
constexpr uint32_t kDirEntryBytes = 128;
constexpr uint32_t kIdsPerSector = kSectorBytes / 4;        // FAT / mini FAT entries per sector
constexpr uint32_t kHeaderDifatSlots = 109;                 // FAT sector numbers held by the header
constexpr uint32_t kIdsPerDifatSector = kIdsPerSector - 1;  // the last slot chains to the next DIFAT sector
constexpr uint64_t kMaxStreamBytes = 0x7FFFFFFF;            // version 3 stream size limit
constexpr uint32_t kDifSect = 0xFFFFFFFC;
constexpr uint32_t kFatSect = 0xFFFFFFFD;
constexpr uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr uint32_t kFreeSect = 0xFFFFFFFF;
constexpr uint32_t kNoStream = 0xFFFFFFFF;
constexpr uint8_t kTypeUnused = 0, kTypeStorage = 1, kTypeStream = 2, kTypeRoot = 5;
constexpr uint8_t kRed = 0, kBlack = 1;
constexpr size_t kMaxNameChars = 31;

// The directory entries and the header are built in char buffers.
uint8_t* bytesAt(char* p) { return reinterpret_cast<uint8_t*>(p); }

uint32_t sectorsFor(uint64_t bytes, uint32_t unit) { return uint32_t((bytes + unit - 1) / unit); }

// A run of consecutive sectors (or mini sectors) forming one chain.
struct Run {
    uint32_t start;
    uint32_t count;
};

void chainRuns(std::vector<uint32_t>& table, const std::vector<Run>& runs) {
    for (const Run& r : runs)
        for (uint32_t i = 0; i < r.count; ++i) table[r.start + i] = (i + 1 < r.count) ? r.start + i + 1 : kEndOfChain;
}

struct DirEntry {
    std::string name;  // ASCII
    uint8_t type = kTypeUnused;
    uint8_t color = kBlack;
    uint32_t left = kNoStream, right = kNoStream, child = kNoStream;
    uint32_t startSector = 0;
    uint64_t sizeBytes = 0;
    uint64_t filetime = 0;           // storages only
    std::vector<uint32_t> children;  // storages: entry indexes
};

// Compound-file order of sibling names (MS-CFB 2.6.4): shorter first, then by
// upper-cased code units. Names are ASCII here, so ASCII upper-casing is exact.
bool nameLess(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return a.size() < b.size();
    // ASCII upper-casing inline: std::toupper's call per character was 3 %
    // of the .msg form, whose stream names share their first 12 characters.
    auto upper = [](char c) { return static_cast<unsigned char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c); };
    for (size_t i = 0; i < a.size(); ++i) {
        const unsigned char x = upper(a[i]), y = upper(b[i]);
        if (x != y) return x < y;
    }
    return false;
}

bool validName(const std::string& name) {
    if (name.empty() || name.size() > kMaxNameChars) return false;
    for (unsigned char c : name)
        if (c < 0x20 || c > 0x7E || c == '/' || c == '\\' || c == ':' || c == '!') return false;
    return true;
}

}  // namespace

class CompoundFileWriter::Storage {
public:
    explicit Storage(uint32_t entry) : entry(entry) {}
    uint32_t entry;  // index in the directory
};

struct CompoundFileWriter::Impl {
    int fd = -1;
    std::string path, tempPath;
    uint8_t rootClsid[16] = {};
    std::vector<DirEntry> entries;  // entries[0] is the root
    std::vector<std::unique_ptr<Storage>> storages;
    uint32_t nextSector = 0;  // regular sectors used so far
    std::vector<Run> runs;    // every regular-sector chain
    std::string miniStream;   // mini streams, each padded to 64 bytes
    std::vector<Run> miniRuns;
    bool finished = false;

    bool writeAt(uint64_t offset, const char* data, size_t size) {
        while (size > 0) {
            ssize_t n = WriteAt(fd, data, size, offset);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            data += n;
            size -= size_t(n);
            offset += uint64_t(n);
        }
        return true;
    }

    // Writes `data` into new consecutive sectors, the last one padded with zeros.
    bool appendSectors(std::string_view data, uint32_t& startSector) {
        startSector = nextSector;
        uint32_t count = sectorsFor(data.size(), kSectorBytes);
        uint64_t offset = uint64_t(startSector + 1) * kSectorBytes;
        if (!writeAt(offset, data.data(), data.size())) return false;
        if (size_t pad = size_t(count) * kSectorBytes - data.size()) {
            static const char zeros[kSectorBytes] = {};
            if (!writeAt(offset + data.size(), zeros, pad)) return false;
        }
        runs.push_back({startSector, count});
        nextSector += count;
        return true;
    }

    // Children of every storage as balanced trees (invariant 2).
    uint32_t buildTree(const std::vector<uint32_t>& sorted, size_t lo, size_t hi, int depth, int fullLevels) {
        if (lo >= hi) return kNoStream;
        size_t mid = lo + (hi - lo) / 2;
        uint32_t node = sorted[mid];
        uint32_t left = buildTree(sorted, lo, mid, depth + 1, fullLevels);
        uint32_t right = buildTree(sorted, mid + 1, hi, depth + 1, fullLevels);
        entries[node].left = left;
        entries[node].right = right;
        entries[node].color = depth < fullLevels ? kBlack : kRed;
        return node;
    }

    bool linkChildren(std::string& error) {
        for (DirEntry& storage : entries) {
            if (storage.children.empty()) continue;
            std::vector<uint32_t> sorted = storage.children;
            std::sort(sorted.begin(), sorted.end(),
                      [&](uint32_t a, uint32_t b) { return nameLess(entries[a].name, entries[b].name); });
            for (size_t i = 1; i < sorted.size(); ++i)
                if (!nameLess(entries[sorted[i - 1]].name, entries[sorted[i]].name)) {
                    error = "duplicate name " + entries[sorted[i]].name + " in storage " + storage.name;
                    return false;
                }
            int fullLevels = 0;  // floor(log2(n + 1)): the levels a midpoint tree fills completely
            while ((size_t(2) << fullLevels) <= sorted.size() + 1) ++fullLevels;
            storage.child = buildTree(sorted, 0, sorted.size(), 0, fullLevels);
        }
        return true;
    }

    std::string serializeDirectory() const {
        size_t slots = (entries.size() + 3) / 4 * 4;
        std::string out(slots * kDirEntryBytes, '\0');
        for (size_t i = 0; i < slots; ++i) {
            char* e = out.data() + i * kDirEntryBytes;
            if (i >= entries.size()) {  // unused slot: zero, with empty pointers
                put32(bytesAt(e + 0x44), kNoStream);
                put32(bytesAt(e + 0x48), kNoStream);
                put32(bytesAt(e + 0x4C), kNoStream);
                continue;
            }
            const DirEntry& d = entries[i];
            for (size_t k = 0; k < d.name.size(); ++k) e[2 * k] = d.name[k];  // UTF-16LE, NUL-terminated
            put16(bytesAt(e + 0x40), (d.name.size() + 1) * 2);
            e[0x42] = char(d.type);
            e[0x43] = char(d.color);
            put32(bytesAt(e + 0x44), d.left);
            put32(bytesAt(e + 0x48), d.right);
            put32(bytesAt(e + 0x4C), d.child);
            if (d.type == kTypeRoot) std::memcpy(e + 0x50, rootClsid, 16);
            if (d.type == kTypeStorage) {
                put64(bytesAt(e + 0x64), d.filetime);  // creation time
                put64(bytesAt(e + 0x6C), d.filetime);  // modification time
            }
            put32(bytesAt(e + 0x74), d.startSector);
            put64(bytesAt(e + 0x78), d.sizeBytes);
        }
        return out;
    }
};

CompoundFileWriter::CompoundFileWriter() : impl_(std::make_unique<Impl>()) {}

CompoundFileWriter::~CompoundFileWriter() { abandon(); }

bool CompoundFileWriter::fail(std::string message) {
    if (error_.empty()) error_ = std::move(message);
    abandon();
    return false;
}

void CompoundFileWriter::abandon() {
    if (!impl_ || impl_->finished || impl_->fd < 0) return;
    CloseFile(impl_->fd);
    impl_->fd = -1;
    RemoveFile(impl_->tempPath);
}

bool CompoundFileWriter::create(const std::string& path, const uint8_t rootClsid[16]) {
    if (failed()) return false;
    if (impl_->fd >= 0 || impl_->finished) return fail("compound file already created");
    impl_->path = path;
    std::memcpy(impl_->rootClsid, rootClsid, 16);

    // The temporary file sits beside the target so that rename() replaces it in one step.
    const std::string dir = FolderOfPath(path), base = FileNameOfPath(path);
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100 && impl_->fd < 0; ++attempt) {
        impl_->tempPath = dir + "." + base + ".tmp-" + std::to_string(ProcessId()) + "-" + std::to_string(++counter);
        impl_->fd = OpenFile(impl_->tempPath, kOpenReadWrite | kOpenCreate | kOpenExclusive, 0666);
        if (impl_->fd < 0 && errno != EEXIST) break;
    }
    if (impl_->fd < 0) return fail(std::string("cannot create the file: ") + std::strerror(errno));

    DirEntry root;
    root.name = "Root Entry";
    root.type = kTypeRoot;
    impl_->entries.push_back(std::move(root));
    impl_->storages.push_back(std::make_unique<Storage>(0));
    return true;
}

CompoundFileWriter::Storage* CompoundFileWriter::root() {
    return impl_->storages.empty() ? nullptr : impl_->storages.front().get();
}

CompoundFileWriter::Storage* CompoundFileWriter::beginStorage(Storage* parent, const std::string& name,
                                                              uint64_t filetime) {
    if (failed() || !parent) return nullptr;
    if (!validName(name)) {
        fail("invalid storage name " + name);
        return nullptr;
    }
    DirEntry e;
    e.name = name;
    e.type = kTypeStorage;
    e.filetime = filetime;
    uint32_t index = uint32_t(impl_->entries.size());
    impl_->entries.push_back(std::move(e));
    impl_->entries[parent->entry].children.push_back(index);
    impl_->storages.push_back(std::make_unique<Storage>(index));
    return impl_->storages.back().get();
}

bool CompoundFileWriter::endStorage(Storage* storage) { return !failed() && storage; }

bool CompoundFileWriter::writeStream(Storage* parent, const std::string& name, std::string_view data) {
    if (failed() || !parent) return false;
    if (!validName(name)) return fail("invalid stream name " + name);
    if (data.size() > kMaxStreamBytes) return fail("stream " + name + " too large for a compound file");
    DirEntry e;
    e.name = name;
    e.type = kTypeStream;
    e.sizeBytes = data.size();
    if (data.empty()) {
        e.startSector = kEndOfChain;
    } else if (data.size() >= kMiniStreamCutoffBytes) {
        if (!impl_->appendSectors(data, e.startSector))
            return fail(std::string("cannot write to the file: ") + std::strerror(errno));
    } else {
        std::string& mini = impl_->miniStream;
        e.startSector = uint32_t(mini.size() / kMiniSectorBytes);
        uint32_t count = sectorsFor(data.size(), kMiniSectorBytes);
        mini.append(data.data(), data.size());
        mini.append(size_t(count) * kMiniSectorBytes - data.size(), '\0');
        impl_->miniRuns.push_back({e.startSector, count});
    }
    uint32_t index = uint32_t(impl_->entries.size());
    impl_->entries.push_back(std::move(e));
    impl_->entries[parent->entry].children.push_back(index);
    return true;
}

bool CompoundFileWriter::writeStream(Storage* parent, const std::string& name, uint64_t size,
                                     const std::function<bool(const PieceSink&)>& fill) {
    if (failed() || !parent) return false;
    if (size < kMiniStreamCutoffBytes) {
        std::string data;
        if (!fill([&](std::string_view piece) {
                data.append(piece);
                return true;
            }))
            return false;
        if (data.size() != size) return fail("stream " + name + " is not the size announced");
        return writeStream(parent, name, data);
    }
    if (!validName(name)) return fail("invalid stream name " + name);
    if (size > kMaxStreamBytes) return fail("stream " + name + " too large for a compound file");
    Impl& f = *impl_;
    DirEntry e;
    e.name = name;
    e.type = kTypeStream;
    e.sizeBytes = size;
    e.startSector = f.nextSector;
    const uint32_t count = sectorsFor(size, kSectorBytes);
    const uint64_t offset = uint64_t(e.startSector + 1) * kSectorBytes;
    uint64_t written = 0;
    bool ioFailed = false;
    bool filled = fill([&](std::string_view piece) {
        if (ioFailed || piece.size() > size - written) return false;
        if (!f.writeAt(offset + written, piece.data(), piece.size())) {
            ioFailed = true;
            return false;
        }
        written += piece.size();
        return true;
    });
    if (ioFailed) return fail(std::string("cannot write to the file: ") + std::strerror(errno));
    if (!filled || written != size) return fail("stream " + name + " is not the size announced");
    if (size_t pad = size_t(uint64_t(count) * kSectorBytes - size)) {
        static const char zeros[kSectorBytes] = {};
        if (!f.writeAt(offset + size, zeros, pad))
            return fail(std::string("cannot write to the file: ") + std::strerror(errno));
    }
    f.runs.push_back({e.startSector, count});
    f.nextSector += count;
    uint32_t index = uint32_t(f.entries.size());
    f.entries.push_back(std::move(e));
    f.entries[parent->entry].children.push_back(index);
    return true;
}

bool CompoundFileWriter::finish() {
    if (failed()) return false;
    Impl& f = *impl_;
    if (f.fd < 0) return fail("compound file not created");
    auto ioFail = [&](const char* what) { return fail(std::string(what) + ": " + std::strerror(errno)); };

    // Mini stream, held by the root entry.
    DirEntry& root = f.entries[0];
    root.startSector = kEndOfChain;
    if (!f.miniStream.empty()) {
        if (!f.appendSectors(f.miniStream, root.startSector)) return ioFail("cannot write the mini stream");
        root.sizeBytes = f.miniStream.size();
    }

    // Mini FAT.
    uint32_t miniFatStart = kEndOfChain, miniFatSectors = 0;
    if (!f.miniStream.empty()) {
        uint32_t miniSectors = uint32_t(f.miniStream.size() / kMiniSectorBytes);
        miniFatSectors = sectorsFor(miniSectors, kIdsPerSector);
        std::vector<uint32_t> miniFat(size_t(miniFatSectors) * kIdsPerSector, kFreeSect);
        chainRuns(miniFat, f.miniRuns);
        std::string bytes;
        for (uint32_t v : miniFat) append32(bytes, v);
        if (!f.appendSectors(bytes, miniFatStart)) return ioFail("cannot write the mini FAT");
    }

    // Directory.
    std::string linkError;
    if (!f.linkChildren(linkError)) return fail(linkError);
    uint32_t directoryStart = 0;
    if (!f.appendSectors(f.serializeDirectory(), directoryStart)) return ioFail("cannot write the directory");

    // FAT and DIFAT: enough FAT sectors to map every sector, themselves included.
    uint32_t base = f.nextSector, fatSectors = 0, difatSectors = 0;
    for (;;) {
        uint32_t needFat = sectorsFor(uint64_t(base) + fatSectors + difatSectors, kIdsPerSector);
        uint32_t needDifat =
            needFat > kHeaderDifatSlots ? sectorsFor(needFat - kHeaderDifatSlots, kIdsPerDifatSector) : 0;
        if (needFat == fatSectors && needDifat == difatSectors) break;
        fatSectors = needFat;
        difatSectors = needDifat;
    }
    std::vector<uint32_t> fat(size_t(fatSectors) * kIdsPerSector, kFreeSect);
    chainRuns(fat, f.runs);
    for (uint32_t i = 0; i < fatSectors; ++i) fat[base + i] = kFatSect;
    for (uint32_t i = 0; i < difatSectors; ++i) fat[base + fatSectors + i] = kDifSect;
    std::string fatBytes;
    fatBytes.reserve(fat.size() * 4);
    for (uint32_t v : fat) append32(fatBytes, v);
    if (!f.writeAt(uint64_t(base + 1) * kSectorBytes, fatBytes.data(), fatBytes.size()))
        return ioFail("cannot write the FAT");
    std::string difatBytes;
    for (uint32_t d = 0; d < difatSectors; ++d) {
        for (uint32_t k = 0; k < kIdsPerDifatSector; ++k) {
            uint32_t n = kHeaderDifatSlots + d * kIdsPerDifatSector + k;  // n-th FAT sector
            append32(difatBytes, n < fatSectors ? base + n : kFreeSect);
        }
        append32(difatBytes, d + 1 < difatSectors ? base + fatSectors + d + 1 : kEndOfChain);
    }
    if (!difatBytes.empty() &&
        !f.writeAt(uint64_t(base + fatSectors + 1) * kSectorBytes, difatBytes.data(), difatBytes.size()))
        return ioFail("cannot write the DIFAT");

    // Header (MS-CFB 2.2).
    char h[kSectorBytes] = {};
    static const uint8_t signature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    std::memcpy(h, signature, 8);
    put16(bytesAt(h + 0x18), 0x003E);  // minor version
    put16(bytesAt(h + 0x1A), 0x0003);  // major version 3
    put16(bytesAt(h + 0x1C), 0xFFFE);  // byte order: little-endian
    put16(bytesAt(h + 0x1E), 9);       // sector shift: 512
    put16(bytesAt(h + 0x20), 6);       // mini sector shift: 64
    put32(bytesAt(h + 0x2C), fatSectors);
    put32(bytesAt(h + 0x30), directoryStart);
    put32(bytesAt(h + 0x38), kMiniStreamCutoffBytes);
    put32(bytesAt(h + 0x3C), miniFatStart);
    put32(bytesAt(h + 0x40), miniFatSectors);
    put32(bytesAt(h + 0x44), difatSectors ? base + fatSectors : kEndOfChain);
    put32(bytesAt(h + 0x48), difatSectors);
    for (uint32_t i = 0; i < kHeaderDifatSlots; ++i)
        put32(bytesAt(h + 0x4C + 4 * i), i < fatSectors ? base + i : kFreeSect);
    if (!f.writeAt(0, h, sizeof h)) return ioFail("cannot write the header");

    int fd = f.fd;
    f.fd = -1;
    if (CloseFile(fd) != 0) {
        RemoveFile(f.tempPath);
        return ioFail("cannot close the file");
    }
    // rename() never follows a link at the target, but it would delete it:
    // a link there is refused and left as it is.
    if (IsSymbolicLink(f.path)) {
        RemoveFile(f.tempPath);
        return fail(kLinkInTheWay);
    }
    if (RenameFile(f.tempPath, f.path) != 0) {
        int saved = errno;
        RemoveFile(f.tempPath);
        errno = saved;
        return ioFail("cannot move the file into place");
    }
    f.finished = true;
    return true;
}

}  // namespace store::msg::detail
