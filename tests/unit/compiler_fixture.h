// A fixture for compiler tests: compiles source text on a clean machine and
// renders the resulting bytecode as one readable line per instruction, with
// jump targets as absolute offsets and constants shown by value.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "compiler/compiler.h"
#include "runtime_fixture.h"

class CompilerTest : public RuntimeTest {
protected:
    // The tables name objects that the machine's teardown frees.
    void TearDown() override {
        compiler_forget_tables();
        RuntimeTest::TearDown();
    }

    // The main script of a program, or null after a compile error (whose
    // diagnostics go to errors_).
    ObjFunction* compile_program(const char* source) {
        // A real run resets the machine before each compilation; without it a
        // test that compiles many programs fills the native registry, and the
        // natives past its end would not be roots.
        vm_reset_registry();
        testing::internal::CaptureStderr();
        ObjFunction* fn = compile(source, "test.vsr");
        errors_ = testing::internal::GetCapturedStderr();
        return fn;
    }

    // One REPL line on a prompt started by the first call.
    ObjFunction* compile_line(const char* line) {
        if (!repl_started_) {
            compile_repl_begin();
            repl_started_ = true;
        }
        testing::internal::CaptureStderr();
        ObjFunction* fn = compile_repl_line(line);
        errors_ = testing::internal::GetCapturedStderr();
        return fn;
    }

    static std::string constant_text(Value v) {
        if (is_obj(v) && obj_kind(v) == OBJ_FUNCTION) return "<fn>";
        if (is_obj(v) && obj_kind(v) == OBJ_NATIVE) {
            ObjNative* n = as_native(v);
            return "<native " + std::string(n->name->chars, static_cast<size_t>(n->name->length)) + ">";
        }
        if (is_string(v)) return "\"" + std::string(as_string(v)->chars) + "\"";
        testing::internal::CaptureStdout();
        value_print(v);
        return testing::internal::GetCapturedStdout();
    }

    // "offset NAME operands" per instruction, one per line.
    static std::string listing(const ObjFunction* fn) {
        const Chunk& c = fn->chunk;
        std::string out;
        int i = 0;
        while (i < c.count) {
            int op = c.code[i];
            std::string name = opcode_name(op);
            if (name.rfind("OP_", 0) == 0) name = name.substr(3);
            std::string line = std::to_string(i) + " " + name;
            if (op == OP_JUMP || op == OP_JUMP_IF_FALSE || op == OP_LOOP) {
                int distance = (c.code[i + 1] << 8) | c.code[i + 2];
                int target = op == OP_LOOP ? i + 3 - distance : i + 3 + distance;
                line += " ->" + std::to_string(target);
                i += 3;
            } else if (op == OP_CONSTANT) {
                line += " " + constant_text(c.constants[c.code[i + 1]]);
                i += 2;
            } else if (is_typed_opcode(op) && (typed_form(op) == FORM_K || typed_form(op) == FORM_LK)) {
                // A fused constant is shown by its value, like OP_CONSTANT's.
                int operands = opcode_operand_bytes(op);
                if (operands == 2) line += " " + std::to_string(c.code[i + 1]);
                line += " " + constant_text(c.constants[c.code[i + operands]]);
                i += 1 + operands;
            } else if (op == OP_CLOSURE) {
                int count = c.code[i + 2];
                line += " " + std::to_string(c.code[i + 1]) + " " + std::to_string(count);
                for (int k = 0; k < count; k++) {
                    line += " (" + std::to_string(c.code[i + 3 + 2 * k]) + "," + std::to_string(c.code[i + 4 + 2 * k]) +
                            ")";
                }
                i += 3 + 2 * count;
            } else {
                int operands = opcode_operand_bytes(op);
                for (int k = 1; k <= operands; k++) line += " " + std::to_string(c.code[i + k]);
                i += 1 + (operands > 0 ? operands : 0);
            }
            out += line + "\n";
        }
        return out;
    }

    // The function constant at a pool index of fn.
    static ObjFunction* constant_function(const ObjFunction* fn, int index) {
        Value v = fn->chunk.constants[index];
        return is_obj(v) && obj_kind(v) == OBJ_FUNCTION ? as_function(v) : nullptr;
    }

    std::string errors_;
    bool repl_started_ = false;
};
