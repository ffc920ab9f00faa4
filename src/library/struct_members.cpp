// Members of struct instances: field reads, method calls with the instance as
// the receiver, and the messages for members a struct does not have. Fields
// are searched before methods, so a field wins over a method of the same name.
#include <cstring>

#include "compiler/compiler_internal.h"
#include "compiler/symbol_hooks.h"

namespace {

int find_member(const StructField* fields, int count, const Token& name) {
    for (int i = 0; i < count; i++) {
        if (fields[i].name_len == name.length && std::memcmp(fields[i].name, name.start, name.length) == 0) return i;
    }
    return -1;
}

int find_method(const StructEntry& s, const Token& name) {
    for (int i = 0; i < s.method_count && i < STRUCT_METHODS_MAX; i++) {
        const StructMethod& m = s.methods[i];
        if (m.name_len == name.length && std::memcmp(m.name, name.start, name.length) == 0) return i;
    }
    return -1;
}

}  // namespace

void struct_method_call(int struct_idx, int method_idx, const Token& member) {
    const StructEntry& s = struct_table[struct_idx];
    const StructMethod m = s.methods[method_idx];
    int sn = static_cast<int>(s.name_len);
    int mn = static_cast<int>(m.name_len);
    advance();  // (
    // The function goes below the instance, which becomes argument 0 (self).
    // The instance itself is not copied: a method changes its caller's value.
    emit_constant(obj_val(m.function));
    emit_byte(OP_SWAP);
    int count = 0;
    if (!check(TOKEN_RIGHT_PAREN)) {
        for (;;) {
            int32_t saved = inferring_lambda_func_idx;
            bool takes_function = static_cast<uint32_t>(count) < m.param_count && m.params[count].kind == TYPE_FUNC;
            inferring_lambda_func_idx = takes_function ? m.params[count].index : -1;
            expression();
            inferring_lambda_func_idx = saved;
            StaticType t = pop_type();
            // Arguments are values: the method gets its own copy of a struct.
            if (t.kind == TYPE_STRUCT) emit_byte(OP_COPY_STRUCT);
            if (static_cast<uint32_t>(count) < m.param_count && !st_assignable(m.params[count], t)) {
                report_at(member, nullptr, "argument %d of method '%.*s::%.*s' expects %s, got %s", count + 1, sn,
                          s.name, mn, m.name, static_type_name(m.params[count]), static_type_name(t));
            }
            count++;
            if (!match(TOKEN_COMMA)) break;
            if (count >= FUNC_MAX_PARAMS) {
                report_at_previous("Too many method arguments.");
                break;
            }
        }
    }
    consume(TOKEN_RIGHT_PAREN, "Expect ')' after method arguments.");
    if (static_cast<uint32_t>(count) != m.param_count) {
        report_at(member, nullptr, "method '%.*s::%.*s' expects %d arguments, got %d", sn, s.name, mn, m.name,
                  static_cast<int>(m.param_count), count);
    }
    emit_bytes(OP_CALL, static_cast<uint8_t>(count + 1));
    push_type(m.has_return ? m.return_type : st_none());
}

void struct_member(const StaticType& receiver, const Token& member) {
    int n = static_cast<int>(member.length);
    if (receiver.index < 0 || receiver.index >= struct_count) {
        report_at(member, nullptr, "internal: struct index out of range");
        push_type(st_int());
        return;
    }
    const StructEntry& s = struct_table[receiver.index];
    int sn = static_cast<int>(s.name_len);
    int count = s.field_count < 0 ? 0 : s.field_count;
    int f = find_member(s.fields, count, member);
    if (f >= 0) {
        if (g_symbol_index) symbol_note_use(member, s.fields[f].name);
        const StaticType t = s.fields[f].type;
        // A function-typed field followed by "(" is read here and called by
        // the call operator.
        if (t.kind == TYPE_FUNC || !check(TOKEN_LEFT_PAREN)) {
            emit_bytes(OP_GET_FIELD, static_cast<uint8_t>(f));
        } else {
            report_at(member, nullptr, "field '%.*s' of struct %.*s is not callable", n, member.start, sn, s.name);
        }
        push_type(t);
        return;
    }
    int m = find_method(s, member);
    if (m >= 0) {
        if (g_symbol_index) symbol_note_use(member, s.methods[m].name);
        if (!check(TOKEN_LEFT_PAREN)) {
            const StructMethod& method = s.methods[m];
            report_at(member, nullptr, "method '%.*s' of struct %.*s requires call parentheses", n, member.start, sn,
                      s.name);
            push_type(method.has_return ? method.return_type : st_none());
            return;
        }
        struct_method_call(receiver.index, m, member);
        return;
    }
    report_at(member, nullptr, "struct %.*s has no field or method '%.*s'", sn, s.name, n, member.start);
    push_type(st_int());
}
