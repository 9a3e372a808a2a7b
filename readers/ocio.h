#pragma once

// OCIO colour configurations: the folders of look-up tables a configuration searches,
// from its top-level "search_path" key (https://opencolorio.readthedocs.io, "Config
// syntax"). Only the small YAML subset configurations use for that key is read.

#include <string>
#include <string_view>
#include <vector>

namespace script::readers {

/// The lines of a text; a line ends at "\n", "\r\n" or "\r".
std::vector<std::string> split_text_lines(std::string_view text);

/// Splits one search-path value into folders at ";" and ":", keeping a ":" that follows a
/// single drive letter at the start of a folder and precedes a slash (C:/ocio/luts).
/// Items are trimmed; empty ones are dropped.
std::vector<std::string> split_search_folders(std::string_view value);

/// The search folders as written, in file order, duplicates kept. A line must begin with
/// "search_path:". A value on the same line is trimmed, a trailing comment and one pair of
/// surrounding quotes removed, and split by split_search_folders. An empty value is
/// followed by a list, lines "  - folder", each item trimmed and unquoted but not split;
/// blank and comment lines inside the list are passed over.
std::vector<std::string> ocio_search_path_items(std::string_view config_text);

/// Replaces environment variables written $NAME or [NAME] in a folder, dollar ones first;
/// names the environment lacks stay as written.
std::string expand_folder_variables(std::string folder);

/// The folders to list for a configuration: its search-path items with variables
/// expanded, relative ones joined under `config_dir` and normalised.
std::vector<std::string> ocio_search_folders(std::string_view config_text,
                                             std::string_view config_dir);

}  // namespace script::readers
