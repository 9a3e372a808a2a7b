#pragma once

// File-system queries with Python's answers (os.path.exists and friends never fail), and
// the per-run directory cache that lets the collector list each folder once.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "common/text_index.h"

namespace script::fs {

/// os.path.exists (follows links; false on any error), lexists, isfile, isdir.
bool exists(const std::string& path);
bool lexists(const std::string& path);
bool isfile(const std::string& path);
bool isdir(const std::string& path);

/// Size in bytes, or nullopt when the path cannot be stat'ed.
std::optional<std::uint64_t> file_size(const std::string& path);
/// Last modification time in seconds since the epoch, or nullopt.
std::optional<std::int64_t> mtime(const std::string& path);

enum class EntryKind : std::uint8_t
{
    File,      ///< a regular file (links followed)
    Directory, ///< a directory (links followed)
    Other,     ///< a device, socket, fifo, or a dangling link
};

struct DirEntry
{
    std::string_view name;  ///< held by the listing the entry belongs to
    EntryKind kind = EntryKind::Other;
    bool is_link = false;
};

/// The entries of one folder in listing order. All names are kept in one block owned by
/// the listing (folders of a farm scene hold tens of thousands of files), so a listing
/// moves but is not copied.
class DirListing
{
public:
    DirListing() = default;
    DirListing(DirListing&&) noexcept = default;
    DirListing& operator=(DirListing&&) noexcept = default;
    DirListing(const DirListing&) = delete;
    DirListing& operator=(const DirListing&) = delete;

    std::vector<DirEntry>::const_iterator begin() const { return m_entries.begin(); }
    std::vector<DirEntry>::const_iterator end() const { return m_entries.end(); }
    std::size_t size() const { return m_entries.size(); }
    bool empty() const { return m_entries.empty(); }
    const DirEntry& operator[](std::size_t i) const { return m_entries[i]; }

private:
    friend DirListing list_dir(const std::string& path);
    std::vector<DirEntry> m_entries;
    std::unique_ptr<char[]> m_names;
};

/// os.listdir / os.scandir: the entries of a folder in the order the file system gives,
/// without "." and "..". Throws script::Error naming the folder when it cannot be listed.
DirListing list_dir(const std::string& path);

/// Identity of the folder a path leads to (device and inode, links followed), or nullopt.
/// Recursive walks use it to enter each folder once, whatever links lead there.
std::optional<std::pair<std::uint64_t, std::uint64_t>> directory_identity(const std::string& path);

/// Creates the folder and its missing parents (os.makedirs with exist_ok). Throws
/// script::Error when that fails.
void make_dirs(const std::string& path);

/// A run-long cache of folder listings. Every answer equals what the uncached query above
/// would give, as long as nothing changes the listed folders during the run; paths with
/// "." or ".." components, or relative paths, are answered by the uncached query.
class DirectoryCache
{
public:
    DirectoryCache();
    ~DirectoryCache();
    DirectoryCache(const DirectoryCache&) = delete;
    DirectoryCache& operator=(const DirectoryCache&) = delete;

    /// Lists the named folders not listed yet on a thread of its own, ahead of the queries
    /// that will need them: a query then takes the folder's listing from there (waiting
    /// while it is being made) instead of listing it itself. Answers are the same either
    /// way. Only absolute normal names are listed ahead; without a thread, none are.
    void list_ahead(const std::vector<std::string>& folders);
    /// Stops listing ahead and lets go of listings no query took: before the cache is
    /// handed to another thread.
    void stop_listing_ahead();

    /// The listing of a folder, or nullptr when it is not a listable folder.
    const DirListing* listing(std::string_view dir);
    bool exists(const std::string& path);
    /// exists(), also telling whether the listing holds the path as a regular file (a
    /// link to one included), which isfile() would then say; false when not known.
    bool exists(const std::string& path, bool& regular_file);
    /// exists() of `dir` + "/" + `name`, for a name without "/". A name in the folder
    /// looked up last is looked up without building the path.
    bool exists_in(std::string_view dir, std::string_view name, bool& regular_file);
    /// The bit that stands for a file-name extension (the text after the last ".") among
    /// the extensions of a folder's names.
    static std::uint64_t extension_bit(std::string_view extension);
    /// When `dir` is the folder looked up last, the extension_bit() of every extension its
    /// names have, as one set: a file whose extension's bit is not in it is not there.
    /// Nothing when that is not known.
    std::optional<std::uint64_t> extensions_of_last(std::string_view dir) const;
    bool lexists(const std::string& path);
    bool isfile(const std::string& path);
    bool isdir(const std::string& path);
    /// The listing of a folder and the positions, in listing order, of the entries whose
    /// names begin with `prefix`; nullptr when it is not a listable folder. Lets wildcard
    /// expansion test only the names that can match instead of the whole folder.
    const DirListing* listing_with_prefix(std::string_view dir, std::string_view prefix,
                                          std::vector<std::uint32_t>& positions);
    /// Number of folders actually listed (for benchmarks).
    std::size_t folders_listed() const { return m_folders_listed; }

private:
    struct Listed
    {
        bool ok = false;
        bool absent = false; // not listed because the folder is not there
        DirListing entries;
        TextIndex index;                    // name -> position in entries
        std::vector<std::uint32_t> sorted;  // positions ordered by name, built when first needed
                                            // (at once when listed ahead)
        std::uint64_t extensions = 0;       // a bit for each hash of a name's extension
    };
    class ReadAhead;
    /// A folder's listing with its name index, and its name order when `sorted`.
    static std::unique_ptr<Listed> make_listed(const std::string& dir, bool sorted);
    const Listed* lookup(std::string_view dir);
    const DirEntry* entry_of(const std::string& path, bool* answered);

    struct TextHash
    {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const { return hash_text(text); }
    };
    std::unordered_map<std::string, std::unique_ptr<Listed>, TextHash, std::equal_to<>> m_dirs;
    std::size_t m_folders_listed = 0;
    std::unique_ptr<ReadAhead> m_read_ahead;
    bool m_read_ahead_failed = false;                                          // no thread
    std::unordered_set<std::string, TextHash, std::equal_to<>> m_listed_ahead; // ever asked
    // The folder looked up last: lookups come in runs over one folder.
    std::string_view m_last_dir;
    const Listed* m_last_listed = nullptr;
};

}  // namespace script::fs
