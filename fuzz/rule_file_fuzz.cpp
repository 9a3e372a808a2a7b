// Rule file text through the rule-line parser, split into lines as the scene walk reads
// the file ("\r\n" and "\r" end lines too). A rule line without two brace groups must
// fail as script::Error, nothing else.

#include <cstddef>
#include <cstdint>
#include <string>

#include "assets/rule_file.h"
#include "common/console.h"
#include "common/errors.h"
#include "common/pyutil.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    script::console().begin_capture();
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string lines =
        script::replace_all(script::replace_all(text, "\r\n", "\n"), "\r", "\n");
    for (const std::string& line : script::split(lines, "\n")) {
        try {
            const script::RuleLine rule = script::parse_rule_line(line, "filter.txt");
            if (rule.kind == script::RuleLine::Kind::Rule &&
                (rule.node_type.empty() || rule.parameter.empty())) {
                __builtin_trap();
            }
        } catch (const script::Error&) {
        }
    }
    script::console().end_capture();
    return 0;
}
