// The string natives. The compiler reaches them through its member table
// (register_string_methods, string_member); they are declared here for the
// code and tests that call them directly. Argument 0 is the receiver.
#pragma once

#include "runtime/object.h"

bool native_string_length(int arg_count, Value* args, Value* result);
bool native_string_is_empty(int arg_count, Value* args, Value* result);
bool native_string_is_digit(int arg_count, Value* args, Value* result);
bool native_string_is_alpha(int arg_count, Value* args, Value* result);
bool native_string_contains(int arg_count, Value* args, Value* result);
bool native_string_starts_with(int arg_count, Value* args, Value* result);
bool native_string_ends_with(int arg_count, Value* args, Value* result);
bool native_string_count(int arg_count, Value* args, Value* result);
bool native_string_to_upper(int arg_count, Value* args, Value* result);
bool native_string_to_lower(int arg_count, Value* args, Value* result);
bool native_string_trim(int arg_count, Value* args, Value* result);
bool native_string_lstrip(int arg_count, Value* args, Value* result);
bool native_string_rstrip(int arg_count, Value* args, Value* result);
bool native_string_replace(int arg_count, Value* args, Value* result);
bool native_string_repeat(int arg_count, Value* args, Value* result);
bool native_string_index(int arg_count, Value* args, Value* result);
bool native_string_substring(int arg_count, Value* args, Value* result);
bool native_string_split(int arg_count, Value* args, Value* result);
