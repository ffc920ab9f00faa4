// The one virtual machine of the process.
#include "vm/vm.h"

VM vm;
volatile sig_atomic_t vm_interrupt_requested = 0;

#if defined(VESSRIN_FUZZING)
uint64_t vm_fuzz_steps = 0;
uint64_t vm_fuzz_allocated = 0;
#endif
