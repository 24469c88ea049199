// The compound-file writer (MS-CFB version 3); layout and invariants in
// CompoundFile.h.
#include "store/msg/CompoundFile.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
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

// Writes the chains of `runs` into an allocation table of little-endian
// entries whose unused entries are already FREESECT.
void chainRuns(char* table, const std::vector<Run>& runs) {
    for (const Run& r : runs) {
        for (uint32_t i = 0; i + 1 < r.count; ++i) put32(bytesAt(table + 4 * size_t(r.start + i)), r.start + i + 1);
        if (r.count) put32(bytesAt(table + 4 * size_t(r.start + r.count - 1)), kEndOfChain);
    }
}

// Compound-file order of sibling names (MS-CFB 2.6.4): shorter first, then by
// upper-cased code units. Names are ASCII here, so ASCII upper-casing is exact.
// Each name's upper-cased bytes are packed once, big-endian, into four words
// led by its length, so that comparing two names is comparing at most four
// integers: sorting siblings compared the characters one by one before, 11 %
// of the writer's instructions (stream names share their first 12 characters).
struct SortKey {
    uint64_t w[4];
    bool operator==(const SortKey&) const = default;
    bool operator<(const SortKey& o) const {
        for (int i = 0; i < 4; ++i)
            if (w[i] != o.w[i]) return w[i] < o.w[i];
        return false;
    }
};
static_assert(kMaxNameChars == 31, "a sort key holds the length byte and 31 characters");

// `name` is a valid name (printable ASCII).
SortKey sortKeyOf(std::string_view name) {
    unsigned char bytes[32] = {static_cast<unsigned char>(name.size())};
    std::memcpy(bytes + 1, name.data(), name.size());
    // Written out so that the compiler makes each word one load and a byte swap.
    auto bigEndian = [](const unsigned char* p) {
        return uint64_t(p[0]) << 56 | uint64_t(p[1]) << 48 | uint64_t(p[2]) << 40 | uint64_t(p[3]) << 32 |
               uint64_t(p[4]) << 24 | uint64_t(p[5]) << 16 | uint64_t(p[6]) << 8 | uint64_t(p[7]);
    };
    // Upper-cased eight bytes at a time: every byte is below 0x80, so adding
    // 0x1F sets its top bit from 'a' on and adding 0x05 from past 'z' on,
    // neither carrying into the next byte.
    auto upper = [](uint64_t w) {
        constexpr uint64_t ones = 0x0101010101010101;
        const uint64_t lower = (w + 0x1F * ones) & ~(w + 0x05 * ones) & (0x80 * ones);
        return w - (lower >> 2);
    };
    SortKey k;
    for (int i = 0; i < 4; ++i) k.w[i] = upper(bigEndian(bytes + 8 * i));
    return k;
}

// Printable ASCII without / \ : ! (the characters a name may not hold).
constexpr std::array<bool, 256> kNameCharacters = [] {
    std::array<bool, 256> ok{};
    for (int c = 0x20; c <= 0x7E; ++c) ok[c] = c != '/' && c != '\\' && c != ':' && c != '!';
    return ok;
}();

bool validName(std::string_view name) {
    if (name.empty() || name.size() > kMaxNameChars) return false;
    for (unsigned char c : name)
        if (!kNameCharacters[c]) return false;
    return true;
}

struct DirEntry {
    SortKey key;
    char name[kMaxNameChars + 1] = {};  // ASCII, nameLength bytes, then zeros
    uint8_t nameLength = 0;
    uint8_t type = kTypeUnused;
    uint8_t color = kBlack;
    uint32_t parent = kNoStream;  // the storage holding it
    uint32_t left = kNoStream, right = kNoStream, child = kNoStream;
    uint32_t startSector = 0;
    uint64_t sizeBytes = 0;
    uint64_t filetime = 0;  // storages only

