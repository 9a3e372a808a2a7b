#include "assets/rule_file.h"

#include <vector>

#include "common/errors.h"
#include "common/regex.h"

namespace script {

RuleLine parse_rule_line(std::string_view line, std::string_view source_name)
{
    RuleLine rule;
    if (line.find('#') != std::string_view::npos) {
        rule.kind = RuleLine::Kind::Heading;
        return rule;
    }
    if (line.empty()) {
        return rule;
    }
    static const Regex k_brace_group(R"(\{([^{}]+)\})");
    std::vector<std::string> groups = k_brace_group.findall(line);
    if (groups.size() < 2) {
        throw Error(std::string(source_name) + ": a rule needs {node type}{parameter}: " +
                    std::string(line));
    }
    rule.kind = RuleLine::Kind::Rule;
    rule.node_type = std::move(groups[0]);
    rule.parameter = std::move(groups[1]);
    return rule;
}

}  // namespace script
