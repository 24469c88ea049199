#include "conversion/MailMessage.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/Platform.h"

// A build without GMime (the Windows build when no GMime is at hand) loads
// and saves messages in their exact bytes as well; it parses nothing.
#ifdef VELLARY_HAVE_GMIME
#include <gmime/gmime.h>

#include "store/mime/GMimeSupport.h"

// A GMime stream that compares what is written to it with an expected run of
// bytes, so a message can be checked against its file without holding a
// second copy of it in memory.
struct CompareStream {
    GMimeStream parent;
    const char* expected;
    size_t length;
    size_t position;
    gboolean differs;
};
struct CompareStreamClass {
    GMimeStreamClass parent_class;
};

G_DEFINE_TYPE(CompareStream, compare_stream, GMIME_TYPE_STREAM)

static ssize_t compare_stream_write(GMimeStream* stream, const char* buf, size_t len) {
    auto* self = reinterpret_cast<CompareStream*>(stream);
    if (!self->differs &&
        (len > self->length - self->position || std::memcmp(self->expected + self->position, buf, len) != 0))
        self->differs = TRUE;
    // Once a byte differs the answer is known: failing the write stops GMime
    // from serialising the rest of the message.
    if (self->differs) return -1;
    self->position += len;
    return ssize_t(len);
}
static int compare_stream_flush(GMimeStream*) { return 0; }
static int compare_stream_close(GMimeStream*) { return 0; }
static gboolean compare_stream_eos(GMimeStream*) { return FALSE; }
static int compare_stream_reset(GMimeStream*) { return -1; }
static gint64 compare_stream_seek(GMimeStream*, gint64, GMimeSeekWhence) { return -1; }
static gint64 compare_stream_tell(GMimeStream* stream) {
    return gint64(reinterpret_cast<CompareStream*>(stream)->position);
}
static gint64 compare_stream_length(GMimeStream*) { return -1; }
static ssize_t compare_stream_read(GMimeStream*, char*, size_t) { return -1; }
static GMimeStream* compare_stream_substream(GMimeStream*, gint64, gint64) { return nullptr; }

static void compare_stream_class_init(CompareStreamClass* klass) {
    GMimeStreamClass* s = GMIME_STREAM_CLASS(klass);
    s->read = compare_stream_read;
    s->write = compare_stream_write;
    s->flush = compare_stream_flush;
    s->close = compare_stream_close;
    s->eos = compare_stream_eos;
    s->reset = compare_stream_reset;
    s->seek = compare_stream_seek;
    s->tell = compare_stream_tell;
    s->length = compare_stream_length;
    s->substream = compare_stream_substream;
}
static void compare_stream_init(CompareStream* self) {
    self->expected = nullptr;
    self->length = self->position = 0;
    self->differs = FALSE;
}
#endif

namespace conversion {

// Returned by the two scans below when the bytes seen so far end before the
// answer can be told.
constexpr size_t kNeedMore = size_t(-1);

// Where a message's "From " line ends, just after its LF; 0 when it has
// none. `complete`: the bytes are the whole message, so there is no more.
static size_t FromLineEnd(const char* bytes, size_t size, bool complete) {
    if (size < 5 || std::memcmp(bytes, "From ", 5) != 0) return 0;
    const void* eol = std::memchr(bytes, '\n', size);
    if (eol) return size_t(static_cast<const char*>(eol) - bytes) + 1;
    return complete ? size : kNeedMore;
}

// Where the header of a message that starts at `start` ends: just after its
// first empty line, or at the end of a complete message that has none.
static size_t HeaderEnd(const char* bytes, size_t start, size_t size, bool complete) {
    size_t at = start;
    for (;;) {
        // `at` is the start of a line.
        if (at < size && bytes[at] == '\n') return at + 1;
        if (at + 1 < size && bytes[at] == '\r' && bytes[at + 1] == '\n') return at + 2;
        if (at + 1 >= size && !complete) return kNeedMore;
        const void* eol = at < size ? std::memchr(bytes + at, '\n', size - at) : nullptr;
        if (!eol) return complete ? size : kNeedMore;
        at = size_t(static_cast<const char*>(eol) - bytes) + 1;
    }
}

struct MailMessage::Impl {
    std::string path;
    int fd = -1;
    size_t size = 0;
    size_t bodyStart = 0;             // after the "From " line, if any
    size_t headerEnd = 0;             // after the blank line that ends the header
    std::string head;                 // the file's first bytes, up to `headerEnd`
    const char* headBytes = nullptr;  // `head`, or the mapping for a long header
    const void* map = nullptr;        // the whole file, mapped when first needed
#ifdef VELLARY_HAVE_GMIME
    GByteArray array{};             // GMime's view of the bytes it parses
    GMimeStream* stream = nullptr;  // the parts of the message refer into it
    GMimeMessage* message = nullptr;
#endif
    bool parsed = false;  // `message` is parsed (null if GMime made none)
    bool whole = false;   // `message` holds the body too, not just the header

