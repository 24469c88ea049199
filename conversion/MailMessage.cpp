#include "conversion/MailMessage.h"

#include <cstring>
#include <fcntl.h>
#include <gmime/gmime.h>
#include <mutex>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

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

namespace conversion {

void EnsureGMime() {
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

struct MailMessage::Impl {
    std::string path;
    void* map = nullptr;  // the loaded file's bytes
    size_t size = 0;
    size_t bodyStart = 0;  // after the "From " line, if any
    GByteArray array{};               // GMime's view of those bytes
    GMimeStream* stream = nullptr;    // the parts of the message refer into it
    GMimeMessage* message = nullptr;

    ~Impl() {
        if (message) g_object_unref(message);
        if (stream) g_object_unref(stream);
        if (map && map != MAP_FAILED) munmap(map, size);
    }
};

MailMessage::MailMessage() : impl_(nullptr) { EnsureGMime(); }
MailMessage::~MailMessage() { delete impl_; }

bool MailMessage::Load(const std::string& path) {
    delete impl_;
    impl_ = nullptr;
    matched_ = false;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    auto* impl = new Impl;
    impl->path = path;
    impl->size = size_t(st.st_size);
    if (impl->size > 0) {
        impl->map = mmap(nullptr, impl->size, PROT_READ, MAP_PRIVATE, fd, 0);
        if (impl->map == MAP_FAILED) {
            impl->map = nullptr;
            ::close(fd);
            delete impl;
            return false;
        }
    }
    ::close(fd);
    impl_ = impl;

    const char* bytes = static_cast<const char*>(impl->map);
    if (impl->size >= 5 && std::memcmp(bytes, "From ", 5) == 0) {
        const void* eol = std::memchr(bytes, '\n', impl->size);
        impl->bodyStart = eol ? size_t(static_cast<const char*>(eol) - bytes) + 1 : impl->size;
    }
    // GMime reads the message straight from the mapped bytes; with a
    // persistent stream its parts refer back to them instead of copying.
    if (impl->size - impl->bodyStart > G_MAXUINT) return true;  // too large for GMime: kept as it is
    impl->array.data = reinterpret_cast<guint8*>(const_cast<char*>(bytes + impl->bodyStart));
    impl->array.len = guint(impl->size - impl->bodyStart);
    impl->stream = g_mime_stream_mem_new();
    g_mime_stream_mem_set_byte_array(GMIME_STREAM_MEM(impl->stream), &impl->array);
    g_mime_stream_mem_set_owner(GMIME_STREAM_MEM(impl->stream), FALSE);
    GMimeParser* parser = g_mime_parser_new_with_stream(impl->stream);
    g_mime_parser_set_format(parser, GMIME_FORMAT_MESSAGE);
    g_mime_parser_set_persist_stream(parser, TRUE);
    impl->message = g_mime_parser_construct_message(parser, nullptr);
    g_object_unref(parser);
    return true;
}

bool MailMessage::Save(const std::string& path) {
    matched_ = false;
    if (!impl_) return false;
    if (impl_->message) {
        auto* cmp = static_cast<CompareStream*>(g_object_new(compare_stream_get_type(), nullptr));
        g_mime_stream_construct(GMIME_STREAM(cmp), 0, -1);
        cmp->expected = static_cast<const char*>(impl_->map) + impl_->bodyStart;
        cmp->length = impl_->size - impl_->bodyStart;
        GMimeFormatOptions* options = g_mime_format_options_clone(nullptr);
        g_mime_format_options_set_newline_format(options, GMIME_NEWLINE_FORMAT_DOS);
        ssize_t written = g_mime_object_write_to_stream(GMIME_OBJECT(impl_->message), options,
                                                        GMIME_STREAM(cmp));
        g_mime_format_options_free(options);
        matched_ = written >= 0 && !cmp->differs && cmp->position == cmp->length;
        g_object_unref(cmp);
    }
    if (path == impl_->path) return true;  // the file already holds these bytes
    // Saving elsewhere: write the loaded bytes there.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const char* p = static_cast<const char*>(impl_->map);
    size_t left = impl_->size;
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n <= 0) {
            ::close(fd);
            return false;
        }
        p += n;
        left -= size_t(n);
    }
    return ::close(fd) == 0;
}

}  // namespace conversion
