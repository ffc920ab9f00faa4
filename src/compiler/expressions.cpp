// The Pratt parser and expression compiler: the parse-rule table, literals,
// unary and binary operators with their type checks, && and ||, grouping, the
// emitters with their limits, the nesting bound, and the expression statement.
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "compiler/compiler_internal.h"
#include "runtime/memory.h"
#include "vm/vm.h"

// ---------------------------------------------------------------------------
// Reporting and the nesting bound
// ---------------------------------------------------------------------------

// Long enough for every message with two or three type names and a name.
static constexpr int MESSAGE_MAX = 256;

void report_at(const Token& token, const char* help, const char* format, ...) {
    if (parser.panic_mode) return;
    char message[MESSAGE_MAX];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    error_at_token_help(token, message, help);
}

void report_at_previous(const char* format, ...) {
    if (parser.panic_mode) return;
    char message[MESSAGE_MAX];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    error_at_token_help(parser.previous, message, nullptr);
}

void report_at_current(const char* format, ...) {
    if (parser.panic_mode) return;
    char message[MESSAGE_MAX];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    error_at_token_help(parser.current, message, nullptr);
}

bool g_compile_abandoned = false;
static int g_nesting_depth = 0;

void compile_abandon_nesting() {
    if (g_compile_abandoned) return;
    error_at_current("Nesting too deep.");
    // Whatever follows is skipped: every construct still open then meets the end
    // of the text and unwinds, and panic mode stays on so nothing more is said.
    g_compile_abandoned = true;
    parser.had_error = 1;
    parser.panic_mode = 1;
    while (parser.current.type != TOKEN_EOF) advance();
}

bool nesting_enter() {
    if (g_nesting_depth >= NESTING_MAX) {
        compile_abandon_nesting();
        return false;
    }
    g_nesting_depth++;
    return true;
}

void nesting_leave() {
    if (g_nesting_depth > 0) g_nesting_depth--;
}

void clear_panic() {
    if (!g_compile_abandoned) parser.panic_mode = 0;
}

// Called by the driver at the start of every module's passes.
void compile_reset_nesting() {
    g_nesting_depth = 0;
    g_compile_abandoned = false;
}

// ---------------------------------------------------------------------------
// Emitters
// ---------------------------------------------------------------------------

Chunk* current_chunk() { return &current->function->chunk; }

static int emit_line() {
    int line = static_cast<int>(parser.previous.line);
    if (line < 1) line = static_cast<int>(parser.current.line);
    return line < 1 ? 1 : line;
}

void emit_byte(uint8_t byte) { chunk_write(current_chunk(), byte, emit_line()); }

// An opcode and its one-byte operand. Loads and field stores are noted for the
// fusions of typed_emit.cpp, so `a` must be an opcode.
void emit_bytes(uint8_t a, uint8_t b) {
    emit_byte(a);
    emit_byte(b);
    if (a == OP_GET_LOCAL || a == OP_CONSTANT) {
        current->load_end[1] = current->load_end[0];
        current->load_end[0] = current_chunk()->count;
    } else if (a == OP_SET_FIELD) {
        current->set_field_end = current_chunk()->count;
    }
}

bool emit_constant(Value value) {
    // A new object is reachable only from the pool once added; growing the pool
    // may collect, so the object is held as a root meanwhile.
    bool rooted = is_obj(value);
    if (rooted) vm_push_transient(as_obj(value));
    int index = chunk_add_constant(current_chunk(), value);
    if (rooted) vm_pop_transient();
    if (index >= CHUNK_MAX_CONSTANTS) {
        error("Too many constants in one chunk.");
        return false;
    }
    emit_bytes(OP_CONSTANT, static_cast<uint8_t>(index));
    return true;
}

int emit_jump(uint8_t op) {
    emit_byte(op);
    emit_byte(0xff);
    emit_byte(0xff);
    return current_chunk()->count - 2;
}

void patch_jump(int offset) {
    Chunk* chunk = current_chunk();
    int distance = chunk->count - offset - 2;
    if (distance > CHUNK_MAX_JUMP) {
        error("Too much code to jump over.");
        return;
    }
    chunk->code[offset] = static_cast<uint8_t>((distance >> 8) & 0xff);
    chunk->code[offset + 1] = static_cast<uint8_t>(distance & 0xff);
    current->jump_target = chunk->count;
}

