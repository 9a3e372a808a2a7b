// A configuration names its look-up table folders either on one line or as a list:
//
//     ocio_profile_version: 1
//     search_path: "luts:/show/common/luts"
//
//     search_path:
//       - luts
//       - $SHOW_ROOT/luts
//
// Every file below every folder is a dependency of the configuration.

#include "readers/ocio.h"

#include <fstream>
#include <iterator>

#include "assets/asset_collector.h"
#include "common/errors.h"
#include "common/platform.h"
#include "common/pypath.h"
#include "common/pyutil.h"
#include "common/regex.h"

namespace script {

namespace readers {

namespace {

constexpr std::string_view k_key_pattern = "^search_path:";
constexpr std::string_view k_environment_pattern = "^environment:";
constexpr std::string_view k_environment_entry_pattern =
    R"(^[ \t]+([A-Za-z_][A-Za-z0-9_]*)[ \t]*:(.*)$)";
constexpr std::string_view k_braced_pattern = R"(\$\{(\w+)\})";
constexpr std::string_view k_list_item_pattern = R"(^[ \t]*-(?:[ \t]+(.*))?$)";
constexpr std::string_view k_dollar_pattern = R"(\$\w+[^\\/])";
constexpr std::string_view k_bracket_pattern = R"(\[.*\])";
constexpr std::string_view k_blanks = " \t";

bool is_ascii_letter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Removes a trailing comment and one pair of surrounding quotes from a YAML scalar. In a
// quoted scalar everything after the closing quote is dropped; in a plain one a "#" starts
// a comment only after a blank.
std::string scalar_value(std::string_view text)
{
    const std::string trimmed = py_strip(text, k_blanks);
    if (trimmed.empty()) {
        return trimmed;
    }
    const char quote = trimmed.front();
    if (quote == '"' || quote == '\'') {
        const std::size_t close = trimmed.find(quote, 1);
        if (close != std::string::npos) {
            return trimmed.substr(1, close - 1);
        }
        return trimmed;
    }
    for (std::size_t i = 1; i < trimmed.size(); ++i) {
        if (trimmed[i] == '#' && (trimmed[i - 1] == ' ' || trimmed[i - 1] == '\t')) {
            return py_strip(std::string_view(trimmed).substr(0, i), k_blanks);
        }
    }
    return trimmed;
}

bool is_blank_or_comment(std::string_view line)
{
    const std::string trimmed = py_strip(line, k_blanks);
    return trimmed.empty() || trimmed.front() == '#';
}

bool is_absolute_folder(std::string_view folder)
{
    const bool drive = folder.size() >= 2 && is_ascii_letter(folder[0]) && folder[1] == ':';
    return pypath::posix::isabs(folder) || drive || folder.starts_with('\\');
}

// The value of a variable: the process environment's, else the one the configuration
// declares.
std::optional<std::string> variable_value(const std::string& name, const OcioEnvironment& declared)
{
    if (std::optional<std::string> value = platform::get_env(name)) {
        return value;
    }
    if (const auto it = declared.find(name); it != declared.end()) {
        return it->second;
    }
    return std::nullopt;
}

// Replaces every occurrence of each match whose key (from `key_of`) has a value, in match
// order, on the text as changed so far.
template <typename KeyOf>
std::string replace_variables(std::string text, const Regex& pattern, KeyOf key_of,
                              const OcioEnvironment& declared)
{
    const std::string scanned = text;
    for (const Match& m : pattern.find_all(scanned)) {
        const std::string match = m.group();
        if (const std::optional<std::string> value = variable_value(key_of(m), declared)) {
            text = replace_all(text, match, *value);
        }
    }
    return text;
}

// The entries of a flow map "{A: x, B: 'y'}" (no nesting; quotes removed).
void read_flow_map(std::string_view text, OcioEnvironment& into)
{
    const std::string body = py_strip(text.substr(1, text.rfind('}') - 1), k_blanks);
    for (const std::string& item : split(body, ",")) {
        const std::size_t colon = item.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        const std::string name = py_strip(std::string_view(item).substr(0, colon), k_blanks);
        if (!name.empty()) {
            into[name] = scalar_value(std::string_view(item).substr(colon + 1));
        }
    }
}

}  // namespace

std::vector<std::string> split_text_lines(std::string_view text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\n' && text[i] != '\r') {
            continue;
        }
        lines.emplace_back(text.substr(start, i - start));
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            ++i;
        }
        start = i + 1;
    }
    if (start < text.size()) {
        lines.emplace_back(text.substr(start));
    }
    return lines;
}

