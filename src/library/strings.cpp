// The string members: one table naming each member with its native, argument
// types and result type, the compiler routine that checks and emits every
// member call from its row, and the natives that run them. Bytes throughout.
#include "library/strings.h"

#include <cstdint>
#include <cstring>
#include <string_view>

#include "compiler/compiler_internal.h"
#include "runtime/memory.h"
#include "vm/vm.h"

// Longest string the interpreter can hold: its length is a signed 32-bit count.
static constexpr int64_t STRING_BYTES_MAX = INT32_MAX;

// ---------------------------------------------------------------------------
// Natives, kept for the compiler to emit as constants
// ---------------------------------------------------------------------------

static ObjNative* g_string_length_native;
static ObjNative* g_string_is_empty_native;
static ObjNative* g_string_is_digit_native;
static ObjNative* g_string_is_alpha_native;
static ObjNative* g_string_contains_native;
static ObjNative* g_string_starts_with_native;
static ObjNative* g_string_ends_with_native;
static ObjNative* g_string_count_native;
static ObjNative* g_string_to_upper_native;
static ObjNative* g_string_to_lower_native;
static ObjNative* g_string_trim_native;
static ObjNative* g_string_lstrip_native;
static ObjNative* g_string_rstrip_native;
static ObjNative* g_string_replace_native;
static ObjNative* g_string_repeat_native;
static ObjNative* g_string_index_native;
static ObjNative* g_string_substring_native;
static ObjNative* g_string_split_native;

// ---------------------------------------------------------------------------
// Helpers shared by the natives
// ---------------------------------------------------------------------------

// Argument i as a string object, or null when it is anything else.
static const ObjString* string_arg(const Value* args, int i) {
    return is_string(args[i]) ? as_string(args[i]) : nullptr;
}

// True when needle occurs in haystack at byte position p (p + needle fits).
static bool matches_at(const ObjString* haystack, int32_t p, const ObjString* needle) {
    return std::memcmp(haystack->chars + p, needle->chars, static_cast<size_t>(needle->length)) == 0;
}

// Leftmost occurrence of a non-empty needle at or after from, or -1.
static int32_t find_from(const ObjString* haystack, const ObjString* needle, int32_t from) {
    int32_t last = haystack->length - needle->length;
    for (int32_t p = from; p <= last; p++) {
        if (matches_at(haystack, p, needle)) return p;
    }
    return -1;
}

// Non-overlapping occurrences of a non-empty needle, leftmost first.
static int64_t count_occurrences(const ObjString* haystack, const ObjString* needle) {
    int64_t count = 0;
    int32_t p = find_from(haystack, needle, 0);
    while (p >= 0) {
        count++;
        p = find_from(haystack, needle, p + needle->length);
    }
    return count;
}

// A fresh counted buffer of length + 1 bytes; the caller fills it, writes the
// NUL and hands it to take_string. Counting may collect, so nothing of the
// caller's may be left unrooted across this call.
static char* new_string_buffer(int64_t length) {
    char* buffer = static_cast<char*>(mem_alloc(static_cast<size_t>(length) + 1));
    vm_track_alloc(static_cast<uint64_t>(length) + 1);
    return buffer;
}

static void set_string(Value* result, char* buffer, int64_t length) {
    buffer[length] = '\0';
    *result = obj_val(take_string(buffer, static_cast<int>(length)));
}

// Only space, tab, line feed and carriage return: vertical tab and form feed
// are kept by the trimming members.
static bool is_trim_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

static bool is_ascii_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

static bool store_bytes(Value* result, const char* start, int32_t length) {
    *result = obj_val(copy_string(start, length));
    return true;
}

// ---------------------------------------------------------------------------
// The natives (argument 0 is the receiver)
// ---------------------------------------------------------------------------

bool native_string_length(int, Value* args, Value* result) {
    const ObjString* s = string_arg(args, 0);
    if (s == nullptr) return false;
    *result = int_val(s->length);
    return true;
}

bool native_string_is_empty(int, Value* args, Value* result) {
    const ObjString* s = string_arg(args, 0);
    if (s == nullptr) return false;
    *result = bool_val(s->length == 0);
    return true;
}

