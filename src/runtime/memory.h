// Every heap allocation of the interpreter goes through these wrappers, so an
// allocation failure has one exit ("vessrin: out of memory", status 70) instead of
// a null pointer travelling on.
#pragma once

#include <cstddef>

inline constexpr int EXIT_OUT_OF_MEMORY = 70;

[[noreturn]] void mem_out_of_memory();
// Return null on failure: for the few callers that have their own failure path.
void* mem_try_alloc(size_t size);
void* mem_try_realloc(void* pointer, size_t size);
// Never return null: a failure ends the process through mem_out_of_memory.
void* mem_alloc(size_t size);
void* mem_realloc(void* pointer, size_t size);
void mem_free(void* pointer);

#if defined(VESSRIN_FUZZING)
// The fuzzing build runs many programs in one process, so running out of memory
// unwinds to the harness instead of ending the process.
struct MemOutOfMemory {};
// Bytes held by live blocks; the harness checks it returns to its start.
size_t mem_fuzz_live_bytes();
#endif
