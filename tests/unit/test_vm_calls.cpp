// Calls on hand-assembled chunks: frames and returns, closures and upvalues,
// natives and their error channel, callbacks through vm_call_closure, the frame
// and stack limits, and how run-time errors are rendered.
#include <string>

#include "vm_asm.h"

namespace {

bool native_add_one(int, Value* args, Value* result) {
    *result = int_val(as_int(args[0]) + 1);
    return true;
}

bool native_fail_with_message(int, Value*, Value*) {
    vm_set_native_error("bad input");
    return false;
}

bool native_fail_silently(int, Value*, Value*) { return false; }

bool native_fail_long(int, Value*, Value*) {
    std::string message(200, 'm');
    vm_set_native_error(message.c_str());
    return false;
}

// apply(f, args...) = f(args...), the way map, filter and reduce call back.
bool native_apply(int arg_count, Value* args, Value* result) {
    return vm_call_closure(args[0], arg_count - 1, args + 1, result);
}

// A careless native that ignores its callback's failure and calls it again.
bool native_apply_twice(int, Value* args, Value* result) {
    vm_call_closure(args[0], 0, nullptr, result);
    vm_call_closure(args[0], 0, nullptr, result);
    return true;
}

// A source of nine numbered lines, so blocks can show the failing line.
constexpr const char* NINE_LINES = "line one\nline two\nline three\nline four\nline five\n"
                                   "line six\nline seven\nline eight\nline nine\n";

// f(n) = n == 0 ? 0 : f(n - 1) + 1, with its call on line 4; f lives in global 1.
ObjFunction* counting_recursion(Asm& f) {
    f.at(2).op(OP_GET_LOCAL, 1).i(0).op(OP_EQUAL);
    int recurse = f.jump(OP_JUMP_IF_FALSE);
    f.op(OP_POP).i(0).op(OP_RETURN);
    f.patch(recurse).op(OP_POP);
    f.at(3).op(OP_GET_GLOBAL, 1).op(OP_GET_LOCAL, 1).i(1).op(OP_SUBTRACT);
    f.at(4).op(OP_CALL, 1);
    f.at(5).i(1).op(OP_ADD).op(OP_RETURN);
    return f.fn;
}

TEST_F(VmTest, CallsPassArgumentsAndReturnResults) {
    Asm add("add", 2);
    add.op(OP_GET_LOCAL, 1).op(OP_GET_LOCAL, 2).op(OP_SUBTRACT).op(OP_RETURN);
    Asm script;
    script.fn_const(add.fn).i(10).i(3).op(OP_CALL, 2);
    EXPECT_EQ(as_int(result_of(script)), 7);
    EXPECT_EQ(vm.frame_count, 0);
}

TEST_F(VmTest, NoValueReturnLeavesNothingBehind) {
    Asm nothing("nothing");
    nothing.i(99).op(OP_SET_GLOBAL, 1).op(OP_RETURN_NO_VALUE);
    Asm script;  // 7 stays on top: the call removed its callee and pushed nothing
    script.i(7).fn_const(nothing.fn).op(OP_CALL, 0);
    EXPECT_EQ(as_int(result_of(script)), 7);
    EXPECT_EQ(as_int(vm.globals[1]), 99);
}

TEST_F(VmTest, RecursiveCallsKeepTheirOwnFrames) {
    // fib(n) = n < 2 ? n : fib(n - 1) + fib(n - 2), with fib in global 1.
    Asm fib("fib", 1);
    fib.op(OP_GET_LOCAL, 1).i(2).op(OP_LESS);
    int recurse = fib.jump(OP_JUMP_IF_FALSE);
    fib.op(OP_POP).op(OP_GET_LOCAL, 1).op(OP_RETURN);
    fib.patch(recurse).op(OP_POP);
    fib.op(OP_GET_GLOBAL, 1).op(OP_GET_LOCAL, 1).i(1).op(OP_SUBTRACT).op(OP_CALL, 1);
    fib.op(OP_GET_GLOBAL, 1).op(OP_GET_LOCAL, 1).i(2).op(OP_SUBTRACT).op(OP_CALL, 1);
    fib.op(OP_ADD).op(OP_RETURN);
    Asm script;
    script.fn_const(fib.fn).op(OP_SET_GLOBAL, 1).op(OP_GET_GLOBAL, 1).i(20).op(OP_CALL, 1);
    EXPECT_EQ(as_int(result_of(script)), 6765);
}

TEST_F(VmTest, CapturedVariableOutlivesItsFrame) {
    // make_counter() { count = 0; return () => { count = count + 1; return count } }
    Asm inc;
    inc.op(OP_GET_UPVALUE, 0).i(1).op(OP_ADD).op(OP_SET_UPVALUE, 0).op(OP_GET_UPVALUE, 0).op(OP_RETURN);
    Asm make("make_counter");
    make.i(0).closure(inc.fn, {{1, 1}}).op(OP_GET_LOCAL, 2).op(OP_RETURN);
    Asm script;
    script.fn_const(make.fn).op(OP_CALL, 0).op(OP_SET_GLOBAL, 1);
    script.fn_const(make.fn).op(OP_CALL, 0).op(OP_SET_GLOBAL, 2);
    for (int call = 0; call < 3; call++) script.op(OP_GET_GLOBAL, 1).op(OP_CALL, 0).op(OP_POP);
    script.op(OP_GET_GLOBAL, 2).op(OP_CALL, 0).op(OP_SET_GLOBAL, 3);  // its own count
    script.op(OP_GET_GLOBAL, 1).op(OP_CALL, 0);
    EXPECT_EQ(as_int(result_of(script)), 4);
    EXPECT_EQ(as_int(vm.globals[3]), 1);
    EXPECT_EQ(vm.open_upvalues, nullptr);
}

TEST_F(VmTest, ClosuresShareOneCellAndInnerClosuresCopyIt) {
    // outer() { x = 10; set = (v) => x = v; get = () => () => x; ... }
    Asm set;
    set.op(OP_GET_LOCAL, 1).op(OP_SET_UPVALUE, 0).op(OP_RETURN_NO_VALUE);
    Asm read;
    read.op(OP_GET_UPVALUE, 0).op(OP_RETURN);
    Asm get;  // captures the enclosing closure's upvalue 0, not a local
    get.closure(read.fn, {{0, 0}}).op(OP_RETURN);
    Asm outer("outer");
    outer.i(10).closure(set.fn, {{1, 1}}).closure(get.fn, {{1, 1}});
    outer.op(OP_GET_LOCAL, 2).op(OP_SET_GLOBAL, 1).op(OP_GET_LOCAL, 3).op(OP_SET_GLOBAL, 2);
    outer.op(OP_RETURN_NO_VALUE);
    Asm script;
    script.fn_const(outer.fn).op(OP_CALL, 0);
    script.op(OP_GET_GLOBAL, 1).i(42).op(OP_CALL, 1);
    script.op(OP_GET_GLOBAL, 2).op(OP_CALL, 0).op(OP_CALL, 0);
    EXPECT_EQ(as_int(result_of(script)), 42);
    EXPECT_EQ(as_closure(vm.globals[1])->upvalues[0], as_closure(vm.globals[2])->upvalues[0]);
}

TEST_F(VmTest, CloseUpvalueKeepsTheValueWhenTheSlotIsReused) {
    Asm read;
    read.op(OP_GET_UPVALUE, 0).op(OP_RETURN);
    Asm script;  // slot 1 receives the closure; slot 2 is a block-scoped x = 5
    script.op(OP_NULL).i(5).closure(read.fn, {{1, 2}}).op(OP_SET_LOCAL, 1);
    script.op(OP_CLOSE_UPVALUE).i(99).op(OP_POP);
    script.op(OP_GET_LOCAL, 1).op(OP_CALL, 0);
    EXPECT_EQ(as_int(result_of(script)), 5);
}

TEST_F(VmTest, UpvalueReadWithoutAClosureIsReportedNotDereferenced) {
    Asm script;
    script.op(OP_GET_UPVALUE, 0);
    EXPECT_EQ(header(error_of(script)), "runtime error: internal: invalid upvalue read.");
}

TEST_F(VmTest, RuntimeErrorClosesOpenUpvalues) {
    // A closure over a top-level local survives the failing line with the value
    // its variable had, not whatever a later line puts into the reused slot.
    Asm read;
    read.op(OP_GET_UPVALUE, 0).op(OP_RETURN);
    Asm script;
    script.i(42).closure(read.fn, {{1, 1}}).op(OP_SET_GLOBAL, 1).i(1).i(0).op(OP_DIVIDE);
    error_of(script);
    EXPECT_EQ(vm.open_upvalues, nullptr);
    ObjUpvalue* cell = as_closure(vm.globals[1])->upvalues[0];
    EXPECT_EQ(cell->location, &cell->closed);
    for (Value* slot = vm.stack; slot < vm.stack + 16; slot++) *slot = int_val(-1);
    Value result = VALUE_NULL;
    ASSERT_TRUE(vm_call_closure(vm.globals[1], 0, nullptr, &result));
    EXPECT_EQ(as_int(result), 42);
}

TEST_F(VmTest, NativesSucceedOrReportTheirMessage) {
    Asm script;
    script.native(native_add_one, 1).i(41).op(OP_CALL, 1);
    EXPECT_EQ(as_int(result_of(script)), 42);

    Asm with_message;
    with_message.native(native_fail_with_message).op(OP_CALL, 0);
    EXPECT_EQ(header(error_of(with_message)), "runtime error: bad input");
    Asm silent;
    silent.native(native_fail_silently).op(OP_CALL, 0);
    EXPECT_EQ(header(error_of(silent)), "runtime error: internal: native function failed.");
    Asm long_message;  // cut to the channel's 159 characters
    long_message.native(native_fail_long).op(OP_CALL, 0);
    EXPECT_EQ(header(error_of(long_message)), "runtime error: " + std::string(VM_NATIVE_ERROR_MAX - 1, 'm'));

    Asm not_callable;
    not_callable.i(3).op(OP_CALL, 0);
    EXPECT_EQ(header(error_of(not_callable)), "runtime error: internal: only functions can be called.");
}

TEST_F(VmTest, NativeMessageDoesNotLeakIntoTheNextFailure) {
    Asm first;
    first.native(native_fail_with_message).op(OP_CALL, 0);
    error_of(first);
    Asm second;
    second.native(native_fail_silently).op(OP_CALL, 0);
    EXPECT_EQ(header(error_of(second)), "runtime error: internal: native function failed.");
}

TEST_F(VmTest, CallbacksRunThroughVmCallClosure) {
    Asm add("add", 2);
    add.op(OP_GET_LOCAL, 1).op(OP_GET_LOCAL, 2).op(OP_ADD).op(OP_RETURN);
    Asm script;  // 100 + apply(add, 2, 3)
    script.i(100).native(native_apply).fn_const(add.fn).i(2).i(3).op(OP_CALL, 3).op(OP_ADD);
    EXPECT_EQ(as_int(result_of(script)), 105);

    Asm nothing;
    nothing.op(OP_RETURN_NO_VALUE);
    Value result = int_val(5);
    Value* top = vm.stack_top;
    ASSERT_TRUE(vm_call_closure(obj_val(nothing.fn), 0, nullptr, &result));
    EXPECT_EQ(result, VALUE_NULL);
    EXPECT_EQ(vm.stack_top, top);
    EXPECT_EQ(vm.frame_count, 0);

    testing::internal::CaptureStderr();
    EXPECT_FALSE(vm_call_closure(int_val(1), 0, nullptr, &result));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(VmTest, CallbackErrorIsReportedOnce) {
    Asm divide("divide", 1);
    divide.at(3).op(OP_GET_LOCAL, 1).i(0).op(OP_DIVIDE).op(OP_RETURN);
    Asm script;
    script.at(8).native(native_apply).fn_const(divide.fn).i(1).op(OP_CALL, 2);
    std::string block = error_of(script);
    EXPECT_EQ(count_of(block, "runtime error"), 1) << block;
    EXPECT_EQ(header(block), "runtime error: integer division by zero.");
    EXPECT_NE(block.find("in function 'divide'"), std::string::npos);

    // The same when the callback's own failure came from a native, and when
    // callbacks nest: apply(wrapper) where wrapper() = apply(fails).
    Asm fails("fails");
    fails.native(native_fail_with_message).op(OP_CALL, 0).op(OP_RETURN);
    Asm wrapper("wrapper");
    wrapper.native(native_apply).fn_const(fails.fn).op(OP_CALL, 1).op(OP_RETURN);
    Asm nested;
    nested.native(native_apply).fn_const(wrapper.fn).op(OP_CALL, 1);
    block = error_of(nested);
    EXPECT_EQ(count_of(block, "runtime error"), 1) << block;
    EXPECT_EQ(header(block), "runtime error: bad input");

    // Once the error is reported nothing more runs, whatever the native does.
    Asm counts("counts");
    counts.op(OP_GET_GLOBAL, 1).i(1).op(OP_ADD).op(OP_SET_GLOBAL, 1).i(1).i(0).op(OP_DIVIDE).op(OP_RETURN);
    Asm careless;
    careless.i(0).op(OP_SET_GLOBAL, 1).native(native_apply_twice).fn_const(counts.fn).op(OP_CALL, 1);
    block = error_of(careless);
    EXPECT_EQ(count_of(block, "runtime error"), 1) << block;
    EXPECT_EQ(as_int(vm.globals[1]), 1);

    // The machine runs normally afterwards.
    Asm after;
    after.native(native_add_one).i(1).op(OP_CALL, 1);
    EXPECT_EQ(as_int(result_of(after)), 2);
}

TEST_F(VmTest, RecursionFillsExactlyTheFrameLimit) {
    // The top-level script is frame 1, so f can run 255 frames deep.
    Asm f("f", 1);
    counting_recursion(f);
    Asm script;
    script.fn_const(f.fn).op(OP_SET_GLOBAL, 1).op(OP_GET_GLOBAL, 1).i(VM_FRAMES_MAX - 2).op(OP_CALL, 1);
    EXPECT_EQ(as_int(result_of(script)), VM_FRAMES_MAX - 2);
}

TEST_F(VmTest, StackOverflowOnThe257thFrameAtTheCallsLine) {
    diag_init(NINE_LINES, "deep.vsr");
    Asm f("f", 1);
    counting_recursion(f);
    Asm script;
    script.at(9).fn_const(f.fn).op(OP_SET_GLOBAL, 1).op(OP_GET_GLOBAL, 1).i(VM_FRAMES_MAX - 1).op(OP_CALL, 1);
    script.op(OP_POP);
    EXPECT_EQ(error_of(script),
              "runtime error: Stack overflow.\n"
              "  --> deep.vsr:4:1\n"
              "   = in function 'f'\n"
              "   |\n"
              " 4 | line four\n"
              "   |\n");
}

TEST_F(VmTest, FramesFullOfLocalsStopAtTheFrameLimitNotPastTheStack) {
    // Each frame holds 250 locals, so 256 of them need far more than a small
    // stack; the error must still be the frame limit, with memory intact.
    vm.globals[VM_GLOBALS_MAX - 1] = int_val(12345);
    Asm g("g", 1);
    for (int i = 0; i < 250; i++) g.op(OP_NULL);
    g.op(OP_GET_GLOBAL, 1).op(OP_GET_LOCAL, 1).op(OP_CALL, 1).op(OP_RETURN);
    Asm script;
    script.fn_const(g.fn).op(OP_SET_GLOBAL, 1).op(OP_GET_GLOBAL, 1).i(0).op(OP_CALL, 1).op(OP_POP);
    EXPECT_EQ(header(error_of(script)), "runtime error: Stack overflow.");
    EXPECT_EQ(as_int(vm.globals[VM_GLOBALS_MAX - 1]), 12345);
}

TEST_F(VmTest, CallbackRecursionHitsTheFrameLimitOnce) {
    // h() = apply(h): every level is one frame pushed by vm_call_closure.
    Asm h("h");
    h.native(native_apply).op(OP_GET_GLOBAL, 1).op(OP_CALL, 1).op(OP_RETURN);
    Asm script;
    script.fn_const(h.fn).op(OP_SET_GLOBAL, 1).op(OP_GET_GLOBAL, 1).op(OP_CALL, 0).op(OP_POP);
    std::string block = error_of(script);
    EXPECT_EQ(count_of(block, "runtime error"), 1) << block;
    EXPECT_EQ(header(block), "runtime error: Stack overflow.");
}

TEST_F(VmTest, ErrorNoteNamesTheFunctionOnlyWhenItHasAName) {
    diag_init(NINE_LINES, "prog.vsr");
    Asm missing("g");
    missing.at(6).op(OP_MISSING_RETURN);
    Asm script;
    script.at(1).fn_const(missing.fn).op(OP_CALL, 0);
    EXPECT_EQ(error_of(script),
              "runtime error: function returned without a value.\n"
              "  --> prog.vsr:6:1\n"
              "   = in function 'g'\n"
              "   |\n"
              " 6 | line six\n"
              "   |\n");

    Asm top;
    top.at(2).i(1).i(0).op(OP_MODULO);
    EXPECT_EQ(error_of(top),
              "runtime error: modulo by zero.\n"
              "  --> prog.vsr:2:1\n"
              "   |\n"
              " 2 | line two\n"
              "   |\n");

    Asm lambda;  // a closure over a nameless function: no note either
    lambda.at(3).i(1).i(0).op(OP_DIVIDE);
    Asm calls_lambda;
    calls_lambda.closure(lambda.fn, {}).op(OP_CALL, 0);
    EXPECT_EQ(error_of(calls_lambda).find("in function"), std::string::npos);
}

TEST_F(VmTest, ErrorIsShownAgainstTheFailingFunctionsOwnSource) {
    diag_init(NINE_LINES, "main.vsr");
    Asm helper("helper");
    helper.fn->source = "first\nsecond\n";
    helper.fn->path = "lib.vsr";
    helper.at(2).i(1).i(0).op(OP_DIVIDE).op(OP_RETURN);
    Asm script;
    script.fn_const(helper.fn).op(OP_CALL, 0);
    std::string block = error_of(script);
    EXPECT_NE(block.find("  --> lib.vsr:2:1\n"), std::string::npos) << block;
    EXPECT_NE(block.find(" 2 | second\n"), std::string::npos) << block;
    EXPECT_STREQ(diag_file_path(), "main.vsr");
    EXPECT_EQ(diag_source(), NINE_LINES);
}

TEST_F(VmTest, ReadingAnUnsetGlobalIsAnError) {
    Asm script;
    script.op(OP_GET_GLOBAL, 5);
    std::string line = header(error_of(script));
    EXPECT_EQ(line.rfind("runtime error: global variable '", 0), 0u) << line;
    EXPECT_NE(line.find("' read before its declaration ran."), std::string::npos) << line;
}

TEST_F(VmTest, DisassemblerListsOperandsJumpTargetsAndCaptures) {
    Asm inner("inner");
    inner.op(OP_RETURN_NO_VALUE);
    Asm demo("demo");
    demo.at(1).i(7);
    int skip = demo.at(2).jump(OP_JUMP);
    demo.op(OP_POP);
    demo.patch(skip);
    demo.at(3).closure(inner.fn, {{1, 1}, {0, 2}}).op(OP_GET_LOCAL, 1).op(OP_RETURN_NO_VALUE);
    demo.raw(200);
    testing::internal::CaptureStderr();
    vm_disassemble_chunk(&demo.fn->chunk, "demo");
    std::string listing = testing::internal::GetCapturedStderr();
    EXPECT_EQ(listing,
              "== demo ==\n"
              "0000    1 OP_CONSTANT            0 7\n"
              "0002    2 OP_JUMP              0002 -> 0006\n"
              "0005    | OP_POP\n"
              "0006    3 OP_CLOSURE             1 <fn inner> captures 2\n"
              "0009    |   local 1\n"
              "0011    |   upvalue 2\n"
              "0013    | OP_GET_LOCAL           1\n"
              "0015    | OP_RETURN_NO_VALUE\n"
              "0016    | ? 200\n");
}

}  // namespace
