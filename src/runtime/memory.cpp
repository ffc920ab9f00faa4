// Allocation wrappers with a single out-of-memory exit, and the two testing-build
// hooks on that path: failing the N-th allocation on request, and the memory
// ceiling of the fuzzing build.
#include "runtime/memory.h"

#include <cstdio>
#include <cstdlib>

#if defined(VESSRIN_FUZZING)
#include <malloc.h>
#endif

#if defined(VESSRIN_ALLOC_FAIL)
namespace {

// 0 means "never": the variable is unset, empty, zero or not a number.
unsigned long long g_fail_at = 0;
unsigned long long g_alloc_count = 0;
bool g_fail_at_read = false;

// Read lazily on the first allocation, which may come before main runs.
bool injected_failure() {
    if (!g_fail_at_read) {
        g_fail_at_read = true;
        const char* text = std::getenv("VESSRIN_FAIL_ALLOC_AT");
        if (text != nullptr) g_fail_at = std::strtoull(text, nullptr, 10);
    }
    g_alloc_count++;
    return g_fail_at != 0 && g_alloc_count == g_fail_at;
}

// The sweep learns how far to go from the count a run reaches; printed at exit
// only when asked for, so the ordinary output of the testing build is unchanged.
struct CountReport {
    ~CountReport() {
        const char* wanted = std::getenv("VESSRIN_ALLOC_COUNT_REPORT");
        if (wanted != nullptr && wanted[0] != '\0') {
            std::fprintf(stderr, "vessrin: allocations: %llu\n", g_alloc_count);
        }
    }
} g_count_report;

}  // namespace
#else
namespace {
constexpr bool injected_failure() { return false; }
}  // namespace
#endif

#if defined(VESSRIN_FUZZING)
namespace {

// A fuzzed program can ask for any amount of memory; past these ceilings the
// request fails as if the machine had run out, so the fuzzer explores the
// out-of-memory path instead of stopping at its own memory limit.
constexpr size_t FUZZ_ALLOC_MAX = size_t{64} << 20;   // one request
constexpr size_t FUZZ_LIVE_MAX = size_t{384} << 20;   // all live blocks together
size_t g_live_bytes = 0;

bool over_ceiling(size_t size, size_t released) {
    return size > FUZZ_ALLOC_MAX || g_live_bytes - released + size > FUZZ_LIVE_MAX;
}

void* account(void* pointer) {
    if (pointer != nullptr) g_live_bytes += malloc_usable_size(pointer);
    return pointer;
}

size_t usable(void* pointer) { return pointer == nullptr ? 0 : malloc_usable_size(pointer); }

}  // namespace

size_t mem_fuzz_live_bytes() { return g_live_bytes; }
#endif

void mem_out_of_memory() {
#if defined(VESSRIN_FUZZING)
    // The fuzzing harness runs many programs in one process: it catches this,
    // frees the run's objects and goes on with the next input.
    throw MemOutOfMemory{};
#else
    std::fflush(stdout);
    std::fputs("vessrin: out of memory\n", stderr);
    std::exit(EXIT_OUT_OF_MEMORY);
#endif
}

void* mem_try_alloc(size_t size) {
    if (injected_failure()) return nullptr;
#if defined(VESSRIN_FUZZING)
    if (over_ceiling(size, 0)) return nullptr;
    return account(std::malloc(size == 0 ? 1 : size));
#else
    return std::malloc(size == 0 ? 1 : size);
#endif
}

void* mem_try_realloc(void* pointer, size_t size) {
    if (injected_failure()) return nullptr;
#if defined(VESSRIN_FUZZING)
    size_t before = usable(pointer);
    if (over_ceiling(size, before)) return nullptr;
    void* grown = std::realloc(pointer, size == 0 ? 1 : size);
    if (grown == nullptr) return nullptr;
    g_live_bytes -= before;
    return account(grown);
#else
    return std::realloc(pointer, size == 0 ? 1 : size);
#endif
}

void* mem_alloc(size_t size) {
    void* p = mem_try_alloc(size);
    if (p == nullptr) mem_out_of_memory();
    return p;
}

void* mem_realloc(void* pointer, size_t size) {
    void* p = mem_try_realloc(pointer, size);
    if (p == nullptr) mem_out_of_memory();
    return p;
}

void mem_free(void* pointer) {
#if defined(VESSRIN_FUZZING)
    g_live_bytes -= usable(pointer);
#endif
    std::free(pointer);
}
