#pragma once

// What the job files and the console ask of each recorded path: whether the asset report
// and the upload list leave it out, whether it is its own upload form, and whether it is
// printed and written without escapes. All of it follows from the path's text alone, so it
// is worked out once per path, in one pass over its bytes for nearly every path.

#include <cstdint>
#include <string_view>
#include <vector>

#include "assets/asset_record.h"

namespace script::assets {

/// True when the path holds a text that keeps it out of the asset report and the upload
/// list: list separators the farm cannot carry, installed software, copies named by a
/// mis-decoded Chinese "copy" ("副本" read as Latin-1), and the XGen procedural itself.
bool report_excluded(std::string_view path);
/// True when the path holds a text that keeps it out of the upload list, among those the
/// asset report leaves out too.
bool upload_excluded(std::string_view path);
/// True for an absolute normal POSIX path without backslashes, nearly every recorded path:
/// the path is its own upload form.
bool own_upload_form(std::string_view path);

/// The facts of one path, each as the function of the same name gives it.
struct PathFacts
{
    bool report_excluded = false;
    bool own_upload_form = false;
    bool plain_repr = false;  ///< plain_repr_ascii
    bool plain_json = false;  ///< json_string_is_plain
};

PathFacts path_facts(std::string_view path);

/// The facts of every path of a table, worked out when the table is made: the paths are
/// not to change meanwhile. Any thread may read it then.
class PathFactTable
{
public:
    explicit PathFactTable(const PathTable& table);

    bool report_excluded(PathId id) const { return (bits(id) & k_report_excluded) != 0; }
    bool own_upload_form(PathId id) const { return (bits(id) & k_own_upload_form) != 0; }
    bool plain_repr(PathId id) const { return (bits(id) & k_plain_repr) != 0; }
    bool plain_json(PathId id) const { return (bits(id) & k_plain_json) != 0; }

private:
    static constexpr std::uint8_t k_report_excluded = 1;
    static constexpr std::uint8_t k_own_upload_form = 2;
    static constexpr std::uint8_t k_plain_repr = 4;
    static constexpr std::uint8_t k_plain_json = 8;

    std::uint8_t bits(PathId id) const { return m_bits.at(id); }

    std::vector<std::uint8_t> m_bits;  // by path number
};

}  // namespace script::assets
