#include "common/pyutil.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

namespace script {
namespace {

TEST(PyFloatStr, MatchesPythonStr)
{
    const struct
    {
        double value;
        const char* text;
    } cases[] = {
        {1.0, "1.0"},
        {-2.0, "-2.0"},
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {0.1, "0.1"},
        {1.5, "1.5"},
        {24.0, "24.0"},
        {0.0001, "0.0001"},
        {0.00001, "1e-05"},
        {0.000015, "1.5e-05"},
        {123456.789, "123456.789"},
        {1e15, "1000000000000000.0"},
        {1e16, "1e+16"},
        {1.5e30, "1.5e+30"},
        {1e100, "1e+100"},
        {1e-100, "1e-100"},
        {0.1 + 0.2, "0.30000000000000004"},
        {9999999999999998.0, "9999999999999998.0"},
        {std::numeric_limits<double>::infinity(), "inf"},
        {-std::numeric_limits<double>::infinity(), "-inf"},
        {std::nan(""), "nan"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(py_float_str(c.value), c.text) << c.text;
}

TEST(PyRepr, Strings)
{
    EXPECT_EQ(py_repr(std::string_view("a")), "'a'");
    EXPECT_EQ(py_repr(std::string_view("it's")), "\"it's\"");
    EXPECT_EQ(py_repr(std::string_view("it's \"x\"")), "'it\\'s \"x\"'");
    EXPECT_EQ(py_repr(std::string_view("a\\b\n\t\r")), "'a\\\\b\\n\\t\\r'");
    EXPECT_EQ(py_repr(std::string_view("\x01\x7f")), "'\\x01\\x7f'");
    EXPECT_EQ(py_repr(std::string_view("caf\xc3\xa9")), "'caf\xc3\xa9'");
    EXPECT_EQ(py_repr(std::string_view("a\xc2\xa0" "b\xc2\x85")), "'a\\xa0b\\x85'");
}

TEST(PyRepr, ValuesAndContainers)
{
    const Json value = Json::parse(R"({"k": ["a", 1, 1.0, true, false, null, {}], "e": []})");
    EXPECT_EQ(py_repr(value), "{'k': ['a', 1, 1.0, True, False, None, {}], 'e': []}");
    EXPECT_EQ(py_repr(std::vector<std::string>{"x", "y"}), "['x', 'y']");
    EXPECT_EQ(py_repr(std::vector<std::string>{}), "[]");
    EXPECT_EQ(py_str(Json("text")), "text");
    EXPECT_EQ(py_str(Json(2.5)), "2.5");
    EXPECT_EQ(py_str(Json(-3)), "-3");
    EXPECT_EQ(py_str(Json(nullptr)), "None");
    EXPECT_EQ(py_str(Json::parse(R"(["a"])")), "['a']");
}

TEST(Truthy, FollowsPython)
{
    for (const char* falsy : {"null", "false", "0", "0.0", "\"\"", "[]", "{}"})
        EXPECT_FALSE(truthy(Json::parse(falsy))) << falsy;
    for (const char* yes : {"true", "1", "-1", "0.5", "\"0\"", "[0]", "{\"a\": 0}"})
        EXPECT_TRUE(truthy(Json::parse(yes))) << yes;
}

TEST(PyStrings, StripSplitReplaceFind)
{
    EXPECT_EQ(py_strip("  a b \n"), "a b");
    EXPECT_EQ(py_strip(" \t "), "");
    EXPECT_EQ(py_lstrip("xxaxx", "x"), "axx");
    EXPECT_EQ(py_rstrip("xxaxx", "x"), "xxa");
    EXPECT_EQ(py_strip("/a/", "/"), "a");

    EXPECT_EQ(split("a,,b", ","), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_EQ(split("", ","), (std::vector<std::string>{""}));
    EXPECT_EQ(split("a::b::", "::"), (std::vector<std::string>{"a", "b", ""}));

    EXPECT_EQ(replace_all("aaa", "aa", "b"), "ba");
    EXPECT_EQ(replace_all("a.b.c", ".", "/"), "a/b/c");
    EXPECT_EQ(replace_all("ab", "", "-"), "-a-b-");

    EXPECT_EQ(py_find("hello", "l"), 2);
    EXPECT_EQ(py_find("hello", "z"), -1);
    EXPECT_EQ(py_find("hello", ""), 0);

    EXPECT_EQ(unique_in_order({"b", "a", "b", "c", "a"}), (std::vector<std::string>{"b", "a", "c"}));
}

}  // namespace
}  // namespace script
