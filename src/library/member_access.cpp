// Member access: the "." operator, dispatched on the static type of the
// receiver. Types whose members are not compiled yet report that they have
// no such member, so every path pushes one type and checking goes on.
#include <cstring>

#include "compiler/compiler_internal.h"
#include "vm/vm.h"

void register_member_natives(const MemberNative* table, size_t count) {
    for (size_t i = 0; i < count; i++) {
        ObjNative* native = new_native(table[i].function, table[i].arity);
        // Registered first, so the native is a root while its name is allocated.
        vm_register_native(native);
        native->name = copy_string(table[i].name, static_cast<int>(std::strlen(table[i].name)));
        *table[i].slot = native;
    }
}

std::vector<std::string_view> member_native_names(const MemberNative* table, size_t count) {
    std::vector<std::string_view> names;
    for (size_t i = 0; i < count; i++) names.push_back(table[i].name);
    return names;
}

bool consume_member_name(TokenType keyword_member) {
    if (!check(TOKEN_IDENTIFIER) && !check(keyword_member)) {
        error_at_current("Expect identifier after '.'.");
        push_type(st_int());
        return false;
    }
    advance();
    return true;
}

void dot_op() {
    StaticType receiver = pop_type();
    if (!consume_member_name(TOKEN_MAP)) return;
    const Token member = parser.previous;
    int n = static_cast<int>(member.length);
    if (receiver.kind == TYPE_BASE && receiver.base == BASE_STRING) return string_member(receiver, member);
    if (receiver.kind == TYPE_ARRAY) return array_member(receiver, member);
    if (receiver.kind == TYPE_MAP) return map_member(receiver, member);
    if (receiver.kind == TYPE_RESULT) return result_member(receiver, member);
    if (receiver.kind == TYPE_STRUCT) return struct_member(receiver, member);
    report_at(member, nullptr, "type %s has no member or method '%.*s'", static_type_name(receiver), n, member.start);
    push_type(st_int());
}