std::vector<std::string> split_search_folders(std::string_view value)
{
    std::vector<std::string> folders;
    std::string current;
    auto finish = [&] {
        std::string folder = py_strip(current);
        if (!folder.empty()) {
            folders.push_back(std::move(folder));
        }
        current.clear();
    };
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (c == ';') {
            finish();
        } else if (c == ':') {
            const std::string head = py_lstrip(current);
            const bool drive = head.size() == 1 && is_ascii_letter(head[0]) &&
                               i + 1 < value.size() &&
                               (value[i + 1] == '/' || value[i + 1] == '\\');
            if (drive) {
                current += c;
            } else {
                finish();
            }
        } else {
            current += c;
        }
    }
    finish();
    return folders;
}

std::vector<std::string> ocio_search_path_items(std::string_view config_text)
{
    static const Regex key(k_key_pattern);
    static const Regex list_item(k_list_item_pattern);
    const std::vector<std::string> lines = split_text_lines(config_text);
    std::vector<std::string> items;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::optional<Match> m = key.match_start(lines[i]);
        if (!m) {
            continue;
        }
        const std::string value = scalar_value(std::string_view(lines[i]).substr(m->end()));
        if (!value.empty()) {
            for (std::string& folder : split_search_folders(value)) {
                items.push_back(std::move(folder));
            }
            continue;
        }
        for (std::size_t k = i + 1; k < lines.size(); ++k) {
            if (const std::optional<Match> item = list_item.match_start(lines[k])) {
                std::string folder = scalar_value(item->group(1));
                if (!folder.empty()) {
                    items.push_back(std::move(folder));
                }
            } else if (!is_blank_or_comment(lines[k])) {
                break;
            }
        }
    }
    return items;
}

OcioEnvironment ocio_environment(std::string_view config_text)
{
    static const Regex key(k_environment_pattern);
    static const Regex entry(k_environment_entry_pattern);
    OcioEnvironment environment;
    const std::vector<std::string> lines = split_text_lines(config_text);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::optional<Match> m = key.match_start(lines[i]);
        if (!m) {
            continue;
        }
        const std::string value = py_strip(std::string_view(lines[i]).substr(m->end()), k_blanks);
        if (value.starts_with('{')) {
            read_flow_map(value, environment);
            continue;
        }
        // A block: indented "NAME: value" lines, comments and blank lines between them,
        // up to the next line that starts at the first column.
        for (std::size_t k = i + 1; k < lines.size(); ++k) {
            if (is_blank_or_comment(lines[k])) {
                continue;
            }
            const std::optional<Match> item = entry.match_start(lines[k]);
            if (!item) {
                break;
            }
            environment[item->group(1)] = scalar_value(item->group(2));
        }
    }
    return environment;
}

std::string expand_folder_variables(std::string folder, const OcioEnvironment& declared)
{
    static const Regex braced(k_braced_pattern);
    static const Regex dollar(k_dollar_pattern);
    static const Regex bracket(k_bracket_pattern);
    folder = replace_variables(
        std::move(folder), braced, [](const Match& m) { return m.group(1); }, declared);
    folder = replace_variables(
        std::move(folder), dollar, [](const Match& m) { return replace_all(m.group(), "$", ""); },
        declared);
    // The greedy bracket match runs from the first "[" to the last "]"; its key is what
    // lies between them.
    return replace_variables(
        std::move(folder), bracket,
        [](const Match& m) {
            const std::string match = m.group();
            return match.substr(1, match.size() - 2);
        },
        declared);
}

std::vector<std::string> ocio_search_folders(std::string_view config_text,
                                             std::string_view config_dir)
{
    const OcioEnvironment declared = ocio_environment(config_text);
    std::vector<std::string> folders;
    for (const std::string& item : ocio_search_path_items(config_text)) {
        std::string folder = expand_folder_variables(item, declared);
        if (!is_absolute_folder(folder)) {
            folder = pypath::normpath(pypath::join(config_dir, folder));
            if (platform::is_windows()) {
                folder = replace_all(folder, "\\", "/");
            }
        }
        folders.push_back(std::move(folder));
    }
    return folders;
}

}  // namespace readers

std::vector<std::string> zel_Katana_asset::get_ocio_files(const std::string& ocio_file)
{
    std::ifstream in(ocio_file, std::ios::binary);
    if (!in) {
        throw Error("cannot open OCIO configuration: " + ocio_file);
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> allfile;
    for (const std::string& folder :
         readers::ocio_search_folders(text, pypath::dirname(ocio_file))) {
        for (std::string& file : getDirFiles(folder)) {
            allfile.push_back(std::move(file));
        }
    }
    return allfile;
}

}  // namespace script
