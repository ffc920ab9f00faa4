// Allocation wrappers with a single out-of-memory exit.
#include "runtime/memory.h"

#include <cstdio>
#include <cstdlib>

void mem_out_of_memory() {
    std::fflush(stdout);
    std::fputs("vessrin: out of memory\n", stderr);
    std::exit(EXIT_OUT_OF_MEMORY);
}

void* mem_try_alloc(size_t size) { return std::malloc(size == 0 ? 1 : size); }

void* mem_try_realloc(void* pointer, size_t size) { return std::realloc(pointer, size == 0 ? 1 : size); }

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

void mem_free(void* pointer) { std::free(pointer); }