    ~Impl() {
        drop();
        if (map) UnmapFile(map, size);
        if (fd >= 0) CloseFile(fd);
    }

    void drop() {
#ifdef VELLARY_HAVE_GMIME
        if (message) g_object_unref(message);
        if (stream) g_object_unref(stream);
        message = nullptr;
        stream = nullptr;
#endif
    }

    // Finds where the "From " line and the header end. Reads the file's
    // first bytes into `head`, more each time until the header's end is
    // among them; a header longer than a mebibyte is looked for in the
    // mapped file instead, so it is never copied whole.
    bool findHeader() {
        size_t want = std::min<size_t>(size, 4096);
        for (;;) {
            if (want > (size_t(1) << 20)) {
                std::string().swap(head);
                const char* all = bytes();
                if (!all) return false;
                bodyStart = FromLineEnd(all, size, true);
                headerEnd = HeaderEnd(all, bodyStart, size, true);
                headBytes = all;
                return true;
            }
            size_t have = head.size();
            head.resize(want);
            while (have < want) {
                ssize_t n = ReadAt(fd, head.data() + have, want - have, have);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) return false;
                have += size_t(n);
            }
            const bool complete = want == size;
            size_t from = FromLineEnd(head.data(), want, complete);
            size_t end = from == kNeedMore ? kNeedMore : HeaderEnd(head.data(), from, want, complete);
            if (end != kNeedMore) {
                bodyStart = from;
                headerEnd = end;
                head.resize(end);
                headBytes = head.data();
                return true;
            }
            want = std::min(size, want * 2);
        }
    }

    const char* bytes() {
        if (!map && size > 0) map = MapFileReadOnly(fd, size);
        return static_cast<const char*>(map);
    }

#ifdef VELLARY_HAVE_GMIME
    // Parses `length` bytes of a message. GMime reads them where they lie;
    // with a persistent stream its parts refer back to the bytes instead of
    // copying them.
    void parse(const char* data, size_t length) {
        drop();
        parsed = true;
        array.data = reinterpret_cast<guint8*>(const_cast<char*>(data));
        array.len = guint(length);
        stream = g_mime_stream_mem_new();
        g_mime_stream_mem_set_byte_array(GMIME_STREAM_MEM(stream), &array);
        g_mime_stream_mem_set_owner(GMIME_STREAM_MEM(stream), FALSE);
        // One parser per thread, set to each message in turn, spares making
        // and freeing its buffers for every message.
        thread_local GMimeParser* parser = g_mime_parser_new();
        g_mime_parser_init_with_stream(parser, stream);
        g_mime_parser_set_format(parser, GMIME_FORMAT_MESSAGE);
        g_mime_parser_set_persist_stream(parser, TRUE);
        message = g_mime_parser_construct_message(parser, nullptr);
    }

    bool tooLarge() const { return size - bodyStart > G_MAXUINT; }

    // The whole message, headers and MIME parts, parsed on the first call;
    // null when it is too large for GMime or GMime makes no message of it.
    GMimeMessage* wholeMessage();
#endif
};

#ifdef VELLARY_HAVE_GMIME
MailMessage::MailMessage() : impl_(nullptr) { store::mime::EnsureGMimeStarted(); }
#else
MailMessage::MailMessage() : impl_(nullptr) {}
#endif
MailMessage::~MailMessage() { delete impl_; }

