// The match statement: its patterns checked against the subject's type,
// duplicate and exhaustiveness checks, bindings, and the code of each arm
// (a test, a jump to the next arm, the body, a jump to the end).
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "compiler/compiler_internal.h"
#include "runtime/memory.h"

// The end jumps and the literals seen live in fixed arrays, and a long match
// is better written as a map lookup.
inline constexpr int MATCH_ARMS_MAX = 32;

namespace {

enum PatternKind {
    PATTERN_INT,
    PATTERN_FLOAT,
    PATTERN_STRING,
    PATTERN_TRUE,
    PATTERN_FALSE,
    PATTERN_NULL,
    PATTERN_BINDING,
    PATTERN_OK,
    PATTERN_ERR,
    PATTERN_WILDCARD,
    PATTERN_BAD,  // not a pattern: the arm runs untested, like a wildcard
};

// A literal already used by an arm, for the duplicate check. Strings compare
// by their raw text, so "\t" and a tab typed between quotes count as
// different patterns, although the first one to match wins at run time.
struct SeenLiteral {
    PatternKind kind;
    int64_t int_value;
    double float_value;
    const char* text;
    uint32_t text_len;
};

struct Pattern {
    PatternKind kind;
    Token first;    // every message about the pattern points here
    Token binding;  // the bound name of a binding, ok(v) or err(e)
    int64_t int_value;
    double float_value;
    bool value_ok;  // false after a literal out of range
};

struct MatchState {
    StaticType subject;
    int subject_slot;
    int arm_count;
    int end_jumps[MATCH_ARMS_MAX];
    bool wildcard_seen;
    bool true_seen;
    bool false_seen;
    bool null_seen;
    bool binding_seen;
    bool ok_seen;
    bool err_seen;
    SeenLiteral literals[MATCH_ARMS_MAX];
    int literal_count;
    bool all_return;
};

bool is_base_subject(const StaticType& t, uint32_t base) { return t.kind == TYPE_BASE && t.base == base; }
bool is_nullable_base(const StaticType& t) { return t.kind == TYPE_BASE && t.nullable; }

// Skips tokens up to and including the "}" that closes the match, counting
// nested braces; the current token lies inside the match's braces.
void skip_rest_of_match() {
    int depth = 1;
    while (!check(TOKEN_EOF)) {
        if (check(TOKEN_LEFT_BRACE)) depth++;
        if (check(TOKEN_RIGHT_BRACE)) depth--;
        advance();
        if (depth == 0) return;
    }
}

// After an earlier error the statement is not compiled, but its arms must not
// be read as statements of the enclosing block either: that would only report
// the same mistake again in other words.
void skip_match_body() {
    if (!check(TOKEN_LEFT_BRACE)) return;
    advance();
    skip_rest_of_match();
}

void report_not_exhaustive(const MatchState& m) {
    const StaticType& t = m.subject;
    if (t.kind == TYPE_RESULT) {
        if (!(m.ok_seen && m.err_seen)) {
            report_at_previous("match on Result is not exhaustive — add ok(...), err(...), or '_'");
        }
    } else if (t.kind != TYPE_BASE) {
        report_at_previous("match is not exhaustive — add a '_' wildcard arm");
    } else if (t.nullable) {
        if (!(m.null_seen && m.binding_seen)) {
            report_at_previous("match on nullable is not exhaustive — add 'null' and a binding (or '_')");
        }
    } else if (t.base == BASE_BOOL) {
        if (!(m.true_seen && m.false_seen)) {
            report_at_previous("match on bool is not exhaustive — add 'true', 'false', or '_'");
        }
    } else if (t.base == BASE_INT || t.base == BASE_FLOAT || t.base == BASE_STRING) {
        report_at_previous("match on int/float/string requires a '_' wildcard arm");
    } else {
        report_at_previous("match is not exhaustive — add a '_' wildcard arm");
    }
}

// The literal's value, read from the token alone: the conversions would
// otherwise read on past its end.
bool read_int_literal(const Token& t, int64_t* out) {
    errno = 0;
    long long n = std::strtoll(t.start, nullptr, 10);
    *out = static_cast<int64_t>(n);
    return errno != ERANGE;
}

bool read_float_literal(const Token& t, double* out) {
    char small[64];
    char* text = t.length < sizeof small ? small : static_cast<char*>(mem_alloc(t.length + 1));
    std::memcpy(text, t.start, t.length);
    text[t.length] = '\0';
    errno = 0;
    *out = std::strtod(text, nullptr);
    bool ok = errno != ERANGE;
    if (text != small) mem_free(text);
    return ok;
}

// A pattern that went wrong (a negative number, an expression, ok(1)) may run
// on for several tokens; stepping to its arrow lets the arm's body be found and
// the next arm be read as an arm rather than the whole match be given up.
void skip_to_arrow() {
    while (!check(TOKEN_FAT_ARROW) && !check(TOKEN_LEFT_BRACE) && !check(TOKEN_RIGHT_BRACE) &&
           !check(TOKEN_NEWLINE) && !check(TOKEN_EOF)) {
        advance();
    }
}

// Reads ok(v) / err(e) after the keyword; the name is left in p->binding.
void read_result_pattern(Pattern* p) {
    consume(TOKEN_LEFT_PAREN, "Expect '(' after pattern keyword.");
    consume(TOKEN_IDENTIFIER, "Expect binding name inside ok(...)/err(...).");
    p->binding = parser.previous;
    consume(TOKEN_RIGHT_PAREN, "Expect ')' after binding name.");
    if (parser.panic_mode) skip_to_arrow();
}

// Reads one pattern at the current token and checks it against the subject.
Pattern read_pattern(const StaticType& subject) {
    Pattern p{};
    p.first = parser.current;
    p.value_ok = true;
    const char* subject_name = static_type_name(subject);
    switch (parser.current.type) {
        case TOKEN_INT_LITERAL:
            advance();
            p.kind = PATTERN_INT;
            if (!read_int_literal(p.first, &p.int_value)) {
                p.value_ok = false;
                report_at(p.first, nullptr, "Integer literal out of range.");
            }
            if (!is_base_subject(subject, BASE_INT)) {
                report_at(p.first, nullptr, "int literal pattern only matches int subjects (got %s)", subject_name);
            }
            break;
        case TOKEN_FLOAT_LITERAL:
            advance();
            p.kind = PATTERN_FLOAT;
            if (!read_float_literal(p.first, &p.float_value)) {
                p.value_ok = false;
                report_at(p.first, nullptr, "Float literal out of range.");
            }
            if (!is_base_subject(subject, BASE_FLOAT)) {
                report_at(p.first, nullptr, "float literal pattern only matches float subjects (got %s)",
                          subject_name);
            }
            break;
        case TOKEN_STRING_LITERAL:
            advance();
            p.kind = PATTERN_STRING;
            if (!is_base_subject(subject, BASE_STRING)) {
                report_at(p.first, nullptr, "string literal pattern only matches string subjects (got %s)",
                          subject_name);
            }
            break;
        case TOKEN_TRUE:
        case TOKEN_FALSE:
            advance();
            p.kind = p.first.type == TOKEN_TRUE ? PATTERN_TRUE : PATTERN_FALSE;
            if (!is_base_subject(subject, BASE_BOOL)) {
                report_at(p.first, nullptr, "bool literal pattern only matches bool subjects (got %s)", subject_name);
            }
            break;
        case TOKEN_NULL:
            advance();
            p.kind = PATTERN_NULL;
            if (!is_nullable_base(subject)) {
                report_at(p.first, nullptr, "null pattern requires a nullable subject (got %s)", subject_name);
            }
            break;
        case TOKEN_IDENTIFIER:
            advance();
            if (p.first.length == 1 && p.first.start[0] == '_') {
                p.kind = PATTERN_WILDCARD;
                break;
            }
            p.kind = PATTERN_BINDING;
            p.binding = p.first;
            if (!is_nullable_base(subject)) {
                report_at(p.first, nullptr,
                          "binding patterns are only allowed on nullable subjects (got %s) — use '_' as wildcard",
                          subject_name);
            }
            break;
        case TOKEN_OK:
        case TOKEN_ERR:
            advance();
            p.kind = p.first.type == TOKEN_OK ? PATTERN_OK : PATTERN_ERR;
            read_result_pattern(&p);
            if (subject.kind != TYPE_RESULT) {
                report_at(p.first, nullptr, "ok/err patterns require a Result subject (got %s)", subject_name);
            }
            break;
        default:
            report_at(p.first, nullptr, "Expect a pattern (literal / null / ok(v) / err(e) / binding / _).");
            // A "{" is kept: it opens the arm's body, and stepping over it
            // would throw off the brace count that finds the end of the match.
            if (!check(TOKEN_LEFT_BRACE)) advance();
            p.kind = PATTERN_BAD;
            skip_to_arrow();
            break;
    }
    return p;
}

bool same_literal(const SeenLiteral& seen, const Pattern& p) {
    if (seen.kind != p.kind) return false;
    switch (p.kind) {
        case PATTERN_INT: return seen.int_value == p.int_value;
        // Floating equality: a NaN pattern never repeats another.
        case PATTERN_FLOAT: return seen.float_value == p.float_value;
        case PATTERN_STRING:
            return seen.text_len == p.first.length - 2 && std::memcmp(seen.text, p.first.start + 1, seen.text_len) == 0;
        default: return true;  // true and false: the kind is the value
    }
}

bool is_literal(PatternKind kind) {
    return kind == PATTERN_INT || kind == PATTERN_FLOAT || kind == PATTERN_STRING || kind == PATTERN_TRUE ||
           kind == PATTERN_FALSE;
}

void check_duplicate(MatchState* m, const Pattern& p) {
    const Token& at = p.first;
    if (is_literal(p.kind)) {
        for (int i = 0; i < m->literal_count; i++) {
            if (same_literal(m->literals[i], p)) {
                report_at(at, nullptr, "duplicate literal pattern in match");
                break;
            }
        }
        if (m->literal_count < MATCH_ARMS_MAX) {
            SeenLiteral& s = m->literals[m->literal_count++];
            s = SeenLiteral{p.kind, p.int_value, p.float_value, nullptr, 0};
            if (p.kind == PATTERN_STRING) {
                s.text = p.first.start + 1;
                s.text_len = p.first.length - 2;
            }
        }
        if (p.kind == PATTERN_TRUE) m->true_seen = true;
        if (p.kind == PATTERN_FALSE) m->false_seen = true;
        return;
    }
    switch (p.kind) {
        case PATTERN_NULL:
            if (m->null_seen) report_at(at, nullptr, "duplicate 'null' pattern");
            m->null_seen = true;
            break;
        case PATTERN_BINDING:
            if (m->binding_seen) report_at(at, nullptr, "duplicate binding pattern");
            m->binding_seen = true;
            break;
        case PATTERN_OK:
            if (m->ok_seen) report_at(at, nullptr, "duplicate 'ok' pattern");
            m->ok_seen = true;
            break;
        case PATTERN_ERR:
            if (m->err_seen) report_at(at, nullptr, "duplicate 'err' pattern");
            m->err_seen = true;
            break;
        case PATTERN_WILDCARD: m->wildcard_seen = true; break;
        default: break;
    }
}

// The constant a literal pattern compares with.
void emit_literal(const Pattern& p) {
    switch (p.kind) {
        case PATTERN_INT: emit_constant(int_val(p.int_value)); break;
        case PATTERN_FLOAT: emit_constant(float_val(p.float_value)); break;
        case PATTERN_STRING: {
            ObjString* s = copy_string_decoded(p.first.start + 1, static_cast<int>(p.first.length) - 2);
            emit_constant(obj_val(s));
            break;
        }
        default: emit_constant(bool_val(p.kind == PATTERN_TRUE)); break;
    }
}

// Declares the value on top of the stack as the arm's binding: read-only, so
// an assignment to it is refused with a message naming the binding.
void declare_binding(const Token& name, const StaticType& type) {
    int slot = declare_local(name.start, name.length, type);
    if (slot < 0) return;
    current->locals[slot].read_only = 1;
    current->locals[slot].kind = LOCAL_MATCH_BINDING;
}

// Emits the arm's test; returns the offset of its false jump, or -1 when the
// arm runs untested. Leaves the arm's scope open with its binding declared.
int emit_arm_test(const MatchState& m, const Pattern& p) {
    const uint8_t s = static_cast<uint8_t>(m.subject_slot);
    const StaticType& subject = m.subject;
    switch (p.kind) {
        case PATTERN_WILDCARD:
        case PATTERN_BAD: begin_scope(); return -1;
        case PATTERN_NULL: emit_bytes(OP_GET_LOCAL, s); emit_bytes(OP_NULL, OP_EQUAL); break;
        case PATTERN_BINDING:
            emit_bytes(OP_GET_LOCAL, s);
            emit_bytes(OP_NULL, OP_EQUAL);
            emit_byte(OP_NOT);
            break;
        case PATTERN_OK: emit_bytes(OP_GET_LOCAL, s); emit_byte(OP_IS_OK); break;
        case PATTERN_ERR: emit_bytes(OP_GET_LOCAL, s); emit_byte(OP_IS_ERR); break;
        default:
            emit_bytes(OP_GET_LOCAL, s);
            emit_literal(p);
            emit_byte(OP_EQUAL);
            break;
    }
    int jump = emit_jump(OP_JUMP_IF_FALSE);
    emit_byte(OP_POP);
    begin_scope();
    switch (p.kind) {
        case PATTERN_BINDING:
            emit_bytes(OP_GET_LOCAL, s);
            declare_binding(p.binding, st_base(subject.base));
            break;
        case PATTERN_OK:
            emit_bytes(OP_GET_LOCAL, s);
            emit_byte(OP_RESULT_VALUE);
            declare_binding(p.binding, st_base(subject.base));
            break;
        case PATTERN_ERR:
            emit_bytes(OP_GET_LOCAL, s);
            emit_byte(OP_RESULT_ERROR);
            declare_binding(p.binding, result_error_type(subject));
            break;
        default: break;
    }
    return jump;
}

// Compiles the arms up to the closing "}" (not consumed).
void match_arms(MatchState* m) {
    // An arm written without its "{" may have taken the match's own "}" as its
    // body's end; panic mode is then kept until another arm begins, so that
    // the match's missing "}" is not reported as a second mistake.
    bool brace_missing = false;
    while (!check(TOKEN_RIGHT_BRACE) && !check(TOKEN_EOF)) {
        if (match(TOKEN_NEWLINE)) continue;
        if (brace_missing) clear_panic();
        if (m->wildcard_seen) {
            report_at_current("'_' must be the last arm; remove arms after it");
            skip_rest_of_match();
            return;
        }
        if (m->arm_count >= MATCH_ARMS_MAX) {
            report_at_previous("Too many match arms.");
            m->wildcard_seen = false;
            skip_rest_of_match();
            return;
        }
        Pattern p = read_pattern(m->subject);
        if (!match(TOKEN_FAT_ARROW)) {
            error_at_current("Expect '=>' after pattern.");
            if (p.kind != PATTERN_BAD) {
                // A whole pattern followed by something else: where this arm
                // ends and the next begins cannot be told.
                skip_rest_of_match();
                return;
            }
        }
        // Without its "{" the body still runs up to its "}": leaving the match
        // there would read the remaining arms as statements.
        brace_missing = !match(TOKEN_LEFT_BRACE);
        if (brace_missing) error_at_current("Expect '{' before arm body.");
        check_duplicate(m, p);
        int test_jump = emit_arm_test(*m, p);
        bool returns = block();
        m->all_return = m->all_return && returns;
        end_scope();
        m->end_jumps[m->arm_count] = emit_jump(OP_JUMP);
        if (test_jump >= 0) {
            patch_jump(test_jump);
            emit_byte(OP_POP);
        }
        // The body's statements clear panic mode as they go; after an arm
        // without its "{" it is set again, to be cleared when an arm begins.
        if (brace_missing) {
            parser.panic_mode = 1;
        } else {
            clear_panic();
        }
        m->arm_count++;
    }
    consume(TOKEN_RIGHT_BRACE, "Expect '}' after match arms.");
}

}  // namespace

