// The one virtual machine of the process.
#include "vm/vm.h"

VM vm;
