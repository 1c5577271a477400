// An LD_PRELOAD shim that counts every allocation (malloc, calloc, realloc,
// aligned allocation and operator new) with the object file of its caller,
// and writes the counts to $ALLOC_REPORT when the process ends:
//   <object file> <allocations> <bytes>
// It also follows the bytes held at once (as malloc_usable_size counts them)
// and writes their peak to $ALLOC_PEAK_REPORT, when that is set.
#include <dlfcn.h>
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void __libc_free(void*);
}

namespace {

struct Record {
    void* caller;
    std::size_t bytes;
};
constexpr int max_records = 1 << 16;
Record records[max_records];
int record_count = 0;
int dropped = 0;

long live_bytes = 0;
long peak_bytes = 0;

void held(void* p, long sign)
{
    if (p == nullptr)
        return;
    live_bytes += sign * static_cast<long>(malloc_usable_size(p));
    if (live_bytes > peak_bytes)
        peak_bytes = live_bytes;
}

void note(void* caller, std::size_t bytes)
{
    if (record_count < max_records)
        records[record_count++] = {caller, bytes};
    else
        ++dropped;
}

struct Reporter {
    ~Reporter()
    {
        const char* peak_path = std::getenv("ALLOC_PEAK_REPORT");
        const int peak_fd = peak_path != nullptr ? open(peak_path, O_WRONLY | O_CREAT | O_TRUNC, 0644) : -1;
        if (peak_fd >= 0) {
            char text[64];
            const int len = std::snprintf(text, sizeof text, "%ld\n", peak_bytes);
            (void)!write(peak_fd, text, static_cast<std::size_t>(len));
            close(peak_fd);
        }
        const char* path = std::getenv("ALLOC_REPORT");
        if (path == nullptr)
            return;
        const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd < 0)
            return;
        // Group by object file; a handful of objects at most.
        const char* names[64];
        long counts[64] = {};
        long bytes[64] = {};
        int objects = 0;
        const int n = record_count;
        for (int i = 0; i < n; ++i) {
            Dl_info info{};
            const char* name = dladdr(records[i].caller, &info) != 0 && info.dli_fname ? info.dli_fname : "?";
            int k = 0;
            while (k < objects && std::strcmp(names[k], name) != 0)
                ++k;
            if (k == objects && objects < 64)
                names[objects++] = name;
            if (k < 64) {
                ++counts[k];
                bytes[k] += static_cast<long>(records[i].bytes);
            }
        }
        char line[512];
        for (int k = 0; k < objects; ++k) {
            const int len = std::snprintf(line, sizeof line, "%s %ld %ld\n", names[k], counts[k], bytes[k]);
            (void)!write(fd, line, static_cast<std::size_t>(len));
        }
        if (dropped > 0) {
            const int len = std::snprintf(line, sizeof line, "dropped %d 0\n", dropped);
            (void)!write(fd, line, static_cast<std::size_t>(len));
        }
        close(fd);
    }
} reporter;

} // namespace

extern "C" {

void* malloc(std::size_t size)
{
    note(__builtin_return_address(0), size);
    void* p = __libc_malloc(size);
    held(p, 1);
    return p;
}

void* calloc(std::size_t n, std::size_t size)
{
    note(__builtin_return_address(0), n * size);
    void* p = __libc_calloc(n, size);
    held(p, 1);
    return p;
}

void* realloc(void* p, std::size_t size)
{
    note(__builtin_return_address(0), size);
    held(p, -1);
    void* q = __libc_realloc(p, size);
    held(q != nullptr || size == 0 ? q : p, 1);
    return q;
}

void* aligned_alloc(std::size_t alignment, std::size_t size)
{
    note(__builtin_return_address(0), size);
    void* p = __libc_memalign(alignment, size);
    held(p, 1);
    return p;
}

void free(void* p)
{
    held(p, -1);
    __libc_free(p);
}

} // extern "C"

// Without the C++ runtime (the shim must not load one of its own): a failed
// allocation ends the process instead of throwing.
void* operator new(std::size_t size)
{
    note(__builtin_return_address(0), size);
    void* p = __libc_malloc(size);
    if (p == nullptr)
        std::abort();
    held(p, 1);
    return p;
}

void* operator new[](std::size_t size)
{
    return operator new(size);
}