    DirEntry(std::string_view n, uint8_t t, uint32_t p) : key(sortKeyOf(n)), nameLength(uint8_t(n.size())), type(t), parent(p) {
        std::memcpy(name, n.data(), n.size());
    }
    std::string_view nameView() const { return {name, nameLength}; }
};

static const char kZeros[kSectorBytes] = {};

// The growing parts of a file being written, kept from one file to the next:
// a message file is small, and growing them anew for each (the mini stream
// above all) was a tenth of the layer's instructions.
struct Buffers {
    std::vector<DirEntry> entries;
    std::vector<Run> runs, miniRuns;
    std::string miniStream, tables;
    std::vector<uint32_t> groupEnd, order;

    void clear() {
        entries.clear();
        runs.clear();
        miniRuns.clear();
        miniStream.clear();
        tables.clear();
    }
    // Whether keeping them would hold on to more than a message file needs.
    bool large() const {
        constexpr size_t kKeptBytes = size_t(1) << 20;
        return entries.capacity() * sizeof(DirEntry) + miniStream.capacity() + tables.capacity() +
                   (runs.capacity() + miniRuns.capacity()) * sizeof(Run) +
                   (groupEnd.capacity() + order.capacity()) * sizeof(uint32_t) >
               kKeptBytes;
    }
};