void emit_loop(int loop_start) {
    emit_byte(OP_LOOP);
    int distance = current_chunk()->count - loop_start + 2;
    if (distance > CHUNK_MAX_JUMP) {
        error("Loop body too large.");
        return;
    }
    emit_byte(static_cast<uint8_t>((distance >> 8) & 0xff));
    emit_byte(static_cast<uint8_t>(distance & 0xff));
}

const char* op_symbol_str(uint32_t token_type) {
    switch (token_type) {
        case TOKEN_PLUS: return "+";
        case TOKEN_MINUS: return "-";
        case TOKEN_STAR: return "*";
        case TOKEN_SLASH: return "/";
        case TOKEN_PERCENT: return "%";
        case TOKEN_STAR_STAR: return "**";
        case TOKEN_AMP: return "&";
        case TOKEN_PIPE: return "|";
        case TOKEN_CARET: return "^";
        case TOKEN_TILDE: return "~";
        case TOKEN_LESS_LESS: return "<<";
        case TOKEN_GREATER_GREATER: return ">>";
        case TOKEN_EQUAL_EQUAL: return "==";
        case TOKEN_BANG_EQUAL: return "!=";
        case TOKEN_LESS: return "<";
        case TOKEN_LESS_EQUAL: return "<=";
        case TOKEN_GREATER: return ">";
        case TOKEN_GREATER_EQUAL: return ">=";
        case TOKEN_AMP_AMP: return "&&";
        case TOKEN_PIPE_PIPE: return "||";
        default: return "?";
    }
}

// ---------------------------------------------------------------------------
// Literals
// ---------------------------------------------------------------------------

static void integer() {
    // The token holds only digits and is followed by a non-digit, so the
    // conversion stops at its end.
    errno = 0;
    long long n = std::strtoll(parser.previous.start, nullptr, 10);
    if (errno == ERANGE) {
        error("Integer literal out of range.");
    } else {
        emit_constant(int_val(static_cast<int64_t>(n)));
    }
    push_type(st_int());
}

static void float_literal() {
    // The conversion would read on past the token (1.5e3 is the float 1.5 and
    // then the name e3), so it gets a copy of the token alone.
    const Token& t = parser.previous;
    char small[64];
    char* text = t.length < sizeof small ? small : static_cast<char*>(mem_alloc(t.length + 1));
    std::memcpy(text, t.start, t.length);
    text[t.length] = '\0';
    errno = 0;
    double d = std::strtod(text, nullptr);
    if (text != small) mem_free(text);
    if (errno == ERANGE) {
        error("Float literal out of range.");
    } else {
        emit_constant(float_val(d));
    }
    push_type(st_base(BASE_FLOAT));
}

static void string_literal() {
    const Token& t = parser.previous;
    ObjString* s = copy_string_decoded(t.start + 1, static_cast<int>(t.length) - 2);
    emit_constant(obj_val(s));
    push_type(st_base(BASE_STRING));
}

static void boolean() {
    emit_constant(bool_val(parser.previous.type == TOKEN_TRUE));
    push_type(st_bool());
}

static void null_literal() {
    emit_byte(OP_NULL);
    push_type(st_base(BASE_NULL));
}

// ---------------------------------------------------------------------------
// Operators
// ---------------------------------------------------------------------------

static const char* const NARROW_HELP = "check it first, e.g. if (<var> != null) { ... }";

static bool is_null_or_nullable(const StaticType& t) { return t.base == BASE_NULL || t.nullable; }

static void unary() {
    uint32_t op = parser.previous.type;
    const char* sym = op == TOKEN_MINUS ? "-" : op == TOKEN_BANG ? "!" : "~";
    parse_precedence(PREC_UNARY);
    StaticType t = pop_type();
    StaticType fallback = op == TOKEN_BANG ? st_bool() : st_int();
    if (t.kind != TYPE_BASE) {
        report_at_previous("operand of unary '%s' is %s", sym, static_type_name(t));
        push_type(fallback);
        return;
    }
    if (is_null_or_nullable(t)) {
        report_at(parser.previous, NARROW_HELP, "operand of unary '%s' is %s; narrowing required (added in 8b)", sym,
                  static_type_name(t));
        push_type(fallback);
        return;
    }
    switch (op) {
        case TOKEN_MINUS:
            if (t.base == BASE_INT || t.base == BASE_FLOAT) {
                emit_byte(OP_NEGATE);
            } else {
                report_at_previous("cannot apply unary '-' to %s", static_type_name(t));
            }
            push_type(t);
            return;
        case TOKEN_BANG:
            if (t.base == BASE_BOOL) {
                emit_byte(OP_NOT);
            } else {
                report_at_previous("cannot apply '!' to %s", static_type_name(t));
            }
            push_type(st_bool());
            return;
        default:
            if (t.base == BASE_INT) {
                emit_byte(OP_BIT_NOT);
            } else {
                report_at_previous("bitwise '~' requires int operand, got %s", static_type_name(t));
            }
            push_type(st_int());
            return;
    }
}

