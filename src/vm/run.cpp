// Top-level execution: the machine reset, running a whole program (imported
// modules' scripts first, then the main script), checking without running, and
// the machine side of the REPL.
#include "compiler/compiler.h"
#include "vm/vm.h"

void vm_reset() {
    // A reset after an unfinished run must not leak that run's objects.
    if (vm.objects != nullptr) vm_free_objects();
    vm.objects = nullptr;
    vm.bytes_allocated = 0;
    vm.next_gc = VM_GC_MIN_THRESHOLD;
    vm_reset_registry();
    vm.stack_top = vm.stack;
    vm.frame_count = 0;
    vm.open_upvalues = nullptr;
    vm_callback_error_reported = false;
    // Unset rather than zero, so a read before the declaration ran is reported
    // instead of yielding a float 0.0 that no program wrote.
    for (Value& global : vm.globals) global = VALUE_UNSET_GLOBAL;
}

namespace {

// Everything a run allocated goes at its end; globals may still name freed
// objects, so the next run's reset clears them before they are read.
void free_run_objects() {
    vm_free_objects();
    vm.objects = nullptr;
    vm.stack_top = vm.stack;
    vm.frame_count = 0;
    vm.open_upvalues = nullptr;
}

}  // namespace

int run_top_level_script(ObjFunction* function) {
    int base = vm.frame_count;
    if (base >= VM_FRAMES_MAX || vm.stack_top > vm.stack + (VM_STACK_MAX - VM_FRAME_SLOTS_MAX)) {
        runtime_error("Stack overflow.");
        return INTERPRET_RUNTIME_ERROR;
    }
    Value* slots = vm.stack_top;
    *vm.stack_top++ = obj_val(function);
    CallFrame* frame = &vm.frames[base];
    frame->function = function;
    frame->ip = function->chunk.code;
    frame->slots = slots;
    frame->closure = nullptr;
    vm.frame_count = base + 1;
    return run_to(base);
}

int vm_interpret(const char* source, const char* path) {
    vm_reset();
    ObjFunction* main_script = compile(source, path);
    if (main_script == nullptr) {
        free_run_objects();
        return INTERPRET_COMPILE_ERROR;
    }
    // Each module runs once, after the modules it imports; a module that did
    // not compile has no script (the compile then failed as a whole anyway).
    int modules = compiler_imported_module_count();
    for (int i = 0; i < modules; i++) {
        ObjFunction* script = compiler_imported_module_script(i);
        if (script == nullptr) continue;
        if (run_top_level_script(script) != INTERPRET_OK) {
            free_run_objects();
            return INTERPRET_RUNTIME_ERROR;
        }
    }
    int result = run_top_level_script(main_script);
    free_run_objects();
    return result;
}

int vm_check(const char* source, const char* path) {
    vm_reset();
    ObjFunction* main_script = compile(source, path);
    free_run_objects();
    return main_script != nullptr ? INTERPRET_OK : INTERPRET_COMPILE_ERROR;
}

// Entries of the module execution order whose top-level code the REPL has
// already run: a module imported at the prompt runs once, on its first import.
static int g_repl_modules_run = 0;

void vm_repl_begin() {
    vm_reset();
    compile_repl_begin();
    g_repl_modules_run = 0;
}

int vm_repl_eval(const char* line) {
    // Frames and stack start empty; globals, objects and natives carry over so
    // that every line sees what the earlier lines stored.
    vm.frame_count = 0;
    vm.open_upvalues = nullptr;
    vm.stack_top = vm.stack;
    ObjFunction* script = compile_repl_line(line);
    if (script == nullptr) return INTERPRET_COMPILE_ERROR;
    // Modules this line imported for the first time run before it, so that
    // their globals hold values when the line reads them.
    int modules = compiler_imported_module_count();
    while (g_repl_modules_run < modules) {
        ObjFunction* module_script = compiler_imported_module_script(g_repl_modules_run++);
        if (module_script == nullptr) continue;
        if (run_top_level_script(module_script) != INTERPRET_OK) return INTERPRET_RUNTIME_ERROR;
    }
    return run_top_level_script(script);
}

void vm_repl_end() {
    free_run_objects();
    vm_reset_registry();
    // The tables name the objects just freed and hold the imported modules' texts.
    compiler_forget_tables();
}