bool native_string_is_digit(int, Value* args, Value* result) {
    const ObjString* s = string_arg(args, 0);
    if (s == nullptr) return false;
    bool all = s->length > 0;
    for (int32_t i = 0; all && i < s->length; i++) all = s->chars[i] >= '0' && s->chars[i] <= '9';
    *result = bool_val(all);
    return true;
}

bool native_string_is_alpha(int, Value* args, Value* result) {
    const ObjString* s = string_arg(args, 0);
    if (s == nullptr) return false;
    bool all = s->length > 0;
    for (int32_t i = 0; all && i < s->length; i++) all = is_ascii_letter(s->chars[i]);
    *result = bool_val(all);
    return true;
}

bool native_string_contains(int, Value* args, Value* result) {
    const ObjString* s = string_arg(args, 0);
    const ObjString* sub = string_arg(args, 1);
    if (s == nullptr || sub == nullptr) return false;
    *result = bool_val(sub->length == 0 || find_from(s, sub, 0) >= 0);
    return true;
}

bool native_string_starts_with(int, Value* args, Value* result) {
    const ObjString* s = string_arg(args, 0);
    const ObjString* prefix = string_arg(args, 1);
    if (s == nullptr || prefix == nullptr) return false;
    *result = bool_val(prefix->length <= s->length && matches_at(s, 0, prefix));
    return true;
}

bool native_string_ends_with(int, Value* args, Value* result) {
    const ObjString* s = string_arg(args, 0);
    const ObjString* suffix = string_arg(args, 1);
    if (s == nullptr || suffix == nullptr) return false;
    *result = bool_val(suffix->length <= s->length && matches_at(s, s->length - suffix->length, suffix));
    return true;
}

bool native_string_count(int, Value* args, Value* result) {
    const ObjString* s = string_arg(args, 0);
    const ObjString* sub = string_arg(args, 1);
    if (s == nullptr || sub == nullptr) return false;
    *result = int_val(sub->length == 0 ? 0 : count_occurrences(s, sub));
    return true;
}

