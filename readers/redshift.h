#pragma once

// Redshift proxies (.rs): the analyser cannot read the format, so it runs Redshift's
// command-line tool with -printdependencies and reads the listing it prints, one path per
// line under heading lines such as "Texture paths:".

#include <optional>
#include <string>
#include <string_view>

namespace script::readers {

/// One raw output line of the tool as text: "" stays "", anything else must be valid
/// UTF-8. Throws script::Error naming the line when it is not.
std::string decode_tool_line(std::string_view raw_line);

/// The dependency path a decoded listing line names: the line stripped of white space at
/// both ends (a trailing "\r" included); nullopt for an empty line or a heading (a line
/// containing "Texture paths").
std::optional<std::string> dependency_path(std::string_view line);

/// The tool below a Redshift installation folder (the folder is normalised):
/// "<home>/redshiftCmdLine.exe"; on a platform that is not Windows, when that file does not
/// exist but "<home>/redshiftCmdLine" does, that one.
std::string redshift_tool_path(std::string_view redshift_home);

}  // namespace script::readers
