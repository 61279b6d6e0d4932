// Preloaded into a node under test: counts every heap allocation the process makes, and on
// SIGUSR1 writes the count as one decimal line to the file that QUORVEL_ALLOC_COUNT_FILE names.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *ptr, size_t size);
void *__libc_memalign(size_t alignment, size_t size);
}

namespace {

unsigned long allocations = 0;
char reportPath[4096];

void count() { __atomic_add_fetch(&allocations, 1, __ATOMIC_RELAXED); }

// Only async-signal-safe calls: the signal may land inside the allocator itself.
void report(int)
{
    char text[32];
    char *end = text + sizeof text;
    char *p = end;
    *--p = '\n';
    unsigned long n = __atomic_load_n(&allocations, __ATOMIC_RELAXED);
    do { *--p = static_cast<char>('0' + n % 10); n /= 10; } while (n > 0);
    const int fd = open(reportPath, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) return;
    (void)!write(fd, p, static_cast<size_t>(end - p));
    close(fd);
}

__attribute__((constructor)) void installReporter()
{
    const char *path = std::getenv("QUORVEL_ALLOC_COUNT_FILE");
    if (!path || std::strlen(path) >= sizeof reportPath) return;
    std::memcpy(reportPath, path, std::strlen(path) + 1);
    struct sigaction action {};
    action.sa_handler = report;
    action.sa_flags = SA_RESTART;
    sigaction(SIGUSR1, &action, nullptr);
}

}  // namespace

extern "C" {

void *malloc(size_t size) { count(); return __libc_malloc(size); }
void *calloc(size_t n, size_t size) { count(); return __libc_calloc(n, size); }
void *realloc(void *ptr, size_t size) { count(); return __libc_realloc(ptr, size); }
void *memalign(size_t alignment, size_t size) { count(); return __libc_memalign(alignment, size); }
void *aligned_alloc(size_t alignment, size_t size) { count(); return __libc_memalign(alignment, size); }

int posix_memalign(void **out, size_t alignment, size_t size)
{
    count();
    void *p = __libc_memalign(alignment, size);
    if (!p) return ENOMEM;
    *out = p;
    return 0;
}

}  // extern "C"
