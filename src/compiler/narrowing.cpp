// Narrowing of nullable variables and Results: the table of active narrowings,
// the condition compiler of `if` and `while` with the pattern it recognises,
// the `is` operator, and the rule that keeps loops from breaking a narrowing.
#include "compiler/compiler_internal.h"

Narrowing narrowings[NARROWING_MAX];
int narrowing_count = 0;
int narrowing_base = 0;
PendingNarrowing pending_narrowing{};

StaticType apply_narrowing(bool is_local, int slot, const StaticType& declared) {
    uint8_t local_flag = is_local ? 1 : 0;
    for (int i = narrowing_count - 1; i >= narrowing_base; i--) {
        const Narrowing& n = narrowings[i];
        if (n.active && n.is_local == local_flag && n.slot == slot) return n.type;
    }
    return declared;
}

namespace {

uint32_t loop_serial_last = 0;

uint32_t loop_serial(LoopContext* loop) {
    if (loop->narrowing_serial == 0) loop->narrowing_serial = ++loop_serial_last;
    return loop->narrowing_serial;
}

// The outermost loop entered after the row was made, or null when the code
// being compiled is in no such loop.
LoopContext* outermost_loop_since(const Narrowing& n) {
    LoopContext* found = nullptr;
    for (LoopContext* l = current_loop; l != nullptr && l != n.loop; l = l->enclosing) found = l;
    return found;
}

// True when the loop that switched the row off is still open around the code
// being compiled.
bool cleared_loop_open(const Narrowing& n) {
    if (n.cleared_in == nullptr) return false;
    for (LoopContext* l = current_loop; l != nullptr && l != n.loop; l = l->enclosing) {
        if (l == n.cleared_in && loop_serial(l) == n.cleared_serial) return true;
    }
    return false;
}

}  // namespace

void narrowing_invalidate(bool is_local, int slot) {
    uint8_t local_flag = is_local ? 1 : 0;
    for (int i = narrowing_base; i < narrowing_count; i++) {
        Narrowing& n = narrowings[i];
        if (n.is_local != local_flag || n.slot != slot) continue;
        if (n.active) {
            LoopContext* loop = outermost_loop_since(n);
            n.cleared_in = loop;
            n.cleared_serial = loop != nullptr ? loop_serial(loop) : 0;
        }
        n.active = 0;
    }
}

bool narrowing_push(bool is_local, int slot, const StaticType& type) {
    // With the table full the branch is compiled without narrowing: the
    // variable keeps its declared type, which is always safe.
    if (narrowing_count >= NARROWING_MAX) return false;
    narrowings[narrowing_count++] =
        Narrowing{static_cast<uint8_t>(is_local ? 1 : 0), slot, type, 1, current_loop, nullptr, 0};
    return true;
}

bool narrowing_push_branch(const PendingNarrowing& pending, bool then_branch) {
    bool valid = then_branch ? pending.then_valid : pending.else_valid;
    if (!pending.has || !valid) return false;
    return narrowing_push(pending.is_local != 0, pending.slot, then_branch ? pending.then_type : pending.else_type);
}

bool narrowing_loop_refuses(bool is_local, int slot, const StaticType& value, const Token& name) {
    if (current_loop == nullptr) return false;
    uint8_t local_flag = is_local ? 1 : 0;
    for (int i = narrowing_base; i < narrowing_count; i++) {
        const Narrowing& n = narrowings[i];
        // Rows made inside the innermost loop end with their block inside it;
        // only a row from outside holds on the loop's next iteration, also
        // when an earlier store in this loop already switched it off.
        if (n.is_local != local_flag || n.slot != slot || n.loop == current_loop) continue;
        if (!n.active && !cleared_loop_open(n)) continue;
        bool breaks = n.type.kind == TYPE_RESULT ? (value.kind == TYPE_RESULT || value.kind == TYPE_RESULT_ANY)
                                                 : (value.base == BASE_NULL || value.nullable != 0);
        if (!breaks) continue;
        report_at(name, "narrow it again inside the loop, e.g. if (<var> != null) { ... }",
                  "assignment inside a loop breaks the narrowing of '%.*s'", static_cast<int>(name.length),
                  name.start);
        return true;
    }
    return false;
}

