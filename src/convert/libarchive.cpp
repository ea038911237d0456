// libarchive loaded when convert first calls it, so that the program's other commands and the
// menu never map it (nor the libraries it needs, ICU's data among them): each function used is
// defined here and calls libarchive's own, found in the library opened on the first call.
#include <archive.h>
#include <archive_entry.h>
#include <dlfcn.h>

#include <type_traits>

#include "convert/archive_in.h"

namespace {

// The library's soname, and the name of its development link.
constexpr const char* kLibrary = "libarchive.so.13";
constexpr const char* kDevelopmentLibrary = "libarchive.so";

void* Library() {
    static void* const library = [] {
        void* opened = dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
        return opened != nullptr ? opened : dlopen(kDevelopmentLibrary, RTLD_NOW | RTLD_LOCAL);
    }();
    return library;
}

void* Symbol(const char* name) {
    void* library = Library();
    return library != nullptr ? dlsym(library, name) : nullptr;
}

template <typename F>
struct Call;
template <typename R, typename... A>
struct Call<R (*)(A...)> {
    using Result = R;
};

// What a function gives when libarchive is not there: no archive, no entry, a fatal status.
template <typename R>
R Missing() {
    if constexpr (std::is_same_v<R, int>) {
        return ARCHIVE_FATAL;
    } else if constexpr (!std::is_void_v<R>) {
        return R{};
    }
}

}  // namespace

bool LibarchiveLoaded() {
    return Library() != nullptr;
}

#define ZOREL_FORWARD(name, params, args)                                            \
    Call<decltype(&::name)>::Result name params {                                    \
        using Result = Call<decltype(&::name)>::Result;                              \
        static const auto real = reinterpret_cast<decltype(&::name)>(Symbol(#name)); \
        return real != nullptr ? real args : Missing<Result>();                      \
    }

// Reading.
ZOREL_FORWARD(archive_read_new, (void), ())
ZOREL_FORWARD(archive_read_support_filter_all, (struct archive * a), (a))
ZOREL_FORWARD(archive_read_support_format_all, (struct archive * a), (a))
ZOREL_FORWARD(archive_read_set_read_callback, (struct archive * a, archive_read_callback* f),
              (a, f))
ZOREL_FORWARD(archive_read_set_seek_callback, (struct archive * a, archive_seek_callback* f),
              (a, f))
ZOREL_FORWARD(archive_read_set_skip_callback, (struct archive * a, archive_skip_callback* f),
              (a, f))
ZOREL_FORWARD(archive_read_set_callback_data, (struct archive * a, void* data), (a, data))
ZOREL_FORWARD(archive_read_open1, (struct archive * a), (a))
ZOREL_FORWARD(archive_read_next_header, (struct archive * a, struct archive_entry** e), (a, e))
ZOREL_FORWARD(archive_read_data, (struct archive * a, void* b, size_t n), (a, b, n))
ZOREL_FORWARD(archive_read_free, (struct archive * a), (a))
ZOREL_FORWARD(archive_error_string, (struct archive * a), (a))
// Entries.
ZOREL_FORWARD(archive_entry_new, (void), ())
ZOREL_FORWARD(archive_entry_free, (struct archive_entry * e), (e))
ZOREL_FORWARD(archive_entry_hardlink, (struct archive_entry * e), (e))
ZOREL_FORWARD(archive_entry_symlink, (struct archive_entry * e), (e))
ZOREL_FORWARD(archive_entry_pathname, (struct archive_entry * e), (e))
ZOREL_FORWARD(archive_entry_filetype, (struct archive_entry * e), (e))
ZOREL_FORWARD(archive_entry_perm, (struct archive_entry * e), (e))
ZOREL_FORWARD(archive_entry_mtime_is_set, (struct archive_entry * e), (e))
ZOREL_FORWARD(archive_entry_mtime, (struct archive_entry * e), (e))
ZOREL_FORWARD(archive_entry_mtime_nsec, (struct archive_entry * e), (e))
ZOREL_FORWARD(archive_entry_size_is_set, (struct archive_entry * e), (e))
ZOREL_FORWARD(archive_entry_size, (struct archive_entry * e), (e))
ZOREL_FORWARD(archive_entry_set_pathname, (struct archive_entry * e, const char* s), (e, s))
ZOREL_FORWARD(archive_entry_set_symlink, (struct archive_entry * e, const char* s), (e, s))
ZOREL_FORWARD(archive_entry_set_hardlink, (struct archive_entry * e, const char* s), (e, s))
ZOREL_FORWARD(archive_entry_set_perm, (struct archive_entry * e, __LA_MODE_T m), (e, m))
ZOREL_FORWARD(archive_entry_set_filetype, (struct archive_entry * e, unsigned int t), (e, t))
ZOREL_FORWARD(archive_entry_set_size, (struct archive_entry * e, la_int64_t n), (e, n))
ZOREL_FORWARD(archive_entry_set_mtime, (struct archive_entry * e, time_t s, long ns), (e, s, ns))
// Writing.
ZOREL_FORWARD(archive_write_new, (void), ())
ZOREL_FORWARD(archive_write_set_bytes_in_last_block, (struct archive * a, int n), (a, n))
ZOREL_FORWARD(archive_write_add_filter_gzip, (struct archive * a), (a))
ZOREL_FORWARD(archive_write_add_filter_xz, (struct archive * a), (a))
ZOREL_FORWARD(archive_write_add_filter_zstd, (struct archive * a), (a))
ZOREL_FORWARD(archive_write_add_filter_bzip2, (struct archive * a), (a))
ZOREL_FORWARD(archive_write_set_format_zip, (struct archive * a), (a))
ZOREL_FORWARD(archive_write_set_format_7zip, (struct archive * a), (a))
ZOREL_FORWARD(archive_write_set_format_cpio_newc, (struct archive * a), (a))
ZOREL_FORWARD(archive_write_set_format_pax, (struct archive * a), (a))
ZOREL_FORWARD(archive_write_open2,
              (struct archive * a, void* data, archive_open_callback* o, archive_write_callback* w,
               archive_close_callback* c, archive_free_callback* f),
              (a, data, o, w, c, f))
ZOREL_FORWARD(archive_write_header, (struct archive * a, struct archive_entry* e), (a, e))
ZOREL_FORWARD(archive_write_data, (struct archive * a, const void* b, size_t n), (a, b, n))
ZOREL_FORWARD(archive_write_close, (struct archive * a), (a))
ZOREL_FORWARD(archive_write_free, (struct archive * a), (a))
