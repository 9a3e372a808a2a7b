#pragma once

// The rule file (filter.txt) names, one rule a line, the node parameters that hold file
// paths:
//
//     # image readers
//     {ImageRead}{file}
//     {Alembic_In}{abcAsset}
//
// A line holding "#" anywhere is a section heading, an empty line is skipped, and any other
// line is a rule whose first two brace groups are the node type and the parameter path;
// text outside the braces is ignored.

#include <string>
#include <string_view>

namespace script {

/// One line of the rule file, as the scene walk uses it.
struct RuleLine
{
    enum class Kind
    {
        Heading,
        Empty,
        Rule,
    };
    Kind kind = Kind::Empty;
    /// For a rule: the texts inside its first two brace groups.
    std::string node_type;
    std::string parameter;
};

/// Classifies one line (without its line break). Throws script::Error naming
/// `source_name` and quoting the line when a rule line has fewer than two brace groups.
RuleLine parse_rule_line(std::string_view line, std::string_view source_name);

}  // namespace script
