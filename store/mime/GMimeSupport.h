// GMime plumbing shared by the MIME import: one-time library start-up, the
// parser options every parse uses, and owning handles for GMime objects.
// Besides store/, only the mail component's source (conversion/MailMessage.cpp)
// and the tests' readers include this header; the rest of the code sees our
// own message model, and the libraries link GMime privately.
#pragma once

#include <gmime/gmime.h>

#include <memory>
#include <string>

namespace store::mime {

// Starts GMime once per process; later calls do nothing. Safe to call from
// any number of places and threads.
void EnsureGMimeStarted();

// Lenient parser options (loose RFC compliance, 8-bit header bytes tried as
// UTF-8 and then Windows-1252). Owned by this module; never free it.
GMimeParserOptions* LenientParserOptions();

// Owning handle for a GObject: drops one reference when it goes away.
struct GObjectUnref {
    void operator()(void* object) const {
        if (object) g_object_unref(object);
    }
};
template <class T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

// Owning handle for memory that GLib/GMime hands over with g_malloc.
struct GFree {
    void operator()(void* p) const { g_free(p); }
};
using GCharPtr = std::unique_ptr<char, GFree>;

// Takes ownership of a g_malloc'ed string and returns it as std::string ("" for null).
std::string TakeGString(char* s);

}  // namespace store::mime