namespace {

enum class Pattern { NONE, NULL_TEST, RESULT_TEST };

struct ConditionPattern {
    Pattern kind;
    Token variable;
    uint32_t op;         // == or != for a null test, ok or err for a Result test
    const char* ending;  // the null/ok/err token the whole condition must end at
};

// Recognised on the token window before the condition is compiled.
ConditionPattern recognise_pattern() {
    ConditionPattern p{Pattern::NONE, parser.current, 0, nullptr};
    if (parser.current.type != TOKEN_IDENTIFIER) return p;
    uint32_t next = parser.next.type;
    uint32_t last = parser.next2.type;
    if ((next == TOKEN_EQUAL_EQUAL || next == TOKEN_BANG_EQUAL) && last == TOKEN_NULL) {
        p.kind = Pattern::NULL_TEST;
        p.op = next;
    } else if (next == TOKEN_IS && (last == TOKEN_OK || last == TOKEN_ERR)) {
        p.kind = Pattern::RESULT_TEST;
        p.op = last;
    } else {
        return p;
    }
    p.ending = parser.next2.start;
    return p;
}

void fill_pending(const ConditionPattern& p) {
    const Token& v = p.variable;
    bool is_local = true;
    int slot = resolve_local(current, v.start, v.length);
    StaticType declared{};
    if (slot >= 0) {
        declared = current->locals[slot].type;
    } else {
        int g = find_global(v.start, v.length);
        if (g < 0) return;  // a captured variable is never narrowed
        is_local = false;
        slot = globals_table[g].slot;
        declared = globals_table[g].type;
    }
    if (p.kind == Pattern::NULL_TEST) {
        if (declared.kind != TYPE_BASE || !declared.nullable) return;
        StaticType narrowed = declared;
        narrowed.nullable = 0;
        if (p.op == TOKEN_BANG_EQUAL) {
            pending_narrowing.then_valid = 1;
            pending_narrowing.then_type = narrowed;
        } else {
            pending_narrowing.else_valid = 1;
            pending_narrowing.else_type = narrowed;
        }
    } else {
        if (declared.kind != TYPE_RESULT) return;
        StaticType known_ok = declared;
        known_ok.result_state = 1;
        StaticType known_err = declared;
        known_err.result_state = 2;
        bool is_ok = p.op == TOKEN_OK;
        pending_narrowing.then_valid = 1;
        pending_narrowing.then_type = is_ok ? known_ok : known_err;
        pending_narrowing.else_valid = 1;
        pending_narrowing.else_type = is_ok ? known_err : known_ok;
    }
    pending_narrowing.has = 1;
    pending_narrowing.is_local = is_local ? 1 : 0;
    pending_narrowing.slot = slot;
}

void clear_pending() {
    pending_narrowing.has = 0;
    pending_narrowing.then_valid = 0;
    pending_narrowing.else_valid = 0;
}

}  // namespace

void condition(const char* keyword) {
    consume(TOKEN_LEFT_PAREN, "Expect '(' after keyword.");
    ConditionPattern pattern = recognise_pattern();
    clear_pending();
    expression();
    StaticType t = pop_type();
    if (!st_is_plain_bool(t)) {
        report_at_previous("condition of '%s' must be bool, got %s", keyword, static_type_name(t));
    }
    // A lambda inside the condition may have run a condition of its own: only
    // this condition's pattern may leave a narrowing for the statement.
    clear_pending();
    if (pattern.kind != Pattern::NONE && parser.previous.start == pattern.ending) fill_pending(pattern);
    consume(TOKEN_RIGHT_PAREN, "Expect ')' after condition.");
}

void is_op() {
    StaticType operand = pop_type();
    if (operand.kind == TYPE_RESULT) {
        if (match(TOKEN_OK)) {
            emit_byte(OP_IS_OK);
        } else if (match(TOKEN_ERR)) {
            emit_byte(OP_IS_ERR);
        } else {
            report_at_current("Expect 'ok' or 'err' after 'is'.");
            emit_byte(OP_IS_OK);
        }
    } else {
        report_at_previous("'is ok'/'is err' requires a Result, got %s", static_type_name(operand));
        if (!match(TOKEN_OK)) match(TOKEN_ERR);
        emit_byte(OP_IS_OK);
    }
    push_type(st_bool());
}
