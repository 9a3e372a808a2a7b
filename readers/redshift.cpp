// The tool's listing for a proxy looks like
//
//     Texture paths:
//         /show/tex/rock_diffuse.exr
//         /show/tex/rock_bump.tx
//     /show/proxies/pebble.rs
//
// and every path of it is a dependency; nested proxies are listed by their path and are
// asked for their own listing in turn.

#include "readers/redshift.h"

#include "assets/asset_collector.h"
#include "common/console.h"
#include "common/errors.h"
#include "common/fs.h"
#include "common/platform.h"
#include "common/pypath.h"
#include "common/pyutil.h"

namespace script {

namespace readers {

namespace {

constexpr std::string_view k_heading = "Texture paths";
constexpr std::string_view k_tool_name = "redshiftCmdLine";
constexpr std::string_view k_windows_suffix = ".exe";

}  // namespace

std::string decode_tool_line(std::string_view raw_line)
{
    if (!is_utf8(raw_line)) {
        throw Error("the Redshift tool printed a line that is not valid UTF-8: " +
                    py_repr(raw_line));
    }
    return std::string(raw_line);
}

std::optional<std::string> dependency_path(std::string_view line)
{
    std::string path = py_strip(line);
    if (path.empty() || path.find(k_heading) != std::string::npos) {
        return std::nullopt;
    }
    return path;
}

std::string redshift_tool_path(std::string_view redshift_home)
{
    const std::string base = pypath::normpath(redshift_home) + "/" + std::string(k_tool_name);
    const std::string with_suffix = base + std::string(k_windows_suffix);
    if (!platform::is_windows() && !fs::exists(with_suffix) && fs::exists(base)) {
        return base;
    }
    return with_suffix;
}

}  // namespace readers

void zel_Katana_asset::getRsCmdline()
{
    if (!rs_cmdLine.empty()) {
        return;
    }
    const std::optional<std::string> home = platform::get_env("REDSHIFT_HOME");
    if (!home || home->empty()) {
        throw Error("No found REDSHIFT_HOME environment!");
    }
    rs_cmdLine = readers::redshift_tool_path(*home);
}

ReaderResult zel_Katana_asset::get_rs_file_from_cmd(const std::string& rs_file)
{
    getRsCmdline();
    ReaderResult result;

    // The proxy path is one argument of its own: no shell sees it.
    console().flush();
    // Read line by line: a line longer than any path is skipped, never held whole.
    const platform::ChildOutput child = platform::run_program(
        {rs_cmdLine, "-printdependencies", rs_file}, platform::k_max_child_line_bytes);

    if (child.long_lines > 0) {
        print_line("Warnning: skip " + std::to_string(child.long_lines) + " line(s) longer than " +
                   std::to_string(platform::k_max_child_line_bytes) +
                   " bytes printed by the Redshift tool for proxy : " + rs_file);
    }
    for (const std::string& raw : child.lines) {
        const std::optional<std::string> entry = readers::dependency_path(cmd_out_decode(raw));
        if (!entry) {
            continue;
        }
        const std::string& line = *entry;
        if (line.ends_with(".rs") && !rs_asseted.contains(line)) {
            // Recorded before expanding, so proxies that list each other end.
            rs_asseted.insert(line);
            if (directory_cache().exists(line)) {
                const ReaderResult nested = get_rs_file_from_cmd(line);
                result.asset.insert(result.asset.end(), nested.asset.begin(), nested.asset.end());
                result.miss.insert(result.miss.end(), nested.miss.begin(), nested.miss.end());
            }
        }
        result.asset.push_back(line);
    }

    for (const std::string& path : unique_in_order(result.asset)) {
        if (directory_cache().exists(path)) {
            for (std::string& twin : checkCacheFile(path)) {
                result.asset.push_back(std::move(twin));
            }
        } else {
            result.miss.push_back(path);
        }
    }
    return result;
}

std::string zel_Katana_asset::cmd_out_decode(const std::string& src_str) const
{
    return readers::decode_tool_line(src_str);
}

}  // namespace script