// The help line for an int/float mix, or null.
static const char* int_float_help(const StaticType& l, const StaticType& r, const char* sym, char* buf, size_t cap) {
    if (l.base == BASE_INT && r.base == BASE_FLOAT) {
        std::snprintf(buf, cap, "convert explicitly, e.g. to_float(intExpr) %s floatExpr", sym);
        return buf;
    }
    if (l.base == BASE_FLOAT && r.base == BASE_INT) {
        std::snprintf(buf, cap, "convert explicitly, e.g. floatExpr %s to_float(intExpr)", sym);
        return buf;
    }
    return nullptr;
}

static void cannot_apply(const char* sym, const StaticType& l, const StaticType& r, bool with_help) {
    char help[96];
    const char* h = with_help ? int_float_help(l, r, sym, help, sizeof help) : nullptr;
    report_at(parser.previous, h, "cannot apply '%s' to %s and %s", sym, static_type_name(l), static_type_name(r));
}

static void equality(uint32_t op, const StaticType& l, const StaticType& r) {
    const char* sym = op_symbol_str(op);
    if (st_is_none(l) && st_is_none(r)) {
        // Neither side leaves a value on the stack: there is nothing to compare.
        cannot_apply(sym, l, r, false);
        push_type(st_bool());
        return;
    }
    if (l.kind != TYPE_BASE || r.kind != TYPE_BASE) {
        cannot_apply(sym, l, r, false);
    } else if (l.base == BASE_NULL && r.base == BASE_NULL) {
        // null == null is allowed.
    } else if (l.base == BASE_NULL || r.base == BASE_NULL) {
        const StaticType& other = l.base == BASE_NULL ? r : l;
        if (!other.nullable) {
            report_at_previous("'%s' is never null; comparison is meaningless", static_type_name(other));
        }
    } else if (l.nullable && r.nullable) {
        if (l.base != r.base) cannot_apply(sym, l, r, false);
    } else if (l.nullable || r.nullable) {
        report_at(parser.previous, NARROW_HELP, "cannot apply '%s' to %s and %s (narrow the nullable first)", sym,
                  static_type_name(l), static_type_name(r));
    } else if (l.base != r.base) {
        cannot_apply(sym, l, r, true);
    }
    bool ints = l.kind == TYPE_BASE && r.kind == TYPE_BASE && l.base == BASE_INT && r.base == BASE_INT &&
                !l.nullable && !r.nullable;
    emit_binary_op(OP_EQUAL, ints ? BASE_INT : BASE_NONE);
    if (op == TOKEN_BANG_EQUAL) emit_byte(OP_NOT);
    push_type(st_bool());
}

static bool is_bitwise(uint32_t op) {
    return op == TOKEN_AMP || op == TOKEN_PIPE || op == TOKEN_CARET || op == TOKEN_LESS_LESS ||
           op == TOKEN_GREATER_GREATER;
}

static bool is_comparison(uint32_t op) {
    return op == TOKEN_LESS || op == TOKEN_LESS_EQUAL || op == TOKEN_GREATER || op == TOKEN_GREATER_EQUAL;
}

static uint8_t arithmetic_opcode(uint32_t op) {
    switch (op) {
        case TOKEN_PLUS: return OP_ADD;
        case TOKEN_MINUS: return OP_SUBTRACT;
        case TOKEN_STAR: return OP_MULTIPLY;
        case TOKEN_SLASH: return OP_DIVIDE;
        case TOKEN_PERCENT: return OP_MODULO;
        default: return OP_POWER;
    }
}

static uint8_t bitwise_opcode(uint32_t op) {
    switch (op) {
        case TOKEN_AMP: return OP_BIT_AND;
        case TOKEN_PIPE: return OP_BIT_OR;
        case TOKEN_CARET: return OP_BIT_XOR;
        case TOKEN_LESS_LESS: return OP_SHIFT_LEFT;
        default: return OP_SHIFT_RIGHT;
    }
}