bool MailMessage::Load(const std::string& path) {
    delete impl_;
    impl_ = nullptr;
    auto* impl = new Impl;
    impl->path = path;
    impl->fd = OpenFile(path, kOpenRead);
    FileInfo info;
    if (impl->fd < 0 || !StatFile(impl->fd, &info) || info.kind != FileKind::Regular || info.size > SIZE_MAX) {
        delete impl;
        return false;
    }
    impl->size = size_t(info.size);
    if (!impl->findHeader()) {
        delete impl;
        return false;
    }
    impl_ = impl;
    return true;
}

#ifdef VELLARY_HAVE_GMIME
GMimeMessage* MailMessage::Impl::wholeMessage() {
    if (tooLarge()) return nullptr;
    if (!whole) {
        const char* all = bytes();
        if (!all) return nullptr;
        parse(all + bodyStart, size - bodyStart);
        whole = true;
    }
    return message;
}

int MailMessage::topLevelPartCount() {
    GMimeMessage* whole = impl_ ? impl_->wholeMessage() : nullptr;
    if (!whole) return -1;
    GMimeObject* top = g_mime_message_get_mime_part(whole);
    if (!top) return 0;
    return GMIME_IS_MULTIPART(top) ? g_mime_multipart_get_count(GMIME_MULTIPART(top)) : 1;
}

std::string MailMessage::header(const char* name) {
    if (!impl_ || impl_->tooLarge()) return {};
    if (!impl_->parsed) {
        // The header alone, unless the whole message is parsed already.
        impl_->parse(impl_->headBytes + impl_->bodyStart, impl_->headerEnd - impl_->bodyStart);
        impl_->whole = impl_->headerEnd == impl_->size;  // the header is the whole message
    }
    if (!impl_->message) return {};
    const char* value = g_mime_object_get_header(GMIME_OBJECT(impl_->message), name);
    return value ? value : "";
}

bool MailMessage::matchesLibraryForm() {
    GMimeMessage* whole = impl_ ? impl_->wholeMessage() : nullptr;
    if (!whole) return false;
    auto* cmp = static_cast<CompareStream*>(g_object_new(compare_stream_get_type(), nullptr));
    g_mime_stream_construct(GMIME_STREAM(cmp), 0, -1);
    // The whole message is in the mapping, or in `head` when it has no body.
    cmp->expected = (impl_->map ? static_cast<const char*>(impl_->map) : impl_->headBytes) + impl_->bodyStart;
    cmp->length = impl_->size - impl_->bodyStart;
    GMimeFormatOptions* options = g_mime_format_options_clone(nullptr);
    g_mime_format_options_set_newline_format(options, GMIME_NEWLINE_FORMAT_DOS);
    ssize_t written = g_mime_object_write_to_stream(GMIME_OBJECT(whole), options, GMIME_STREAM(cmp));
    g_mime_format_options_free(options);
    bool matched = written >= 0 && !cmp->differs && cmp->position == cmp->length;
    g_object_unref(cmp);
    return matched;
}
#else
int MailMessage::topLevelPartCount() { return -1; }
std::string MailMessage::header(const char*) { return {}; }
bool MailMessage::matchesLibraryForm() { return false; }
#endif

bool MailMessage::Save(const std::string& path) {
    if (!impl_) return false;
    // Nothing about the message can have changed since it was loaded, and
    // it is only ever saved in its loaded bytes: its own file holds them.
    if (path == impl_->path) return true;
    int fd = OpenFile(path, kOpenWrite | kOpenCreate | kOpenTruncate);
    if (fd < 0) return false;
    const char* p = impl_->headerEnd == impl_->size ? impl_->headBytes : impl_->bytes();
    if (!p && impl_->size > 0) {
        CloseFile(fd);
        return false;
    }
    size_t left = impl_->size;
    while (left > 0) {
        ssize_t n = WriteSome(fd, p, left);
        if (n <= 0) {
            CloseFile(fd);
            return false;
        }
        p += n;
        left -= size_t(n);
    }
    return CloseFile(fd) == 0;
}

}  // namespace conversion
