#pragma once

// OCIO colour configurations: the folders of look-up tables a configuration searches,
// from its top-level "search_path" key (https://opencolorio.readthedocs.io, "Config
// syntax"). Only the small YAML subset configurations use for that key is read.

#include <functional>
#include <map>
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

/// Variables a configuration declares in its top-level "environment:" section, with the
/// values written there (a block of "  NAME: value" lines, or a flow map "{NAME: value}").
using OcioEnvironment = std::map<std::string, std::string, std::less<>>;

/// The "environment:" section of a configuration; empty when there is none.
OcioEnvironment ocio_environment(std::string_view config_text);

/// Replaces variables written ${NAME}, $NAME or [NAME] in a folder, dollar ones first. A
/// name takes the process environment's value; one the process does not set takes the value
/// the configuration declares for it in `declared` (as the colour library does); other
/// names stay as written.
std::string expand_folder_variables(std::string folder, const OcioEnvironment& declared = {});

/// The folders to list for a configuration: its search-path items with variables
/// expanded (the configuration's environment section supplying names the process lacks),
/// relative ones joined under `config_dir` and normalised.
std::vector<std::string> ocio_search_folders(std::string_view config_text,
                                             std::string_view config_dir);

}  // namespace script::readers
