#include "common/json_doc.h"

#include <cmath>

#include <gtest/gtest.h>

#include "common/errors.h"
#include "common/platform.h"
#include "tests/support/temp_dir.h"

namespace script {
namespace {

TEST(JsonDoc, JobLayoutMatchesPythonIndentFour)
{
    Json doc = Json::object();
    doc["name"] = "caf\xc3\xa9";
    doc["frames"] = Json::array({1, 2.0});
    doc["empty"] = Json::object();
    doc["none"] = Json::array();
    EXPECT_EQ(dump_job_document(doc),
              "{\n"
              "    \"name\": \"caf\xc3\xa9\",\n"
              "    \"frames\": [\n"
              "        1,\n"
              "        2.0\n"
              "    ],\n"
              "    \"empty\": {},\n"
              "    \"none\": []\n"
              "}");
}

TEST(JsonDoc, NumbersAsPythonWritesThem)
{
    const Json doc = Json::parse(R"([1e15, 1e16, 0.00001, 1.0, -0.0, 3, -7, true, null, "a\"b\\\n\u0001"])");
    EXPECT_EQ(dump_job_document(doc),
              "[\n    1000000000000000.0,\n    1e+16,\n    1e-05,\n    1.0,\n    -0.0,\n    3,\n    -7,\n"
              "    true,\n    null,\n    \"a\\\"b\\\\\\n\\u0001\"\n]");
    EXPECT_EQ(dump_job_document(Json(std::nan(""))), "NaN");
    EXPECT_EQ(dump_job_document(Json(-HUGE_VAL)), "-Infinity");
    EXPECT_EQ(dump_job_document(Json::parse(R"({"a": {"b": []}})")), "{\n    \"a\": {\n        \"b\": []\n    }\n}");
}

TEST(JsonDoc, AsciiEscapesAndInvalidUtf8)
{
    EXPECT_EQ(dump_ascii_document(Json("caf\xc3\xa9 \xf0\x9f\x98\x80")), "\"caf\\u00e9 \\ud83d\\ude00\"");
    // Broken UTF-8 is replaced instead of failing the write.
    EXPECT_NO_THROW(dump_job_document(Json("bad \xff byte")));
}

TEST(JsonDoc, ParseSkipsBomAndReportsErrors)
{
    EXPECT_EQ(parse_json_text("\xEF\xBB\xBF{\"a\": 1}")["a"], 1);
    EXPECT_THROW(parse_json_text("{\"a\": "), Error);
    EXPECT_THROW(parse_json_text(""), Error);
}

TEST(JsonDoc, AtomicWriteReplacesAndCleansUp)
{
    testing::TempDir dir;
    const std::string path = dir.write("job.json", "old");
    write_file_atomic(path, "new text");
    EXPECT_EQ(read_file(path), "new text");
    EXPECT_FALSE(testing::read_text(path + ".tmp." + std::to_string(::getpid())).size());

    EXPECT_THROW(write_file_atomic(dir.file("missing/job.json"), "x"), Error);
    EXPECT_THROW(read_file(dir.file("nothing.json")), Error);
}

}  // namespace
}  // namespace script