// Spare buffers, shared by all threads (not thread_local: MinGW's runtime
// frees a thread's thread_local storage before running their destructors,
// see Converter in store/Codepages.cpp). At most two sets are kept.
class SpareBuffers {
public:
    static std::unique_ptr<Buffers> take() {
        Pool& pool = thePool();
        {
            std::lock_guard<std::mutex> lock(pool.mutex);
            if (!pool.spare.empty()) {
                std::unique_ptr<Buffers> b = std::move(pool.spare.back());
                pool.spare.pop_back();
                return b;
            }
        }
        return std::make_unique<Buffers>();
    }
    static void give(std::unique_ptr<Buffers> b) {
        if (!b || b->large()) return;
        Pool& pool = thePool();
        std::lock_guard<std::mutex> lock(pool.mutex);
        if (pool.spare.size() < 2) pool.spare.push_back(std::move(b));
    }

private:
    struct Pool {
        std::mutex mutex;
        std::vector<std::unique_ptr<Buffers>> spare;
    };
    // Never destroyed, so that a writer finishing during the process's end
    // still finds it.
    static Pool& thePool() {
        static Pool* pool = new Pool;
        return *pool;
    }
};

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
    std::unique_ptr<Buffers> buffers = SpareBuffers::take();
    std::vector<DirEntry>& entries = buffers->entries;  // entries[0] is the root
    std::deque<Storage> storages;                       // stable addresses
    uint32_t nextSector = 0;                            // regular sectors used so far
    std::vector<Run>& runs = buffers->runs;             // every regular-sector chain
    std::string& miniStream = buffers->miniStream;      // mini streams, each padded to 64 bytes
    std::vector<Run>& miniRuns = buffers->miniRuns;
    std::string& tables = buffers->tables;  // what finish() adds after the mini stream
    uint64_t written = 0;                   // bytes of the file written so far, in order
    bool finished = false;

    Impl() { buffers->clear(); }
    ~Impl() { SpareBuffers::give(std::move(buffers)); }
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

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

    // Writes `parts` at the end of what is written, with as few calls as
    // the system allows: one, unless it writes less than asked. The first
    // write starts with the header's sector: `header`, or zeros that
    // finish() writes the header over.
    bool writeParts(std::initializer_list<std::string_view> parts, const char* header = kZeros) {
        iovec v[5];
        int n = 0;
        if (written == 0) v[n++] = {const_cast<char*>(header), kSectorBytes};
        for (std::string_view part : parts)
            if (!part.empty()) v[n++] = {const_cast<char*>(part.data()), part.size()};
        iovec* next = v;
        while (n > 0) {
            ssize_t got = WriteGather(fd, next, n);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false;
            written += uint64_t(got);
            size_t left = size_t(got);
            while (n > 0 && left >= next->iov_len) {
                left -= next->iov_len;
                ++next;
                --n;
            }
            if (n > 0) {
                next->iov_base = static_cast<char*>(next->iov_base) + left;
                next->iov_len -= left;
            }
        }
        return true;
    }

    // Writes `data` into new consecutive sectors, the last one padded with
    // zeros: straight from where it is, no copy made.
    bool appendSectors(std::string_view data, uint32_t& startSector) {
        startSector = nextSector;
        const uint32_t count = sectorsFor(data.size(), kSectorBytes);
        if (!writeParts({data, std::string_view(kZeros, size_t(count) * kSectorBytes - data.size())})) return false;
        runs.push_back({startSector, count});
        nextSector += count;
        return true;
    }

    // `count` new sectors at the end of `tables`, every byte `fill`.
    char* appendTableSectors(uint32_t count, char fill) {
        const size_t at = tables.size();
        tables.append(size_t(count) * kSectorBytes, fill);
        nextSector += count;
        return tables.data() + at;
    }

    uint32_t addEntry(std::string_view name, uint8_t type, uint32_t parent) {
        entries.emplace_back(name, type, parent);
        return uint32_t(entries.size() - 1);
    }

    // Children of every storage as balanced trees (invariant 2).
    uint32_t buildTree(const uint32_t* sorted, size_t lo, size_t hi, int depth, int fullLevels) {
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
        // Every entry but the root, grouped by parent (in entry order within a
        // group), then each group sorted into compound-file order.
        const size_t n = entries.size();
        std::vector<uint32_t>& groupEnd = buffers->groupEnd;
        std::vector<uint32_t>& order = buffers->order;
        groupEnd.assign(n + 1, 0);
        order.resize(n);
        for (size_t i = 1; i < n; ++i) ++groupEnd[entries[i].parent + 1];
        for (size_t s = 1; s <= n; ++s) groupEnd[s] += groupEnd[s - 1];  // groupEnd[s]: where s's group starts
        for (size_t i = 1; i < n; ++i) order[groupEnd[entries[i].parent]++] = uint32_t(i);
        // groupEnd[s] is now where s's group ends, and the group starts where s - 1's ends.
        for (size_t s = 0; s < n; ++s) {
            const size_t lo = s ? groupEnd[s - 1] : 0, hi = groupEnd[s];
            if (lo == hi) continue;
            uint32_t* sorted = order.data();
            std::sort(sorted + lo, sorted + hi, [&](uint32_t a, uint32_t b) { return entries[a].key < entries[b].key; });
            for (size_t i = lo + 1; i < hi; ++i)
                if (entries[sorted[i - 1]].key == entries[sorted[i]].key) {
                    error = "duplicate name " + std::string(entries[sorted[i]].nameView()) + " in storage " +
                            std::string(entries[s].nameView());
                    return false;
                }
            const size_t count = hi - lo;
            int fullLevels = 0;  // floor(log2(n + 1)): the levels a midpoint tree fills completely
            while ((size_t(2) << fullLevels) <= count + 1) ++fullLevels;
            entries[s].child = buildTree(sorted + lo, 0, count, 0, fullLevels);
        }
        return true;
    }

    // The directory's entries into `out`, which holds room for them, zeroed.
    void serializeDirectory(char* out, size_t slots) const {
        for (size_t i = 0; i < slots; ++i) {
            char* e = out + i * kDirEntryBytes;
            if (i >= entries.size()) {  // unused slot: zero, with empty pointers
                put32(bytesAt(e + 0x44), kNoStream);
                put32(bytesAt(e + 0x48), kNoStream);
                put32(bytesAt(e + 0x4C), kNoStream);
                continue;
            }
            const DirEntry& d = entries[i];
            // UTF-16LE, NUL-terminated: the name and its zeros widened whole
            // (one character at a time was half the directory's cost).
#if defined(__SSE2__)
            const __m128i zero = _mm_setzero_si128();
            const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d.name));
            const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d.name + 16));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(e), _mm_unpacklo_epi8(first, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(e + 16), _mm_unpackhi_epi8(first, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(e + 32), _mm_unpacklo_epi8(second, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(e + 48), _mm_unpackhi_epi8(second, zero));
#else
            for (size_t k = 0; k < sizeof d.name; ++k) e[2 * k] = d.name[k];
#endif
            put16(bytesAt(e + 0x40), uint16_t((d.nameLength + 1) * 2));
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

    Impl& f = *impl_;
    f.entries.reserve(64);
    f.addEntry("Root Entry", kTypeRoot, kNoStream);
    f.storages.emplace_back(0);
    return true;
}

CompoundFileWriter::Storage* CompoundFileWriter::root() {
    return impl_->storages.empty() ? nullptr : &impl_->storages.front();
}

CompoundFileWriter::Storage* CompoundFileWriter::beginStorage(Storage* parent, std::string_view name,
                                                              uint64_t filetime) {
    if (failed() || !parent) return nullptr;
    if (!validName(name)) {
        fail("invalid storage name " + std::string(name));
        return nullptr;
    }
    const uint32_t index = impl_->addEntry(name, kTypeStorage, parent->entry);
    impl_->entries[index].filetime = filetime;
    return &impl_->storages.emplace_back(index);
}

bool CompoundFileWriter::endStorage(Storage* storage) { return !failed() && storage; }

bool CompoundFileWriter::writeStream(Storage* parent, std::string_view name, std::string_view data) {
    if (failed() || !parent) return false;
    if (!validName(name)) return fail("invalid stream name " + std::string(name));
    if (data.size() > kMaxStreamBytes) return fail("stream " + std::string(name) + " too large for a compound file");
    Impl& f = *impl_;
    uint32_t startSector;
    if (data.empty()) {
        startSector = kEndOfChain;
    } else if (data.size() >= kMiniStreamCutoffBytes) {
        if (!f.appendSectors(data, startSector))
            return fail(std::string("cannot write to the file: ") + std::strerror(errno));
    } else {
        std::string& mini = f.miniStream;
        startSector = uint32_t(mini.size() / kMiniSectorBytes);
        uint32_t count = sectorsFor(data.size(), kMiniSectorBytes);
        mini.append(data.data(), data.size());
        mini.append(size_t(count) * kMiniSectorBytes - data.size(), '\0');
        f.miniRuns.push_back({startSector, count});
    }
    DirEntry& e = f.entries[f.addEntry(name, kTypeStream, parent->entry)];
    e.sizeBytes = data.size();
    e.startSector = startSector;
    return true;
}

bool CompoundFileWriter::writeStream(Storage* parent, std::string_view name, uint64_t size,
                                     const std::function<bool(const PieceSink&)>& fill) {
    if (failed() || !parent) return false;
    if (size < kMiniStreamCutoffBytes) {
        std::string data;
        if (!fill([&](std::string_view piece) {
                data.append(piece);
                return true;
            }))
            return false;
        if (data.size() != size) return fail("stream " + std::string(name) + " is not the size announced");
        return writeStream(parent, name, data);
    }
    if (!validName(name)) return fail("invalid stream name " + std::string(name));
    if (size > kMaxStreamBytes) return fail("stream " + std::string(name) + " too large for a compound file");
    Impl& f = *impl_;
    const uint32_t startSector = f.nextSector;
    const uint32_t count = sectorsFor(size, kSectorBytes);
    const std::string_view pad(kZeros, size_t(uint64_t(count) * kSectorBytes - size));
    uint64_t written = 0;
    bool ioFailed = false;
    bool filled = fill([&](std::string_view piece) {
        if (ioFailed || piece.size() > size - written) return false;
        written += piece.size();
        // The last piece goes with the padding.
        if (!f.writeParts({piece, written == size ? pad : std::string_view()})) {
            ioFailed = true;
            return false;
        }
        return true;
    });
    if (ioFailed) return fail(std::string("cannot write to the file: ") + std::strerror(errno));
    if (!filled || written != size) return fail("stream " + std::string(name) + " is not the size announced");
    f.runs.push_back({startSector, count});
    f.nextSector += count;
    DirEntry& e = f.entries[f.addEntry(name, kTypeStream, parent->entry)];
    e.sizeBytes = size;
    e.startSector = startSector;
    return true;
}

bool CompoundFileWriter::finish() {
    if (failed()) return false;
    Impl& f = *impl_;
    if (f.fd < 0) return fail("compound file not created");
    auto ioFail = [&](const char* what) { return fail(std::string(what) + ": " + std::strerror(errno)); };

    // The mini stream, held by the root entry, goes out with the tables
    // built after it, all in one write.
    f.entries[0].startSector = kEndOfChain;
    std::string_view miniPad;
    if (!f.miniStream.empty()) {
        const uint32_t count = sectorsFor(f.miniStream.size(), kSectorBytes);
        f.entries[0].startSector = f.nextSector;
        f.entries[0].sizeBytes = f.miniStream.size();
        miniPad = std::string_view(kZeros, size_t(count) * kSectorBytes - f.miniStream.size());
        f.runs.push_back({f.nextSector, count});
        f.nextSector += count;
    }
    f.tables.clear();

    // Mini FAT.
    uint32_t miniFatStart = kEndOfChain, miniFatSectors = 0;
    if (!f.miniStream.empty()) {
        uint32_t miniSectors = uint32_t(f.miniStream.size() / kMiniSectorBytes);
        miniFatSectors = sectorsFor(miniSectors, kIdsPerSector);
        miniFatStart = f.nextSector;
        chainRuns(f.appendTableSectors(miniFatSectors, char(0xFF)), f.miniRuns);  // FREESECT where unused
        f.runs.push_back({miniFatStart, miniFatSectors});
    }

    // Directory.
    std::string linkError;
    if (!f.linkChildren(linkError)) return fail(linkError);
    const size_t slots = (f.entries.size() + 3) / 4 * 4;
    const uint32_t directoryStart = f.nextSector;
    const uint32_t directorySectors = sectorsFor(slots * kDirEntryBytes, kSectorBytes);
    f.serializeDirectory(f.appendTableSectors(directorySectors, '\0'), slots);
    f.runs.push_back({directoryStart, directorySectors});

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
    char* fat = f.appendTableSectors(fatSectors, char(0xFF));  // FREESECT where unused
    chainRuns(fat, f.runs);
    for (uint32_t i = 0; i < fatSectors; ++i) put32(bytesAt(fat + 4 * size_t(base + i)), kFatSect);
    for (uint32_t i = 0; i < difatSectors; ++i) put32(bytesAt(fat + 4 * size_t(base + fatSectors + i)), kDifSect);
    if (difatSectors) {
        char* difat = f.appendTableSectors(difatSectors, '\0');
        for (uint32_t d = 0; d < difatSectors; ++d) {
            char* sector = difat + size_t(d) * kSectorBytes;
            for (uint32_t k = 0; k < kIdsPerDifatSector; ++k) {
                uint32_t n = kHeaderDifatSlots + d * kIdsPerDifatSector + k;  // n-th FAT sector
                put32(bytesAt(sector + 4 * k), n < fatSectors ? base + n : kFreeSect);
            }
            put32(bytesAt(sector + 4 * kIdsPerDifatSector),
                  d + 1 < difatSectors ? base + fatSectors + d + 1 : kEndOfChain);
        }
    }

    // Header (MS-CFB 2.2): the first part of the one write when no stream
    // went out before, else written over the zeros left for it.
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
    const bool headerWritten = f.written > 0;
    if (!f.writeParts({f.miniStream, miniPad, f.tables}, h) || (headerWritten && !f.writeAt(0, h, sizeof h)))
        return ioFail("cannot write to the file");

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
