// The list of built-in modules, how an import string or a module path finds
// one, the registration of a module's natives in the function table, and the
// signature check shared by every function with a fixed signature.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "library/std_module.h"
#include "vm/vm.h"

namespace {

constexpr const StdModule* std_modules[] = {&std_io_module, &std_os_module, &std_math_module, &std_random_module};

// The name after "std/" equals a module's name, with or without ".vsr".
const StdModule* module_named(const char* text, size_t length) {
    if (length > 4 && std::memcmp(text + length - 4, ".vsr", 4) == 0) length -= 4;
    for (const StdModule* m : std_modules) {
        if (std::strlen(m->name) == length && std::memcmp(m->name, text, length) == 0) return m;
    }
    return nullptr;
}

}  // namespace

const StdModule* std_module_for_import(const char* text, uint32_t length) {
    if (length <= 4 || std::memcmp(text, "std/", 4) != 0) return nullptr;
    return module_named(text + 4, length - 4);
}

const StdModule* std_module_for_path(const char* path) {
    size_t length = std::strlen(path);
    if (length <= 4 || std::memcmp(path, "std/", 4) != 0) return nullptr;
    // Only the exact form the resolver writes: no extension.
    const StdModule* m = module_named(path + 4, length - 4);
    return m != nullptr && std::strcmp(m->name, path + 4) == 0 ? m : nullptr;
}

bool std_module_register(const StdModule& module, int module_idx) {
    if (function_count + module.function_count > FUNCTIONS_MAX) return false;
    for (int i = 0; i < module.function_count; i++) {
        const StdFunction& fn = module.functions[i];
        ObjNative* native = new_native(fn.native, fn.param_count);
        vm_register_native(native);
        // The registry may be full (a prompt that imported and rolled back many
        // times); the native is then kept alive by its row, which the collector
        // marks, and until the row exists by a transient root.
        vm_push_transient(&native->obj);
        native->name = copy_string(fn.name, static_cast<int>(std::strlen(fn.name)));
        FunctionEntry& entry = function_table[function_count++];
        entry = FunctionEntry{};
        entry.name = fn.name;
        entry.name_len = static_cast<uint32_t>(std::strlen(fn.name));
        entry.callee = &native->obj;
        entry.param_count = fn.param_count;
        for (uint32_t p = 0; p < fn.param_count && p < STD_PARAMS_MAX; p++) entry.params[p] = fn.params[p];
        entry.has_return = 1;
        entry.return_type = fn.result;
        entry.checker = fn.check;
        entry.module_idx = module_idx;
        entry.exported = 1;
        vm_pop_transient();
    }
    if (module.on_import != nullptr) module.on_import();
    return true;
}

SigCheckResult std_check_ok(const StaticType& result) {
    SigCheckResult r{};
    r.ok = true;
    r.result_type = result;
    return r;
}

SigCheckResult std_check_fail(const char* format, ...) {
    SigCheckResult r{};
    r.ok = false;
    r.result_type = st_none();
    va_list args;
    va_start(args, format);
    std::vsnprintf(r.message, sizeof r.message, format, args);
    va_end(args);
    return r;
}

SigCheckResult std_check_signature(const FunctionEntry* entry, int arg_count, const StaticType* args) {
    SigCheckResult arity = sig_check_arity(entry->name, static_cast<int>(entry->param_count), arg_count);
    if (!arity.ok) return arity;
    for (uint32_t i = 0; i < entry->param_count; i++) {
        if (st_assignable(entry->params[i], args[i])) continue;
        return std_check_fail("argument %u of '%s' expects %s, got %s", i + 1, entry->name,
                              static_type_name(entry->params[i]), static_type_name(args[i]));
    }
    return std_check_ok(entry->return_type);
}