bool match_statement() {
    expression();
    // Only an error in this statement's subject stops the match: an error in an
    // earlier statement must not turn every later match into a silent skip.
    if (parser.panic_mode) {
        skip_match_body();
        return false;
    }
    MatchState m{};
    m.subject = pop_type();
    if (st_is_none(m.subject)) {
        // A call without a result left no value to become the subject.
        report_at_previous("cannot match on no-value.");
        skip_match_body();
        return false;
    }
    consume(TOKEN_LEFT_BRACE, "Expect '{' before match arms.");
    begin_scope();
    static constexpr char SUBJECT_NAME[] = "$match_subj";
    m.subject_slot = declare_local(SUBJECT_NAME, sizeof SUBJECT_NAME - 1, m.subject);
    if (m.subject_slot < 0) {
        end_scope();
        return false;
    }
    current->locals[m.subject_slot].read_only = 1;
    if (check(TOKEN_RIGHT_BRACE) || check(TOKEN_EOF)) {
        consume(TOKEN_RIGHT_BRACE, "Expect '}' after match arms.");
        report_not_exhaustive(m);
        end_scope();
        return false;
    }
    m.all_return = true;
    match_arms(&m);
    for (int i = 0; i < m.arm_count; i++) patch_jump(m.end_jumps[i]);
    if (!m.wildcard_seen) report_not_exhaustive(m);
    end_scope();
    return m.arm_count > 0 && m.all_return;
}
