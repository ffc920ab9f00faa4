// A clean machine for tests of values, objects and the collector: every test
// starts with no objects, an empty stack and an empty registry, and frees what
// it made when it ends.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "runtime/object.h"
#include "vm/vm.h"

inline void reset_machine_state() {
    vm.objects = nullptr;
    vm.bytes_allocated = 0;
    vm.next_gc = VM_GC_MIN_THRESHOLD;
    vm.stack_top = vm.stack;
    vm.frame_count = 0;
    vm.open_upvalues = nullptr;
    for (Value& global : vm.globals) global = 0;
    vm_reset_registry();
}

class RuntimeTest : public testing::Test {
protected:
    void SetUp() override {
        vm_free_objects();
        reset_machine_state();
    }
    void TearDown() override {
        vm.stack_top = vm.stack;
        vm_free_objects();
        reset_machine_state();
    }

    static void push(Value v) { *vm.stack_top++ = v; }

    // Roots an object on the stack, so that a collection (at every allocation in
    // a stress build) cannot free it while the test still holds it.
    template <typename T>
    static T* keep(T* object) {
        push(obj_val(object));
        return object;
    }

    static int object_count() {
        int n = 0;
        for (Obj* o = vm.objects; o != nullptr; o = o->next) n++;
        return n;
    }

    static bool is_live(const void* object) {
        for (Obj* o = vm.objects; o != nullptr; o = o->next) {
            if (o == object) return true;
        }
        return false;
    }

    static std::string printed(Value v) {
        testing::internal::CaptureStdout();
        value_print(v);
        return testing::internal::GetCapturedStdout();
    }

    // A rooted string.
    static ObjString* str(const char* text) {
        return keep(copy_string(text, static_cast<int>(std::char_traits<char>::length(text))));
    }
};