static void binary() {
    uint32_t op = parser.previous.type;
    const ParseRule* rule = get_rule(op);
    if (op == TOKEN_STAR_STAR) {
        // Right operand at the same level: 2 ** 3 ** 2 is 2 ** 9.
        parse_precedence(PREC_POWER);
    } else {
        parse_precedence(static_cast<Precedence>(rule->precedence + 1));
    }
    StaticType r = pop_type();
    StaticType l = pop_type();
    if (op == TOKEN_EQUAL_EQUAL || op == TOKEN_BANG_EQUAL) {
        equality(op, l, r);
        return;
    }
    const char* sym = op_symbol_str(op);
    StaticType failed = is_comparison(op) ? st_bool() : is_bitwise(op) ? st_int() : st_base(l.base);
    if (l.kind != TYPE_BASE || r.kind != TYPE_BASE) {
        cannot_apply(sym, l, r, false);
        push_type(st_int());
        return;
    }
    if (is_null_or_nullable(l) || is_null_or_nullable(r)) {
        const StaticType& named = is_null_or_nullable(l) ? l : r;
        report_at(parser.previous, NARROW_HELP, "operand of '%s' is %s; narrowing required (added in 8b)", sym,
                  static_type_name(named));
        push_type(st_int());
        return;
    }
    if (is_bitwise(op)) {
        if (l.base == BASE_INT && r.base == BASE_INT) {
            emit_binary_op(bitwise_opcode(op), BASE_INT);
        } else {
            report_at_previous("bitwise '%s' requires int operands, got %s and %s", sym, static_type_name(l),
                               static_type_name(r));
        }
        push_type(st_int());
        return;
    }
    bool numeric = l.base == r.base && (l.base == BASE_INT || l.base == BASE_FLOAT);
    if (is_comparison(op)) {
        if (!numeric) {
            cannot_apply(sym, l, r, true);
        } else if (op == TOKEN_LESS || op == TOKEN_GREATER_EQUAL) {
            emit_binary_op(OP_LESS, l.base);
            if (op == TOKEN_GREATER_EQUAL) emit_byte(OP_NOT);
        } else {
            emit_binary_op(OP_GREATER, l.base);
            if (op == TOKEN_LESS_EQUAL) emit_byte(OP_NOT);
        }
        push_type(st_bool());
        return;
    }
    bool fits = numeric || (op == TOKEN_PLUS && l.base == BASE_STRING && r.base == BASE_STRING);
    if (!fits) {
        cannot_apply(sym, l, r, true);
        push_type(failed);
        return;
    }
    emit_binary_op(arithmetic_opcode(op), l.base);
    push_type(l);
}

static void and_op() {
    StaticType l = pop_type();
    int end_jump = emit_jump(OP_JUMP_IF_FALSE);
    emit_byte(OP_POP);
    parse_precedence(PREC_AND);
    StaticType r = pop_type();
    patch_jump(end_jump);
    if (!st_is_plain_bool(l) || !st_is_plain_bool(r)) {
        report_at_previous("cannot apply '&&' to %s and %s", static_type_name(l), static_type_name(r));
    }
    push_type(st_bool());
}

static void or_op() {
    StaticType l = pop_type();
    int else_jump = emit_jump(OP_JUMP_IF_FALSE);
    int end_jump = emit_jump(OP_JUMP);
    patch_jump(else_jump);
    emit_byte(OP_POP);
    parse_precedence(PREC_OR);
    StaticType r = pop_type();
    patch_jump(end_jump);
    if (!st_is_plain_bool(l) || !st_is_plain_bool(r)) {
        report_at_previous("cannot apply '||' to %s and %s", static_type_name(l), static_type_name(r));
    }
    push_type(st_bool());
}

static void grouping() {
    if (grouping_is_lambda()) {
        lambda_compile();
        return;
    }
    expression();
    consume(TOKEN_RIGHT_PAREN, "Expect ')' after expression.");
}

// ---------------------------------------------------------------------------
// The rule table and the parse loop
// ---------------------------------------------------------------------------

