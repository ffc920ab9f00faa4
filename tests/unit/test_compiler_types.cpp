// Static types: assignability, printed names, the signature table's sharing
// and its limit, and the parser of type annotations with its recovery.
#include <string>

#include "compiler/compiler_internal.h"
#include "compiler_fixture.h"
#include "diagnostics/diag.h"

namespace {

class TypesTest : public CompilerTest {
protected:
    void SetUp() override {
        CompilerTest::SetUp();
        compiler_forget_tables();
    }

    // Parses one annotation from text; reports go to errors_.
    StaticType parse(const char* text) {
        diag_init(text, "type.vsr");
        parser.had_error = 0;
        parser.panic_mode = 0;
        testing::internal::CaptureStderr();
        token_stream_prime(text);
        StaticType t = parse_type();
        errors_ = testing::internal::GetCapturedStderr();
        return t;
    }

    static FuncSig sig(std::initializer_list<StaticType> params, StaticType ret) {
        FuncSig s{};
        for (const StaticType& p : params) s.params[s.param_count++] = p;
        s.has_return = st_is_none(ret) ? 0 : 1;
        s.return_type = ret;
        return s;
    }
};

const StaticType INT = st_int();
const StaticType FLOAT = st_base(BASE_FLOAT);
const StaticType NULLABLE_INT = st_base(BASE_INT, true);
const StaticType NULL_T = st_base(BASE_NULL);

TEST_F(TypesTest, BaseTypesAndNull) {
    EXPECT_TRUE(st_assignable(NULLABLE_INT, NULL_T));
    EXPECT_FALSE(st_assignable(INT, NULL_T));
    EXPECT_FALSE(st_assignable(st_of_kind(TYPE_STRUCT, BASE_NONE, 0), NULL_T));
    EXPECT_TRUE(st_assignable(NULLABLE_INT, INT));
    EXPECT_FALSE(st_assignable(INT, NULLABLE_INT));
    EXPECT_FALSE(st_assignable(FLOAT, INT));
    EXPECT_FALSE(st_assignable(INT, FLOAT));
    EXPECT_FALSE(st_assignable(INT, st_none()));
    EXPECT_FALSE(st_assignable(st_none(), st_none()));
}

TEST_F(TypesTest, CollectionsAndResults) {
    StaticType arr_int = st_of_kind(TYPE_ARRAY, BASE_INT, -1);
    StaticType arr_nullable = arr_int;
    arr_nullable.nullable = 1;
    EXPECT_TRUE(st_assignable(arr_int, st_of_kind(TYPE_ARRAY_ANY, BASE_NONE, -1)));
    EXPECT_FALSE(st_assignable(arr_nullable, arr_int));
    EXPECT_FALSE(st_assignable(arr_int, arr_nullable));
    EXPECT_FALSE(st_assignable(st_of_kind(TYPE_ARRAY_ANY, BASE_NONE, -1), arr_int));

    StaticType result_int = st_of_kind(TYPE_RESULT, BASE_INT, -1);
    EXPECT_TRUE(st_assignable(result_int, st_of_kind(TYPE_RESULT, BASE_INT, RESULT_ERROR_OPEN)));
    EXPECT_TRUE(st_assignable(result_int, result_int));
    EXPECT_FALSE(st_assignable(result_int, st_of_kind(TYPE_RESULT, BASE_INT, 0)));
    EXPECT_FALSE(st_assignable(result_int, st_of_kind(TYPE_RESULT, BASE_FLOAT, -1)));
    EXPECT_TRUE(st_assignable(result_int, st_of_kind(TYPE_RESULT_ANY, BASE_NONE, -1)));
    EXPECT_FALSE(st_assignable(result_int, st_of_kind(TYPE_RESULT_ANY, BASE_NONE, 0)));
    // What a test proved about a value plays no part.
    StaticType known_ok = result_int;
    known_ok.result_state = 1;
    EXPECT_TRUE(st_assignable(result_int, known_ok));

    StaticType map_si = st_of_kind(TYPE_MAP, BASE_STRING, 0);
    map_si.value_base = BASE_INT;
    StaticType map_si_nullable = map_si;
    map_si_nullable.value_nullable = 1;
    EXPECT_TRUE(st_assignable(map_si, st_of_kind(TYPE_MAP_ANY, BASE_NONE, 0)));
    EXPECT_FALSE(st_assignable(map_si, map_si_nullable));
}

TEST_F(TypesTest, FunctionTypesCompareByShapeNotByRow) {
    // Two rows written separately but alike.
    func_sig_table[0] = sig({INT}, INT);
    func_sig_table[1] = sig({INT}, INT);
    func_sig_table[2] = sig({NULLABLE_INT}, INT);
    func_sig_table[3] = sig({INT}, NULLABLE_INT);
    func_sig_table[4] = sig({INT}, st_none());
    func_sig_count = 5;
    auto fn = [](int row) { return st_of_kind(TYPE_FUNC, BASE_NONE, row); };
    EXPECT_TRUE(st_assignable(fn(0), fn(1)));
    EXPECT_TRUE(st_assignable(fn(1), fn(0)));
    // Parameters must fit both ways; results one way.
    EXPECT_FALSE(st_assignable(fn(0), fn(2)));
    EXPECT_FALSE(st_assignable(fn(2), fn(0)));
    EXPECT_TRUE(st_assignable(fn(3), fn(0)));
    EXPECT_FALSE(st_assignable(fn(0), fn(3)));
    EXPECT_FALSE(st_assignable(fn(0), fn(4)));
    EXPECT_FALSE(st_assignable(fn(0), fn(7)));  // no such row
}

TEST_F(TypesTest, SignatureRowsAreSharedAndLimited) {
    int a = func_sig_add(sig({INT, FLOAT}, st_bool()));
    int b = func_sig_add(sig({INT, FLOAT}, st_bool()));
    int c = func_sig_add(sig({INT}, st_bool()));
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    EXPECT_EQ(func_sig_count, 2);

    diag_init("x", "sig.vsr");
    token_stream_prime("x");
    parser.had_error = 0;
    parser.panic_mode = 0;
    for (int i = func_sig_count; i < FUNC_SIG_MAX; i++) {
        FuncSig s{};
        s.param_count = 1;
        s.params[0] = st_of_kind(TYPE_STRUCT, BASE_NONE, i);  // distinct rows
        ASSERT_EQ(func_sig_add(s), i);
    }
    EXPECT_EQ(func_sig_add(sig({INT, FLOAT}, st_bool())), a);  // still found when full
    testing::internal::CaptureStderr();
    EXPECT_EQ(func_sig_add(sig({FLOAT}, FLOAT)), -1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("error: Too many function signatures.\n", 0), 0u) << err;
    EXPECT_EQ(func_type_of(sig({FLOAT}, FLOAT)).kind, TYPE_STRUCT);
}

TEST_F(TypesTest, Names) {
    EXPECT_STREQ(static_type_name(NULLABLE_INT), "int?");
    EXPECT_STREQ(static_type_name(st_none()), "no-value");
    EXPECT_STREQ(static_type_name(NULL_T), "null");
    StaticType arr = st_of_kind(TYPE_ARRAY, BASE_STRING, -1);
    arr.nullable = 1;
    EXPECT_STREQ(static_type_name(arr), "array<string?>");
    StaticType map = st_of_kind(TYPE_MAP, BASE_BOOL, 0);
    map.value_base = BASE_FLOAT;
    map.value_nullable = 1;
    EXPECT_STREQ(static_type_name(map), "map<bool, float?>");
    EXPECT_STREQ(static_type_name(st_of_kind(TYPE_RESULT, BASE_INT, RESULT_ERROR_OPEN)), "Result<int>");
    EXPECT_STREQ(static_type_name(st_of_kind(TYPE_RESULT_ANY, BASE_NONE, -1)), "Result<?>");
    EXPECT_STREQ(static_type_name(st_of_kind(TYPE_STRUCT, BASE_NONE, 3)), "<struct>");

    int inner = func_sig_add(sig({INT, st_base(BASE_STRING)}, st_bool()));
    StaticType inner_t = st_of_kind(TYPE_FUNC, BASE_NONE, inner);
    int outer = func_sig_add(sig({inner_t}, inner_t));
    StaticType outer_t = st_of_kind(TYPE_FUNC, BASE_NONE, outer);
    int broken = func_sig_add(sig({INT}, st_none()));
    StaticType arr_fn = st_of_kind(TYPE_ARRAY, BASE_FUNC, inner);
    // Four names stay valid together, however deeply they nest.
    const char* a = static_type_name(outer_t);
    const char* b = static_type_name(inner_t);
    const char* c = static_type_name(st_of_kind(TYPE_FUNC, BASE_NONE, broken));
    const char* d = static_type_name(arr_fn);
    EXPECT_STREQ(a, "((int, string) => bool) => (int, string) => bool");
    EXPECT_STREQ(b, "(int, string) => bool");
    EXPECT_STREQ(c, "(int) => no-value");
    EXPECT_STREQ(d, "array<(int, string) => bool>");
    EXPECT_STREQ(static_type_name(st_of_kind(TYPE_FUNC, BASE_NONE, 99)), "(...) => ?");
}

TEST_F(TypesTest, LongNamesAreCutToTheBuffer) {
    StaticType t = st_base(BASE_STRING);
    int row = func_sig_add(sig({t, t, t, t, t, t, t, t, t, t, t, t, t, t, t, t}, t));
    std::string name = static_type_name(st_of_kind(TYPE_FUNC, BASE_NONE, row));
    EXPECT_EQ(name.size(), static_cast<size_t>(TYPE_NAME_MAX - 1));
    EXPECT_EQ(name.rfind("(string, string, ", 0), 0u);
}

TEST_F(TypesTest, ParsingAnnotations) {
    StaticType t = parse("int?");
    EXPECT_TRUE(st_is_base(t, BASE_INT) && t.nullable);
    t = parse("map<string, int?>");
    EXPECT_STREQ(static_type_name(t), "map<string, int?>");
    t = parse("array<(int, int) => int>");
    EXPECT_STREQ(static_type_name(t), "array<(int, int) => int>");
    t = parse("(int) => (int) => bool");
    EXPECT_STREQ(static_type_name(t), "(int) => (int) => bool");
    t = parse("() => string");
    EXPECT_STREQ(static_type_name(t), "() => string");
    EXPECT_EQ(errors_, "");
}

TEST_F(TypesTest, AnnotationErrorsRecover) {
    StaticType t = parse("map<float, int>");
    EXPECT_TRUE(st_is_none(t));
    EXPECT_EQ(errors_.rfind("error: map key type must be string / int / bool (non-nullable).\n", 0), 0u) << errors_;

    t = parse("Result<int?>");
    EXPECT_STREQ(static_type_name(t), "Result<int>");
    EXPECT_EQ(errors_.rfind("error: nullable inside Result<...> is not supported in 9a.\n", 0), 0u) << errors_;

    t = parse("array<array<int>>");
    EXPECT_TRUE(st_is_none(t));
    EXPECT_NE(errors_.find("Expect base type inside array<...>"), std::string::npos) << errors_;

    t = parse("(int) => ");
    EXPECT_STREQ(static_type_name(t), "(int) => no-value");

    t = parse("auto");
    EXPECT_TRUE(st_is_none(t));
    EXPECT_EQ(parser.current.type, TOKEN_AUTO);  // nothing consumed
}

}  // namespace
