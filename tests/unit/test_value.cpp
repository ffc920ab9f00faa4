// The NaN-boxed encoding, the kind names, equality across kinds and the
// printed form of scalars.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "runtime_fixture.h"

TEST(ValueEncoding, IntsWrapModulo49Bits) {
    EXPECT_EQ(as_int(int_val(VALUE_INT_MAX)), VALUE_INT_MAX);
    EXPECT_EQ(as_int(int_val(VALUE_INT_MIN)), VALUE_INT_MIN);
    EXPECT_EQ(as_int(int_val(VALUE_INT_MAX + 1)), VALUE_INT_MIN);  // 2^48 -> -2^48
    EXPECT_EQ(as_int(int_val(VALUE_INT_MIN - 1)), VALUE_INT_MAX);  // -2^48 - 1 -> 2^48 - 1
    EXPECT_EQ(as_int(int_val(std::numeric_limits<int64_t>::min())), 0);
    EXPECT_EQ(as_int(int_val(-1)), -1);
}

TEST(ValueEncoding, SignBitDecoding) {
    EXPECT_EQ(as_int(VALUE_INT_TAG | 0x1ffffffffffffULL), -1);
    EXPECT_EQ(as_int(VALUE_INT_TAG | 0x1000000000000ULL), -281474976710656LL);
    EXPECT_EQ(as_int(VALUE_INT_TAG | 0x0ffffffffffffULL), 281474976710655LL);
}

TEST(ValueEncoding, KindsAreDisjoint) {
    const Value samples[] = {VALUE_NULL, VALUE_FALSE, VALUE_TRUE, int_val(0), int_val(-1), float_val(0.0),
                             float_val(-0.0), float_val(NAN), float_val(INFINITY), float_val(-INFINITY)};
    for (Value v : samples) {
        int kinds = is_null(v) + is_bool(v) + is_int(v) + is_obj(v) + is_float(v);
        EXPECT_EQ(kinds, 1) << std::hex << v;
    }
    EXPECT_EQ(bool_val(false), VALUE_FALSE);
    EXPECT_EQ(bool_val(true), VALUE_TRUE);
    EXPECT_EQ(float_val(-NAN), VALUE_CANONICAL_NAN);
    EXPECT_TRUE(std::signbit(as_float(float_val(-0.0))));
    int anchor = 0;
    Value ref = obj_val(&anchor);
    EXPECT_TRUE(is_obj(ref));
    EXPECT_EQ(reinterpret_cast<void*>(as_obj(ref)), static_cast<void*>(&anchor));
}

class ValueTest : public RuntimeTest {};

TEST_F(ValueTest, TypeNames) {
    EXPECT_STREQ(value_type_name(VALUE_NULL), "null");
    EXPECT_STREQ(value_type_name(VALUE_TRUE), "bool");
    EXPECT_STREQ(value_type_name(int_val(3)), "int");
    EXPECT_STREQ(value_type_name(float_val(NAN)), "float");
    ObjFunction* function = keep(new_function());
    EXPECT_STREQ(value_type_name(obj_val(function)), "function");
    EXPECT_STREQ(value_type_name(obj_val(new_closure(function))), "function");
    EXPECT_STREQ(value_type_name(obj_val(new_native(nullptr, 0))), "native function");
    EXPECT_STREQ(value_type_name(obj_val(str("s"))), "string");
    EXPECT_STREQ(value_type_name(obj_val(new_empty_map())), "map");
    EXPECT_STREQ(value_type_name(obj_val(new_result_ok(VALUE_NULL))), "Result");
    Obj odd{42, false, nullptr};
    EXPECT_STREQ(value_type_name(obj_val(&odd)), "object");
}

TEST_F(ValueTest, EqualityRules) {
    EXPECT_TRUE(values_equal(VALUE_NULL, VALUE_NULL));
    EXPECT_FALSE(values_equal(int_val(0), VALUE_FALSE));
    EXPECT_FALSE(values_equal(VALUE_FALSE, int_val(0)));
    EXPECT_FALSE(values_equal(int_val(1), float_val(1.0)));
    EXPECT_FALSE(values_equal(float_val(1.0), int_val(1)));
    EXPECT_FALSE(values_equal(float_val(NAN), float_val(NAN)));
    EXPECT_TRUE(values_equal(float_val(0.0), float_val(-0.0)));
    EXPECT_TRUE(values_equal(int_val(-5), int_val(-5)));
    EXPECT_FALSE(values_equal(VALUE_TRUE, VALUE_FALSE));
    EXPECT_FALSE(values_equal(VALUE_NULL, int_val(0)));

    ObjString* a = str("same\0tail");
    ObjString* b = keep(copy_string("same\0tail", 9));
    ObjString* c = keep(copy_string("same\0tall", 9));
    EXPECT_TRUE(values_equal(obj_val(b), obj_val(copy_string("same\0tail", 9))));
    EXPECT_FALSE(values_equal(obj_val(a), obj_val(b)));  // lengths 4 and 9
    EXPECT_FALSE(values_equal(obj_val(b), obj_val(c)));  // bytes after the NUL count

    Value one = int_val(1);
    ObjArray* x = keep(new_array_from_stack(&one, 1));
    ObjArray* y = keep(new_array_from_stack(&one, 1));
    EXPECT_FALSE(values_equal(obj_val(x), obj_val(y)));
    EXPECT_TRUE(values_equal(obj_val(x), obj_val(x)));
    EXPECT_FALSE(values_equal(obj_val(x), int_val(1)));
}

TEST_F(ValueTest, PrintedForms) {
    EXPECT_EQ(printed(VALUE_NULL), "null");
    EXPECT_EQ(printed(VALUE_TRUE), "true");
    EXPECT_EQ(printed(VALUE_FALSE), "false");
    EXPECT_EQ(printed(int_val(7)), "7");
    EXPECT_EQ(printed(int_val(VALUE_INT_MIN)), "-281474976710656");
    EXPECT_EQ(printed(float_val(7.0)), "7.0");
    EXPECT_EQ(printed(float_val(2.5)), "2.5");
    EXPECT_EQ(printed(float_val(100000.0)), "100000.0");
    EXPECT_EQ(printed(float_val(1000000.0)), "1e+06");
    EXPECT_EQ(printed(float_val(1e20)), "1e+20");
    EXPECT_EQ(printed(float_val(1e-05)), "1e-05");
    EXPECT_EQ(printed(float_val(-0.0)), "-0.0");
    EXPECT_EQ(printed(float_val(INFINITY)), "inf");
    EXPECT_EQ(printed(float_val(-INFINITY)), "-inf");
    EXPECT_EQ(printed(float_val(NAN)), "nan");
    EXPECT_EQ(printed(float_val(-1.7976931348623157e308)), "-1.79769e+308");
    EXPECT_EQ(printed(VALUE_UNSET_GLOBAL), "");
}

TEST(FormatInt, MatchesPrintfAcrossTheRange) {
    const int64_t samples[] = {0, 1, -1, 9, 10, -10, 99, 100, 123456789, VALUE_INT_MAX, VALUE_INT_MIN,
                               std::numeric_limits<int64_t>::max(), std::numeric_limits<int64_t>::min()};
    for (int64_t n : samples) {
        char ours[INT_TEXT_MAX];
        char theirs[32];
        int length = format_int(n, ours);
        std::snprintf(theirs, sizeof theirs, "%lld", static_cast<long long>(n));
        EXPECT_STREQ(ours, theirs);
        EXPECT_EQ(static_cast<size_t>(length), std::strlen(theirs));
    }
}
