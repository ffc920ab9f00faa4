// Result values: the constructors ok(x) and err(x) with the static types they
// produce, and the members .value and .error, which may only be read where a
// test has proved which of the two a Result is.
#include <string_view>

#include "compiler/compiler_internal.h"

// Shown with every unproven .value or .error: the test that makes it legal.
static const char* const RESULT_NARROW_HELP =
    "check it first, e.g. if (<var> is ok) { <var>.value } else { <var>.error }";

// ok(x): the ok value must be a plain base value. Whatever went wrong, the
// Result is still built and typed, so checking carries on past the call.
void ok_constructor() {
    consume(TOKEN_LEFT_PAREN, "Expect '(' after 'ok'.");
    expression();
    StaticType x = pop_type();
    consume(TOKEN_RIGHT_PAREN, "Expect ')' after ok argument.");
    // The error type stays open: ok(1) fits Result<int> and Result<int, E> alike.
    StaticType result = st_of_kind(TYPE_RESULT, BASE_INT, RESULT_ERROR_OPEN);
    if (x.kind != TYPE_BASE) {
        report_at_previous("ok requires a base-type value, got %s", static_type_name(x));
    } else if (x.base == BASE_NONE) {
        report_at_previous("cannot use no-value as ok argument.");
    } else if (x.nullable) {
        report_at_previous("nullable types inside Result<...> are not supported in 9a.");
        result.base = x.base;
    } else if (x.base == BASE_NULL) {
        report_at_previous("ok(null) is not allowed; use a typed value or err(...) for absence.");
    } else {
        result.base = x.base;
    }
    emit_byte(OP_OK);
    push_type(result);
}

// err(x): a string error, or a struct instance for Result<T, E>. The ok type
// is not known here; the context that receives the Result fixes it.
void err_constructor() {
    consume(TOKEN_LEFT_PAREN, "Expect '(' after 'err'.");
    expression();
    StaticType x = pop_type();
    consume(TOKEN_RIGHT_PAREN, "Expect ')' after err argument.");
    int32_t error_index = -1;
    if (x.kind == TYPE_STRUCT && x.index >= 0 && x.index < struct_count) {
        // The Result keeps its own copy: later changes to the instance the
        // program still holds must not reach the error.
        emit_byte(OP_COPY_STRUCT);
        error_index = x.index;
    } else if (!(st_is_base(x, BASE_STRING) && !x.nullable)) {
        report_at_previous("err expects a string (Result<T>) or struct instance (Result<T,E>), got %s",
                           static_type_name(x));
    }
    emit_byte(OP_ERR);
    push_type(st_of_kind(TYPE_RESULT_ANY, BASE_NONE, error_index));
}

// The type of a Result's error: its struct when it has one, else string.
StaticType result_error_type(const StaticType& result) {
    if (result.index >= 0) return st_of_kind(TYPE_STRUCT, BASE_NONE, result.index);
    return st_base(BASE_STRING);
}

// The two members of a Result.
static constexpr std::string_view RESULT_VALUE = "value";
static constexpr std::string_view RESULT_ERROR = "error";

std::vector<std::string_view> result_member_names() { return {RESULT_VALUE, RESULT_ERROR}; }

void result_member(const StaticType& receiver, const Token& member) {
    const int n = static_cast<int>(member.length);
    const std::string_view name(member.start, member.length);
    if (name == RESULT_VALUE) {
        if (receiver.result_state != 1) {
            report_at(member, RESULT_NARROW_HELP, "'.value' requires r to be narrowed to ok (use if (r is ok))");
        }
        emit_byte(OP_RESULT_VALUE);
        push_type(st_base(receiver.base));
        return;
    }
    if (name == RESULT_ERROR) {
        if (receiver.result_state != 2) {
            report_at(member, RESULT_NARROW_HELP,
                      "'.error' requires r to be narrowed to err (use if (r is err) or the else of if (r is ok))");
        }
        emit_byte(OP_RESULT_ERROR);
        push_type(result_error_type(receiver));
        return;
    }
    report_at(member, nullptr, "Result only supports '.value' and '.error', got '.%.*s'", n, member.start);
    push_type(st_int());
}