static constexpr std::array<ParseRule, TOKEN_TYPE_COUNT> make_rules() {
    std::array<ParseRule, TOKEN_TYPE_COUNT> r{};
    for (ParseRule& row : r) row = ParseRule{nullptr, nullptr, PREC_NONE};
    r[TOKEN_INT_LITERAL] = {integer, nullptr, PREC_NONE};
    r[TOKEN_FLOAT_LITERAL] = {float_literal, nullptr, PREC_NONE};
    r[TOKEN_STRING_LITERAL] = {string_literal, nullptr, PREC_NONE};
    r[TOKEN_TRUE] = {boolean, nullptr, PREC_NONE};
    r[TOKEN_FALSE] = {boolean, nullptr, PREC_NONE};
    r[TOKEN_NULL] = {null_literal, nullptr, PREC_NONE};
    r[TOKEN_OK] = {ok_constructor, nullptr, PREC_NONE};
    r[TOKEN_ERR] = {err_constructor, nullptr, PREC_NONE};
    r[TOKEN_IDENTIFIER] = {variable, nullptr, PREC_NONE};
    r[TOKEN_PLUS] = {nullptr, binary, PREC_TERM};
    r[TOKEN_MINUS] = {unary, binary, PREC_TERM};
    r[TOKEN_STAR] = {nullptr, binary, PREC_FACTOR};
    r[TOKEN_SLASH] = {nullptr, binary, PREC_FACTOR};
    r[TOKEN_PERCENT] = {nullptr, binary, PREC_FACTOR};
    r[TOKEN_STAR_STAR] = {nullptr, binary, PREC_POWER};
    r[TOKEN_AMP] = {nullptr, binary, PREC_BIT_AND};
    r[TOKEN_PIPE] = {nullptr, binary, PREC_BIT_OR};
    r[TOKEN_CARET] = {nullptr, binary, PREC_BIT_XOR};
    r[TOKEN_TILDE] = {unary, nullptr, PREC_NONE};
    r[TOKEN_LESS_LESS] = {nullptr, binary, PREC_SHIFT};
    r[TOKEN_GREATER_GREATER] = {nullptr, binary, PREC_SHIFT};
    r[TOKEN_EQUAL_EQUAL] = {nullptr, binary, PREC_EQUALITY};
    r[TOKEN_BANG_EQUAL] = {nullptr, binary, PREC_EQUALITY};
    r[TOKEN_IS] = {nullptr, is_op, PREC_EQUALITY};
    r[TOKEN_BANG] = {unary, nullptr, PREC_NONE};
    r[TOKEN_LESS] = {nullptr, binary, PREC_COMPARISON};
    r[TOKEN_LESS_EQUAL] = {nullptr, binary, PREC_COMPARISON};
    r[TOKEN_GREATER] = {nullptr, binary, PREC_COMPARISON};
    r[TOKEN_GREATER_EQUAL] = {nullptr, binary, PREC_COMPARISON};
    r[TOKEN_AMP_AMP] = {nullptr, and_op, PREC_AND};
    r[TOKEN_PIPE_PIPE] = {nullptr, or_op, PREC_OR};
    r[TOKEN_LEFT_PAREN] = {grouping, call_infix, PREC_CALL};
    r[TOKEN_LEFT_BRACKET] = {array_literal, index_op, PREC_CALL};
    r[TOKEN_LEFT_BRACE] = {map_literal, nullptr, PREC_NONE};
    r[TOKEN_DOT] = {nullptr, dot_op, PREC_CALL};
    return r;
}

static constexpr std::array<ParseRule, TOKEN_TYPE_COUNT> rules = make_rules();

const ParseRule* get_rule(uint32_t type) {
    static const ParseRule none{nullptr, nullptr, PREC_NONE};
    return type < rules.size() ? &rules[type] : &none;
}

void parse_precedence(Precedence precedence) {
    if (!nesting_enter()) {
        push_type(st_int());
        return;
    }
    advance();
    ParseFn prefix = get_rule(parser.previous.type)->prefix;
    if (prefix == nullptr) {
        error("Expect expression.");
        push_type(st_int());
        nesting_leave();
        return;
    }
    prefix();
    for (;;) {
        const ParseRule* rule = get_rule(parser.current.type);
        if (rule->infix == nullptr || precedence > rule->precedence) break;
        advance();
        rule->infix();
    }
    nesting_leave();
}

void expression() { parse_precedence(PREC_OR); }

void emit_tail_display_or_pop() {
    if (g_repl_mode && g_repl_println_native != nullptr) {
        emit_constant(obj_val(g_repl_println_native));
        emit_byte(OP_SWAP);
        emit_bytes(OP_CALL, 1);
        emit_byte(OP_POP);
        return;
    }
    emit_byte(OP_POP);
}

void expression_statement() {
    expression();
    // An error in this statement leaves nothing worth emitting.
    if (parser.panic_mode) return;
    StaticType t = pop_type();
    if (st_is_none(t)) return;  // a call without a result left nothing on the stack
    emit_tail_display_or_pop();
}
