// The compound-file layer on libgsf's MS-OLE writer; see CompoundFile.h for
// why libgsf and what it gives.
#include "store/msg/CompoundFile.h"

#include <gsf/gsf.h>

#include <mutex>
#include <vector>

namespace store::msg::detail {

class CompoundFileWriter::Storage {
public:
    explicit Storage(GsfOutfile* outfile) : outfile(outfile) {}
    GsfOutfile* outfile;
};

struct CompoundFileWriter::Impl {
    GsfOutput* sink = nullptr;           // the temporary file
    GsfOutfile* ole = nullptr;           // the root storage
    std::vector<std::unique_ptr<Storage>> storages;  // storages[0] is the root
    bool finished = false;
};

namespace {

void initLibrary() {
    static std::once_flag once;
    std::call_once(once, [] { gsf_init(); });
}

std::string outputError(GsfOutput* output, const char* what) {
    const GError* err = output ? gsf_output_error(output) : nullptr;
    return std::string(what) + (err && err->message ? std::string(": ") + err->message : std::string());
}

}  // namespace

CompoundFileWriter::CompoundFileWriter() : impl_(std::make_unique<Impl>()) {}

CompoundFileWriter::~CompoundFileWriter() { abandon(); }

bool CompoundFileWriter::fail(std::string message) {
    if (error_.empty()) error_ = std::move(message);
    return false;
}

// Closes whatever is open with an error set on the sink, which makes libgsf
// delete the temporary file instead of renaming it.
void CompoundFileWriter::abandon() {
    if (!impl_ || impl_->finished || !impl_->sink) return;
    if (!gsf_output_error(impl_->sink)) gsf_output_set_error(impl_->sink, 0, "abandoned");
    for (auto it = impl_->storages.rbegin(); it != impl_->storages.rend(); ++it) {
        GsfOutput* out = GSF_OUTPUT((*it)->outfile);
        if (!gsf_output_is_closed(out)) gsf_output_close(out);
        g_object_unref(out);
    }
    impl_->storages.clear();
    if (!gsf_output_is_closed(impl_->sink)) gsf_output_close(impl_->sink);
    g_object_unref(impl_->sink);
    impl_->sink = nullptr;
    impl_->ole = nullptr;
}

bool CompoundFileWriter::create(const std::string& path, const uint8_t rootClsid[16]) {
    initLibrary();
    if (impl_->sink) return fail("compound file already created");
    GError* err = nullptr;
    impl_->sink = gsf_output_stdio_new(path.c_str(), &err);
    if (!impl_->sink) {
        std::string message = "cannot create " + path + (err ? std::string(": ") + err->message : "");
        if (err) g_error_free(err);
        return fail(message);
    }
    impl_->ole = gsf_outfile_msole_new(impl_->sink);  // 512-byte sectors: version 3
    if (!impl_->ole) return fail("cannot start the compound file " + path);
    impl_->storages.push_back(std::make_unique<Storage>(impl_->ole));
    if (!gsf_outfile_msole_set_class_id(GSF_OUTFILE_MSOLE(impl_->ole), rootClsid))
        return fail("cannot set the root class id");
    return true;
}

CompoundFileWriter::Storage* CompoundFileWriter::root() {
    return impl_->storages.empty() ? nullptr : impl_->storages.front().get();
}

CompoundFileWriter::Storage* CompoundFileWriter::beginStorage(Storage* parent, const std::string& name,
                                                              uint64_t modifiedFiletime) {
    if (failed() || !parent) return nullptr;
    GsfOutput* child = gsf_outfile_new_child(parent->outfile, name.c_str(), TRUE);
    if (!child) {
        fail("cannot create storage " + name);
        return nullptr;
    }
    if (modifiedFiletime) {
        // FILETIME (100 ns since 1601) to Unix microseconds.
        constexpr int64_t kUnixEpochFiletime = 116444736000000000LL;
        int64_t unixMicros = (int64_t(modifiedFiletime) - kUnixEpochFiletime) / 10;
        if (GDateTime* when = g_date_time_new_from_unix_utc(unixMicros / 1000000)) {
            GDateTime* exact = g_date_time_add(when, unixMicros % 1000000);
            gsf_output_set_modtime(child, exact ? exact : when);
            if (exact) g_date_time_unref(exact);
            g_date_time_unref(when);
        }
    }
    impl_->storages.push_back(std::make_unique<Storage>(GSF_OUTFILE(child)));
    return impl_->storages.back().get();
}

bool CompoundFileWriter::endStorage(Storage* storage) {
    if (failed()) return false;
    GsfOutput* out = GSF_OUTPUT(storage->outfile);
    if (!gsf_output_close(out)) return fail(outputError(out, "cannot close a storage"));
    return true;
}

bool CompoundFileWriter::writeStream(Storage* parent, const std::string& name, std::string_view data) {
    if (failed() || !parent) return false;
    GsfOutput* stream = gsf_outfile_new_child(parent->outfile, name.c_str(), FALSE);
    if (!stream) return fail("cannot create stream " + name);
    // Write in slices: gsf_output_write takes a size_t but large single writes
    // gain nothing.
    constexpr size_t kSlice = 1 << 20;
    bool ok = true;
    for (size_t done = 0; ok && done < data.size(); done += kSlice) {
        size_t n = std::min(kSlice, data.size() - done);
        ok = gsf_output_write(stream, n, reinterpret_cast<const guint8*>(data.data() + done));
    }
    if (!ok) fail(outputError(stream, ("cannot write stream " + name).c_str()));
    if (!gsf_output_close(stream) && ok) {
        fail(outputError(stream, ("cannot close stream " + name).c_str()));
        ok = false;
    }
    g_object_unref(stream);
    return ok && !failed();
}

bool CompoundFileWriter::finish() {
    if (failed()) return false;
    if (!impl_->ole) return fail("compound file not created");
    // Child storages are closed already; closing the root writes the mini
    // stream, allocation tables and directory, then closes the sink, which
    // renames the temporary file into place.
    bool ok = gsf_output_close(GSF_OUTPUT(impl_->ole));
    if (!ok || gsf_output_error(impl_->sink))
        return fail(outputError(impl_->sink, "cannot finish the compound file"));
    for (auto it = impl_->storages.rbegin(); it != impl_->storages.rend(); ++it)
        g_object_unref((*it)->outfile);
    impl_->storages.clear();
    g_object_unref(impl_->sink);
    impl_->sink = nullptr;
    impl_->ole = nullptr;
    impl_->finished = true;
    return true;
}

}  // namespace store::msg::detail
