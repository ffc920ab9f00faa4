// Member access: the "." operator, dispatched on the static type of the
// receiver. Types whose members are not compiled yet report that they have
// no such member, so every path pushes one type and checking goes on.
#include "compiler/compiler_internal.h"

void dot_op() {
    StaticType receiver = pop_type();
    if (!check(TOKEN_IDENTIFIER) && !check(TOKEN_MAP)) {
        error_at_current("Expect identifier after '.'.");
        push_type(st_int());
        return;
    }
    advance();
    const Token member = parser.previous;
    int n = static_cast<int>(member.length);
    if (receiver.kind == TYPE_RESULT) {
        report_at(member, nullptr, "Result only supports '.value' and '.error', got '.%.*s'", n, member.start);
    } else if (receiver.kind == TYPE_STRUCT && (receiver.index < 0 || receiver.index >= struct_count)) {
        report_at(member, nullptr, "internal: struct index out of range");
    } else if (receiver.kind == TYPE_STRUCT) {
        const StructEntry& s = struct_table[receiver.index];
        report_at(member, nullptr, "struct %.*s has no field or method '%.*s'", static_cast<int>(s.name_len), s.name, n,
                  member.start);
    } else {
        report_at(member, nullptr, "type %s has no member or method '%.*s'", static_type_name(receiver), n,
                  member.start);
    }
    push_type(st_int());
}
