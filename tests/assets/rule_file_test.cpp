#include "assets/rule_file.h"

#include <string>

#include <gtest/gtest.h>

#include "common/errors.h"

namespace script {
namespace {

using Kind = RuleLine::Kind;

TEST(RuleFile, LinesAreHeadingsEmptyOrRules)
{
    struct Case
    {
        std::string line;
        Kind kind;
        std::string node_type, parameter;
    };
    const Case cases[] = {
        {"# Image readers", Kind::Heading, "", ""},
        {"{ImageRead}{file} # trailing note", Kind::Heading, "", ""},
        {"", Kind::Empty, "", ""},
        {"{ImageRead}{file}", Kind::Rule, "ImageRead", "file"},
        {"  {Alembic_In} reads {abcAsset} then {ignored}", Kind::Rule, "Alembic_In", "abcAsset"},
        {"{ArnoldProcedural}{args.filename.value}", Kind::Rule, "ArnoldProcedural",
         "args.filename.value"},
        // Empty and nested braces are no groups; the groups are the innermost non-empty ones.
        {"{}{a}{{b}}", Kind::Rule, "a", "b"},
    };
    for (const Case& c : cases) {
        const RuleLine rule = parse_rule_line(c.line, "filter.txt");
        EXPECT_EQ(rule.kind, c.kind) << c.line;
        EXPECT_EQ(rule.node_type, c.node_type) << c.line;
        EXPECT_EQ(rule.parameter, c.parameter) << c.line;
    }
}

// A line of blanks is no empty line: it is a rule, and a rule without two groups.
TEST(RuleFile, RuleLinesWithoutTwoGroupsFailNamingTheFileAndLine)
{
    for (const std::string line : {" ", "{ImageRead}", "ImageRead file", "{}{}", "{a{b}"}) {
        try {
            parse_rule_line(line, "/opt/analyser/filter.txt");
            ADD_FAILURE() << "accepted: '" << line << "'";
        } catch (const Error& e) {
            EXPECT_EQ(std::string(e.what()),
                      "/opt/analyser/filter.txt: a rule needs {node type}{parameter}: " + line);
        }
    }
}

}  // namespace
}  // namespace script
