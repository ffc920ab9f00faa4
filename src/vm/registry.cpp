// The native registry (natives kept alive as collector roots), the channel
// through which a failing native states its message, and the transient roots
// that protect objects under construction.
#include <cstdint>
#include <cstdio>

#include "runtime/memory.h"
#include "vm/vm.h"

ObjNative* vm_natives[VM_NATIVES_MAX];
int32_t vm_natives_count = 0;

char vm_native_error_buf[VM_NATIVE_ERROR_MAX];
bool vm_native_error_set = false;

static bool g_exit_requested = false;
static int g_exit_status = 0;

// Transient roots are never dropped: callbacks of map and filter nest as deep as
// the frame limit allows, each level holding a partial result, so the stack
// grows instead of ignoring a push. It starts with room for this many.
inline constexpr int32_t VM_TRANSIENT_INITIAL = 16;
static Obj** g_transient_roots = nullptr;
static int32_t g_transient_count = 0;
static int32_t g_transient_capacity = 0;

int32_t vm_transient_count() { return g_transient_count; }

void vm_register_native(ObjNative* native) {
    if (vm_natives_count < VM_NATIVES_MAX) vm_natives[vm_natives_count++] = native;
}

void vm_request_exit(int status) {
    g_exit_requested = true;
    g_exit_status = status;
}

bool vm_exit_requested(int* status) {
    if (g_exit_requested && status != nullptr) *status = g_exit_status;
    return g_exit_requested;
}

void vm_set_native_error(const char* message) {
    std::snprintf(vm_native_error_buf, sizeof vm_native_error_buf, "%s", message != nullptr ? message : "");
    vm_native_error_set = true;
}

void vm_push_transient(Obj* object) {
    if (g_transient_count >= g_transient_capacity) {
        if (g_transient_capacity > INT32_MAX / 2) mem_out_of_memory();
        int32_t capacity = g_transient_capacity == 0 ? VM_TRANSIENT_INITIAL : g_transient_capacity * 2;
        // Plain allocation outside the tally: a push must never start a collection.
        g_transient_roots = static_cast<Obj**>(
            mem_realloc(g_transient_roots, static_cast<size_t>(capacity) * sizeof(Obj*)));
        g_transient_capacity = capacity;
    }
    g_transient_roots[g_transient_count++] = object;
}

void vm_pop_transient() {
    if (g_transient_count > 0) g_transient_count--;
}

void vm_reset_registry() {
    vm_natives_count = 0;
    g_transient_count = 0;
    vm_native_error_set = false;
    vm_native_error_buf[0] = '\0';
    g_exit_requested = false;
}

void vm_mark_registry_roots() {
    for (int32_t i = 0; i < vm_natives_count; i++) {
        if (vm_natives[i] != nullptr) mark_object(&vm_natives[i]->obj);
    }
    for (int32_t i = 0; i < g_transient_count; i++) mark_object(g_transient_roots[i]);
}
