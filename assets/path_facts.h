#pragma once

// What the job files and the console ask of each recorded path: whether the asset report
// and the upload list leave it out, whether it is its own upload form, and whether it is
// printed and written without escapes. All of it follows from the path's text alone, so it
// is worked out once per path, in one pass over its bytes for nearly every path.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
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

/// The facts of every path of a table. The paths are not to change while it lives; any
/// thread may read it once its facts are worked out.
class PathFactTable
{
public:
    /// Works out every path's facts now.
    explicit PathFactTable(const PathTable& table);
    struct Shared
    {
    };
    /// Works out nothing yet: the threads that call complete() share the work.
    PathFactTable(const PathTable& table, Shared);
    PathFactTable(const PathFactTable&) = delete;
    PathFactTable& operator=(const PathFactTable&) = delete;

    /// Works out runs of paths that no other thread has taken until none is left, then
    /// waits for the runs others took. Every path's facts are there when it returns.
    const PathFactTable& complete();

    bool report_excluded(PathId id) const { return (bits(id) & k_report_excluded) != 0; }
    bool own_upload_form(PathId id) const { return (bits(id) & k_own_upload_form) != 0; }
    bool plain_repr(PathId id) const { return (bits(id) & k_plain_repr) != 0; }
    bool plain_json(PathId id) const { return (bits(id) & k_plain_json) != 0; }

private:
    static constexpr std::uint8_t k_report_excluded = 1;
    static constexpr std::uint8_t k_own_upload_form = 2;
    static constexpr std::uint8_t k_plain_repr = 4;
    static constexpr std::uint8_t k_plain_json = 8;
    // Paths taken by one thread at a time.
    static constexpr std::size_t k_run = 4096;

    std::uint8_t bits(PathId id) const { return m_bits.at(id); }

    const PathTable& m_table;
    std::vector<std::uint8_t> m_bits;  // by path number
    std::atomic<std::size_t> m_next{0}; // the first path no thread has taken
    std::atomic<std::size_t> m_done{0}; // how many paths' facts are worked out
    std::mutex m_mutex;
    std::condition_variable m_all_done;
    std::exception_ptr m_failure; // the first failure of any run, under m_mutex
    std::atomic<bool> m_failed{false};
};

}  // namespace script::assets