// Case changes touch ASCII letters only, so the bytes of a multi-byte
// character pass through unchanged.
static bool change_case(Value* args, Value* result, bool upper) {
    const ObjString* s = string_arg(args, 0);
    if (s == nullptr) return false;
    int32_t n = s->length;
    char* buffer = new_string_buffer(n);
    for (int32_t i = 0; i < n; i++) {
        char c = s->chars[i];
        if (upper && c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
        if (!upper && c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
        buffer[i] = c;
    }
    set_string(result, buffer, n);
    return true;
}

bool native_string_to_upper(int, Value* args, Value* result) { return change_case(args, result, true); }

bool native_string_to_lower(int, Value* args, Value* result) { return change_case(args, result, false); }

static bool strip(Value* args, Value* result, bool left, bool right) {
    const ObjString* s = string_arg(args, 0);
    if (s == nullptr) return false;
    int32_t start = 0;
    int32_t end = s->length;
    if (left) {
        while (start < end && is_trim_space(s->chars[start])) start++;
    }
    if (right) {
        while (end > start && is_trim_space(s->chars[end - 1])) end--;
    }
    return store_bytes(result, s->chars + start, end - start);
}

bool native_string_trim(int, Value* args, Value* result) { return strip(args, result, true, true); }

bool native_string_lstrip(int, Value* args, Value* result) { return strip(args, result, true, false); }

bool native_string_rstrip(int, Value* args, Value* result) { return strip(args, result, false, true); }

bool native_string_replace(int, Value* args, Value* result) {
    const ObjString* s = string_arg(args, 0);
    const ObjString* old_text = string_arg(args, 1);
    const ObjString* new_text = string_arg(args, 2);
    if (s == nullptr || old_text == nullptr || new_text == nullptr) return false;
    // Nothing can match an empty pattern, so the receiver is its own result.
    if (old_text->length == 0) {
        *result = args[0];
        return true;
    }
    // In 64 bits: a long replacement repeated many times can pass any 32-bit
    // length, and such a string could not be held.
    int64_t occurrences = count_occurrences(s, old_text);
    int64_t length = s->length + occurrences * (static_cast<int64_t>(new_text->length) - old_text->length);
    if (length > STRING_BYTES_MAX) {
        vm_set_native_error("replace result too large");
        return false;
    }
    char* buffer = new_string_buffer(length);
    int64_t out = 0;
    int32_t p = 0;
    int32_t n = s->length;
    while (p < n) {
        if (static_cast<int64_t>(p) + old_text->length <= n && matches_at(s, p, old_text)) {
            std::memcpy(buffer + out, new_text->chars, static_cast<size_t>(new_text->length));
            out += new_text->length;
            p += old_text->length;
        } else {
            buffer[out++] = s->chars[p++];
        }
    }
    set_string(result, buffer, out);
    return true;
}

bool native_string_repeat(int, Value* args, Value* result) {
    const ObjString* s = string_arg(args, 0);
    if (s == nullptr || !is_int(args[1])) return false;
    int64_t k = as_int(args[1]);
    if (k < 0) {
        vm_set_native_error("repeat count must be non-negative");
        return false;
    }
    int64_t n = s->length;
    if (k == 0 || n == 0) return store_bytes(result, "", 0);
    if (k > STRING_BYTES_MAX / n) {
        vm_set_native_error("repeat result too large");
        return false;
    }
    int64_t length = n * k;
    char* buffer = new_string_buffer(length);
    // Copy once, then keep doubling the filled prefix: a few dozen copies even
    // when a one-byte string is repeated a hundred million times.
    std::memcpy(buffer, s->chars, static_cast<size_t>(n));
    for (int64_t filled = n; filled < length;) {
        int64_t chunk = filled < length - filled ? filled : length - filled;
        std::memcpy(buffer + filled, buffer, static_cast<size_t>(chunk));
        filled += chunk;
    }
    set_string(result, buffer, length);
    return true;
}

bool native_string_index(int, Value* args, Value* result) {
    const ObjString* s = string_arg(args, 0);
    const ObjString* sub = string_arg(args, 1);
    if (s == nullptr || sub == nullptr) return false;
    int32_t position = sub->length == 0 ? 0 : find_from(s, sub, 0);
    if (position < 0) {
        static const char NOT_FOUND[] = "substring not found";
        *result = obj_val(new_result_err_chars(NOT_FOUND, static_cast<int>(sizeof NOT_FOUND - 1)));
    } else {
        *result = obj_val(new_result_ok(int_val(position)));
    }
    return true;
}

bool native_string_substring(int, Value* args, Value* result) {
    const ObjString* s = string_arg(args, 0);
    if (s == nullptr || !is_int(args[1]) || !is_int(args[2])) return false;
    int64_t start = as_int(args[1]);
    int64_t end = as_int(args[2]);
    if (start < 0 || end < 0 || start > end || end > s->length) {
        static const char OUT_OF_RANGE[] = "substring index out of range";
        *result = obj_val(new_result_err_chars(OUT_OF_RANGE, static_cast<int>(sizeof OUT_OF_RANGE - 1)));
        return true;
    }
    ObjString* piece = copy_string(s->chars + start, static_cast<int>(end - start));
    // Reachable from nothing else while the Result is allocated.
    vm_push_transient(&piece->obj);
    ObjResult* ok = new_result_ok(obj_val(piece));
    vm_pop_transient();
    *result = obj_val(ok);
    return true;
}

bool native_string_split(int, Value* args, Value* result) {
    const ObjString* s = string_arg(args, 0);
    const ObjString* sep = string_arg(args, 1);
    if (s == nullptr || sep == nullptr) return false;
    int32_t n = s->length;
    // Every piece is counted first, so the array never grows while it is filled.
    int64_t pieces;
    if (sep->length == 0) {
        pieces = n == 0 ? 1 : n;
    } else {
        pieces = count_occurrences(s, sep) + 1;
    }
    // Only a receiver of 2 GiB cut at every byte comes near this, and its
    // pieces alone would not fit in memory.
    if (pieces > INT32_MAX) mem_out_of_memory();
    ObjArray* array = new_array_with_capacity(static_cast<int>(pieces));
    // Each new piece may collect; the array holds the pieces made so far.
    vm_push_transient(&array->obj);
    if (sep->length == 0) {
        if (n == 0) {
            array->values[array->count++] = obj_val(copy_string("", 0));
        }
        for (int32_t i = 0; i < n; i++) {
            ObjString* piece = copy_string(s->chars + i, 1);
            array->values[array->count++] = obj_val(piece);
        }
    } else {
        int32_t start = 0;
        int32_t p = find_from(s, sep, 0);
        while (p >= 0) {
            ObjString* piece = copy_string(s->chars + start, p - start);
            array->values[array->count++] = obj_val(piece);
            start = p + sep->length;
            p = find_from(s, sep, start);
        }
        ObjString* last = copy_string(s->chars + start, n - start);
        array->values[array->count++] = obj_val(last);
    }
    vm_pop_transient();
    *result = obj_val(array);
    return true;
}

// ---------------------------------------------------------------------------
// The member table
// ---------------------------------------------------------------------------

enum StringResultKind : uint32_t {
    STRING_RESULT_BASE = 0,
    STRING_RESULT_RESULT = 1,  // Result<base> whose error is a string
    STRING_RESULT_ARRAY = 3,   // array<base>
};

// Two arguments at most (replace, substring), the receiver not counted.
static constexpr int STRING_MEMBER_ARGS_MAX = 2;

struct StringMember {
    std::string_view name;
    ObjNative** native;  // filled by register_string_methods, read when a call is compiled
    NativeFn function;
    bool is_property;
    uint32_t arg_count;
    uint32_t arg_types[STRING_MEMBER_ARGS_MAX];
    uint32_t result_kind;
    uint32_t result_base;
};

// Searched in order; the natives are registered in this order too.
static constexpr StringMember string_members[] = {
    {"length", &g_string_length_native, native_string_length, true, 0, {}, STRING_RESULT_BASE, BASE_INT},
    {"is_empty", &g_string_is_empty_native, native_string_is_empty, false, 0, {}, STRING_RESULT_BASE, BASE_BOOL},
    {"is_digit", &g_string_is_digit_native, native_string_is_digit, false, 0, {}, STRING_RESULT_BASE, BASE_BOOL},
    {"is_alpha", &g_string_is_alpha_native, native_string_is_alpha, false, 0, {}, STRING_RESULT_BASE, BASE_BOOL},
    {"contains", &g_string_contains_native, native_string_contains, false, 1, {BASE_STRING}, STRING_RESULT_BASE,
     BASE_BOOL},
    {"starts_with", &g_string_starts_with_native, native_string_starts_with, false, 1, {BASE_STRING},
     STRING_RESULT_BASE, BASE_BOOL},
    {"ends_with", &g_string_ends_with_native, native_string_ends_with, false, 1, {BASE_STRING}, STRING_RESULT_BASE,
     BASE_BOOL},
    {"count", &g_string_count_native, native_string_count, false, 1, {BASE_STRING}, STRING_RESULT_BASE, BASE_INT},
    {"to_upper", &g_string_to_upper_native, native_string_to_upper, false, 0, {}, STRING_RESULT_BASE, BASE_STRING},
    {"to_lower", &g_string_to_lower_native, native_string_to_lower, false, 0, {}, STRING_RESULT_BASE, BASE_STRING},
    {"trim", &g_string_trim_native, native_string_trim, false, 0, {}, STRING_RESULT_BASE, BASE_STRING},
    {"lstrip", &g_string_lstrip_native, native_string_lstrip, false, 0, {}, STRING_RESULT_BASE, BASE_STRING},
    {"rstrip", &g_string_rstrip_native, native_string_rstrip, false, 0, {}, STRING_RESULT_BASE, BASE_STRING},
    {"replace", &g_string_replace_native, native_string_replace, false, 2, {BASE_STRING, BASE_STRING},
     STRING_RESULT_BASE, BASE_STRING},
    {"repeat", &g_string_repeat_native, native_string_repeat, false, 1, {BASE_INT}, STRING_RESULT_BASE, BASE_STRING},
    {"index", &g_string_index_native, native_string_index, false, 1, {BASE_STRING}, STRING_RESULT_RESULT, BASE_INT},
    {"substring", &g_string_substring_native, native_string_substring, false, 2, {BASE_INT, BASE_INT},
     STRING_RESULT_RESULT, BASE_STRING},
    {"split", &g_string_split_native, native_string_split, false, 1, {BASE_STRING}, STRING_RESULT_ARRAY,
     BASE_STRING},
};

static constexpr int STRING_MEMBER_COUNT = static_cast<int>(sizeof string_members / sizeof string_members[0]);
static_assert(STRING_MEMBER_COUNT == 18, "strings have a property and seventeen methods");

std::vector<std::string_view> string_member_names() {
    std::vector<std::string_view> names;
    for (const StringMember& member : string_members) names.push_back(member.name);
    return names;
}

void register_string_methods() {
    for (const StringMember& member : string_members) {
        ObjNative* native = new_native(member.function, member.arg_count + 1);
        // Registered first, so the native is a root while its name is allocated.
        vm_register_native(native);
        native->name = copy_string(member.name.data(), static_cast<int>(member.name.size()));
        *member.native = native;
    }
}

// ---------------------------------------------------------------------------
// Compiling a member
// ---------------------------------------------------------------------------

static const StringMember* find_string_member(const Token& name) {
    std::string_view wanted(name.start, name.length);
    for (const StringMember& member : string_members) {
        if (member.name == wanted) return &member;
    }
    return nullptr;
}

static StaticType member_result_type(const StringMember& member) {
    switch (member.result_kind) {
        case STRING_RESULT_RESULT: return st_of_kind(TYPE_RESULT, member.result_base, -1);
        case STRING_RESULT_ARRAY: return st_of_kind(TYPE_ARRAY, member.result_base, -1);
        default: return st_base(member.result_base);
    }
}

// The native below the receiver, which becomes its argument 0.
static void emit_member_native(const StringMember& member) {
    ObjNative* native = *member.native;
    if (native == nullptr) return;  // only when no compilation registered the natives
    emit_constant(obj_val(native));
    emit_byte(OP_SWAP);
}

void string_member(const StaticType& receiver, const Token& name) {
    int name_len = static_cast<int>(name.length);
    if (receiver.nullable) {
        report_at(name, "check it first, e.g. if (<var> != null) { ... }",
                  "operand is string?; narrowing required (added in 8b)");
        push_type(st_int());
        return;
    }
    const StringMember* found = find_string_member(name);
    if (found == nullptr) {
        report_at(name, nullptr,
                  "string has no member '%.*s' (known: length, is_empty, is_digit, is_alpha, contains, starts_with, "
                  "ends_with, count, to_upper, to_lower, trim, lstrip, rstrip, replace, repeat, index, substring, "
                  "split)",
                  name_len, name.start);
        push_type(st_int());
        return;
    }
    const StringMember& member = *found;
    const StaticType result = member_result_type(member);
    int shown = static_cast<int>(member.name.size());
    const char* text = member.name.data();

    if (member.is_property) {
        if (check(TOKEN_LEFT_PAREN)) {
            report_at(name, nullptr, "'.%.*s' is a property; remove '()' (use 'str.%.*s').", shown, text, shown, text);
            advance();
            if (check(TOKEN_RIGHT_PAREN)) advance();
        }
        emit_member_native(member);
        emit_bytes(OP_CALL, 1);
        push_type(result);
        return;
    }

    if (!check(TOKEN_LEFT_PAREN)) {
        report_at(name, nullptr, "'.%.*s' is a method; call it as 'str.%.*s(...)'.", shown, text, shown, text);
        push_type(result);
        return;
    }
    advance();
    emit_member_native(member);

    uint32_t given = 0;
    while (member.arg_count > 0 && !check(TOKEN_RIGHT_PAREN)) {
        expression();
        StaticType arg = pop_type();
        uint32_t expected = member.arg_types[given];
        given++;
        if (arg.kind != TYPE_BASE || arg.nullable || arg.base != expected) {
            report_at(name, nullptr, "argument %u of '.%.*s' expects %s, got %s", given, shown, text,
                      static_type_name(st_base(expected)), static_type_name(arg));
        }
        if (given == member.arg_count) break;
        // A call that stops short is told how many arguments it needs, not
        // that a comma is missing.
        if (check(TOKEN_RIGHT_PAREN)) break;
        consume(TOKEN_COMMA, "Expect ',' between method arguments.");
    }
    if (given < member.arg_count) {
        report_at_current("'.%.*s' expects %u argument%s.", shown, text, member.arg_count,
                          member.arg_count == 1 ? "" : "s");
        if (check(TOKEN_RIGHT_PAREN)) advance();
        push_type(result);
        return;
    }
    consume(TOKEN_RIGHT_PAREN, "Expect ')' after method arguments.");
    emit_bytes(OP_CALL, static_cast<uint8_t>(member.arg_count + 1));
    push_type(result);
}
