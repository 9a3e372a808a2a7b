#pragma once

// Python's glob.glob and fnmatch rules: "*", "?", "[...]" (with "!" negation), hidden
// names matched only by a pattern part that begins with ".", results in the order the
// file system lists folders (no sorting).

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/text_list.h"

namespace script::fs {
class DirectoryCache;
}

namespace script {

/// True when the text holds a wildcard character ("*", "?" or "[").
bool has_magic(std::string_view pattern);

/// fnmatch.fnmatchcase: the whole name against the pattern, case-sensitive.
bool fnmatch(std::string_view name, std::string_view pattern);

/// glob.glob(pattern). With a cache, folder listings and existence tests go through it.
std::vector<std::string> glob(std::string_view pattern, fs::DirectoryCache* cache = nullptr);
/// The same, added to `out`. With `regular_files`, a mark is added there for each path
/// added to `out`: 1 when the folder listing it was found in holds it as a regular file
/// (a link to one included), so that fs::isfile would say so; 0 when that is not known.
void glob_into(std::string_view pattern, fs::DirectoryCache* cache, TextList& out,
               std::vector<std::uint8_t>* regular_files = nullptr);

}  // namespace script
