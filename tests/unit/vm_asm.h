// A small bytecode assembler and a machine fixture for the interpreter tests:
// chunks are written by hand, run through the real dispatch loop, and their
// results read back from globals or their errors from standard error.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>

#include "diagnostics/diag.h"
#include "runtime/object.h"
#include "vm/vm.h"

// Builds one function. The function is pushed on the value stack as soon as it
// exists, so no collection can free it while the test assembles or runs it.
class Asm {
public:
    explicit Asm(const char* name = nullptr, int arity = 0) {
        fn = new_function();
        *vm.stack_top++ = obj_val(fn);
        fn->arity = arity;
        if (name != nullptr) fn->name = copy_string(name, static_cast<int>(std::strlen(name)));
    }

    // Source line of the instructions that follow.
    Asm& at(int line) {
        line_ = line;
        return *this;
    }
    Asm& op(OpCode code) {
        emit(code);
        return *this;
    }
    Asm& op(OpCode code, int operand) {
        emit(code);
        emit(static_cast<uint8_t>(operand));
        return *this;
    }
    Asm& op(OpCode code, int first, int second) {
        emit(code);
        emit(static_cast<uint8_t>(first));
        emit(static_cast<uint8_t>(second));
        return *this;
    }
    Asm& raw(int byte) {
        emit(static_cast<uint8_t>(byte));
        return *this;
    }
    int constant(Value v) { return chunk_add_constant(&fn->chunk, v); }
    Asm& k(Value v) { return op(OP_CONSTANT, chunk_add_constant(&fn->chunk, v)); }
    Asm& i(int64_t n) { return k(int_val(n)); }
    Asm& f(double d) { return k(float_val(d)); }
    Asm& s(const char* text) { return k(obj_val(copy_string(text, static_cast<int>(std::strlen(text))))); }
    Asm& fn_const(ObjFunction* function) { return k(obj_val(function)); }
    Asm& native(NativeFn function, uint32_t arity = 0) { return k(obj_val(new_native(function, arity))); }

    // OP_CLOSURE over function with (is_local, index) capture pairs.
    Asm& closure(ObjFunction* function, std::initializer_list<std::pair<int, int>> captures) {
        int index = chunk_add_constant(&fn->chunk, obj_val(function));
        op(OP_CLOSURE, index);
        emit(static_cast<uint8_t>(captures.size()));
        for (auto [is_local, slot] : captures) {
            emit(static_cast<uint8_t>(is_local));
            emit(static_cast<uint8_t>(slot));
        }
        return *this;
    }

    // Forward jump with a placeholder; returns the operand offset for patch().
    int jump(OpCode code) {
        emit(code);
        emit(0xff);
        emit(0xff);
        return fn->chunk.count - 2;
    }
    Asm& patch(int operand) {
        int distance = fn->chunk.count - operand - 2;
        fn->chunk.code[operand] = static_cast<uint8_t>(distance >> 8);
        fn->chunk.code[operand + 1] = static_cast<uint8_t>(distance & 0xff);
        return *this;
    }
    int here() const { return fn->chunk.count; }
    Asm& loop(int start) {
        emit(OP_LOOP);
        int distance = fn->chunk.count - start + 2;
        emit(static_cast<uint8_t>(distance >> 8));
        emit(static_cast<uint8_t>(distance & 0xff));
        return *this;
    }

    ObjFunction* fn;

private:
    void emit(uint8_t byte) { chunk_write(&fn->chunk, byte, line_); }
    int line_ = 1;
};

class VmTest : public testing::Test {
protected:
    void SetUp() override {
        diag_force_color_state(0);
        diag_init(nullptr, "test.vsr");
        vm_reset();
    }
    void TearDown() override {
        vm_reset();
        diag_init(nullptr, nullptr);
    }

    // Ends the script by storing the top of the stack in global 0, runs it and
    // returns that global.
    static Value result_of(Asm& script) {
        script.op(OP_SET_GLOBAL, 0).op(OP_RETURN_NO_VALUE);
        EXPECT_EQ(run_top_level_script(script.fn), INTERPRET_OK);
        return vm.globals[0];
    }

    // Runs a script that must fail and returns what it wrote to standard error.
    static std::string error_of(Asm& script) {
        script.op(OP_RETURN_NO_VALUE);
        testing::internal::CaptureStderr();
        int result = run_top_level_script(script.fn);
        std::string text = testing::internal::GetCapturedStderr();
        EXPECT_EQ(result, INTERPRET_RUNTIME_ERROR);
        EXPECT_EQ(vm.frame_count, 0);
        EXPECT_EQ(vm.stack_top, vm.stack);
        return text;
    }

    // The header line of an error block, without its newline.
    static std::string header(const std::string& block) { return block.substr(0, block.find('\n')); }

    static Value binary(Value a, Value b, OpCode code) {
        Asm script;
        script.k(a).k(b).op(code);
        return result_of(script);
    }
    static std::string binary_error(Value a, Value b, OpCode code) {
        Asm script;
        script.k(a).k(b).op(code);
        return header(error_of(script));
    }

    static int64_t int_result(int64_t a, int64_t b, OpCode code) {
        Value v = binary(int_val(a), int_val(b), code);
        EXPECT_TRUE(is_int(v));
        return as_int(v);
    }

    static std::string text_of(Value v) {
        EXPECT_TRUE(is_string(v));
        return std::string(as_string(v)->chars, static_cast<size_t>(as_string(v)->length));
    }

    static int count_of(const std::string& haystack, const std::string& needle) {
        int n = 0;
        for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) n++;
        return n;
    }
};
