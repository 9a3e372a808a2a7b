#include "common/fs.h"

#include <algorithm>
#include <array>
#include <bit>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <thread>

#include <dirent.h>
#include <sys/stat.h>

#include "common/errors.h"
#include "common/platform.h"
#include "common/pypath.h"
#include "common/text_match.h"

namespace script::fs {

bool exists(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

bool lexists(const std::string& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

bool isfile(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool isdir(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<std::uint64_t> file_size(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return std::nullopt;
    return static_cast<std::uint64_t>(st.st_size);
}

std::optional<std::int64_t> mtime(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return std::nullopt;
    return static_cast<std::int64_t>(st.st_mtime);
}

namespace {

EntryKind kind_of_mode(mode_t mode)
{
    if (S_ISREG(mode))
        return EntryKind::File;
    if (S_ISDIR(mode))
        return EntryKind::Directory;
    return EntryKind::Other;
}

}  // namespace

DirListing list_dir(const std::string& path)
{
    DIR* dir = path.empty() ? nullptr : ::opendir(path.c_str());
    if (!dir)
        throw Error("cannot list folder " + path + ": " + std::strerror(path.empty() ? ENOENT : errno));
    // Gathered in buffers each thread keeps from one folder to the next, then copied once
    // into a listing of the exact size: the listing thread lists thousands of folders, and
    // growing each listing's tables step by step would copy them and touch new memory.
    thread_local std::string names; // every name, one after another
    thread_local std::vector<std::size_t> offsets;
    thread_local std::vector<DirEntry> entries;
    names.clear();
    offsets.clear();
    entries.clear();
    DirListing listing;
    const std::string prefix = path.back() == '/' ? path : path + "/";
    std::string full;
    while (const dirent* item = ::readdir(dir)) {
        const std::string_view name = item->d_name;
        if (name == "." || name == "..")
            continue;
        DirEntry entry;
        unsigned char type = item->d_type;
        if (type == DT_UNKNOWN || type == DT_LNK)
            full.assign(prefix).append(name);
        if (type == DT_UNKNOWN) {
            struct stat st {};
            if (::lstat(full.c_str(), &st) == 0)
                type = S_ISLNK(st.st_mode) ? DT_LNK : (S_ISDIR(st.st_mode) ? DT_DIR : (S_ISREG(st.st_mode) ? DT_REG : DT_FIFO));
        }
        if (type == DT_LNK) {
            // Links are reported by what they point to, as os.path.isdir/isfile do.
            entry.is_link = true;
            struct stat st {};
            entry.kind = ::stat(full.c_str(), &st) == 0 ? kind_of_mode(st.st_mode) : EntryKind::Other;
        } else if (type == DT_REG) {
            entry.kind = EntryKind::File;
        } else if (type == DT_DIR) {
            entry.kind = EntryKind::Directory;
        } else {
            entry.kind = EntryKind::Other;
        }
        offsets.push_back(names.size());
        names.append(name);
        entries.push_back(entry);
    }
    ::closedir(dir);
    offsets.push_back(names.size());
    listing.m_entries.assign(entries.begin(), entries.end());
    listing.m_names = std::unique_ptr<char[]>(new char[names.size() + 1]);
    std::memcpy(listing.m_names.get(), names.data(), names.size());
    for (std::size_t i = 0; i < listing.m_entries.size(); ++i)
        listing.m_entries[i].name = std::string_view(listing.m_names.get() + offsets[i], offsets[i + 1] - offsets[i]);
    return listing;
}

std::optional<std::pair<std::uint64_t, std::uint64_t>> directory_identity(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return std::nullopt;
    return std::make_pair(static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino));
}

void make_dirs(const std::string& path)
{
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (ec && !isdir(path))
        throw Error("cannot create folder " + path + ": " + ec.message());
    if (!isdir(path))
        throw Error("cannot create folder " + path);
}

namespace {

// An absolute path that normalising would leave as it is; such names mean the same folder
// for the whole run.
bool cacheable(std::string_view path)
{
    return !path.empty() && path[0] == '/' && pypath::posix::is_normal(path);
}

}  // namespace

/// The folders a walk is about to query, listed in the order named on a thread of its own.
/// A listing waits here until a query takes it; when too many wait, the oldest (the ones
/// the walk has most likely passed by) are let go, so memory stays bounded.
class DirectoryCache::ReadAhead
{
public:
    static constexpr std::size_t k_max_waiting = 256; // folders
    static constexpr std::size_t k_max_waiting_entries = std::size_t{1} << 18;

    ReadAhead() : m_worker([this] { work(); }) {}

    ~ReadAhead()
    {
        {
            const std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_work.notify_one();
        m_worker.join();
    }

    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    void want(const std::vector<std::string>& folders)
    {
        {
            const std::lock_guard lock(m_mutex);
            for (const std::string& folder : folders) {
                if (m_slots.try_emplace(folder).second)
                    m_queue.push_back(folder);
            }
        }
        m_work.notify_one();
    }

    /// The listing made ahead for `dir`, waiting while it is being made; nullptr when it
    /// was not asked for, was let go, or has not been begun (the caller lists it then).
    std::unique_ptr<Listed> take(std::string_view dir)
    {
        std::unique_lock lock(m_mutex);
        const auto it = m_slots.find(dir);
        if (it == m_slots.end())
            return nullptr;
        // Elements stay where they are while others are added or erased.
        Slot& slot = it->second;
        if (slot.state == State::Listing) {
            m_taker_waiting = true;
            m_listed.wait(lock, [&slot] { return slot.state != State::Listing; });
            m_taker_waiting = false;
        }
        std::unique_ptr<Listed> listed = std::move(slot.listed);
        if (slot.state == State::Listed) {
            m_waiting_entries -= slot.entries;
            --m_waiting;
        }
        m_slots.erase(m_slots.find(dir));
        return listed;
    }

private:
    enum class State : std::uint8_t
    {
        Queued,
        Listing,
        Listed,
    };
    struct Slot
    {
        State state = State::Queued;
        std::unique_ptr<Listed> listed;
        std::size_t entries = 0;
    };

    void work()
    {
        platform::offer_thread_heap_huge_pages();
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_work.wait(lock, [this] { return m_stop || !m_queue.empty(); });
            if (m_stop)
                return;
            const std::string dir = std::move(m_queue.front());
            m_queue.pop_front();
            const auto it = m_slots.find(dir);
            if (it == m_slots.end() || it->second.state != State::Queued)
                continue; // taken since: the query listed it itself
            Slot& slot = it->second;
            slot.state = State::Listing;
            lock.unlock();
            std::unique_ptr<Listed> listed;
            try {
                listed = make_listed(dir, true);
            } catch (...) {
                listed.reset(); // out of memory, say: the query lists it itself
            }
            lock.lock();
            slot.entries = listed ? listed->entries.size() : 0;
            slot.listed = std::move(listed);
            slot.state = State::Listed;
            m_waiting_entries += slot.entries;
            ++m_waiting;
            m_done.push_back(dir);
            let_go_of_oldest();
            if (m_taker_waiting) {
                lock.unlock();
                m_listed.notify_all();
                lock.lock();
            }
        }
    }

    // Keeps the listings waiting within bounds, the newest always. Names of listings taken
    // since are dropped as they come to the front.
    void let_go_of_oldest()
    {
        while (m_done.size() > 1) {
            const auto it = m_slots.find(m_done.front());
            const bool waiting = it != m_slots.end() && it->second.state == State::Listed;
            if (waiting && m_waiting <= k_max_waiting && m_waiting_entries <= k_max_waiting_entries)
                return;
            if (waiting) {
                m_waiting_entries -= it->second.entries;
                --m_waiting;
                m_slots.erase(it);
            }
            m_done.pop_front();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_work;   // the worker waits for folders
    std::condition_variable m_listed; // a query waits for the listing being made
    std::unordered_map<std::string, Slot, TextHash, std::equal_to<>> m_slots;
    std::deque<std::string> m_queue;
    std::deque<std::string> m_done; // listed, oldest first (some taken since)
    std::size_t m_waiting = 0;      // listed, not taken
    std::size_t m_waiting_entries = 0;
    bool m_taker_waiting = false;
    bool m_stop = false;
    std::thread m_worker; // last: starts once the rest is made
};

DirectoryCache::DirectoryCache() = default;

DirectoryCache::~DirectoryCache() = default;

void DirectoryCache::list_ahead(const std::vector<std::string>& folders)
{
    std::vector<std::string> wanted;
    for (const std::string& folder : folders) {
        if (cacheable(folder) && folder != "/" && !m_dirs.contains(folder) &&
            m_listed_ahead.insert(folder).second)
            wanted.push_back(folder);
    }
    if (wanted.empty() || m_read_ahead_failed)
        return;
    if (!m_read_ahead) {
        try {
            m_read_ahead = std::make_unique<ReadAhead>();
        } catch (const std::system_error&) {
            m_read_ahead_failed = true; // no thread: each folder is listed when queried
            return;
        }
    }
    m_read_ahead->want(wanted);
}

void DirectoryCache::stop_listing_ahead()
{
    m_read_ahead.reset();
}

const DirectoryCache::Listed* DirectoryCache::lookup(std::string_view dir)
{
    if (m_last_listed && dir == m_last_dir)
        return m_last_listed;
    auto it = m_dirs.find(dir);
    if (it != m_dirs.end()) {
        m_last_dir = it->first;
        m_last_listed = it->second.get();
        return m_last_listed;
    }
    std::unique_ptr<Listed> listed;
    if (m_read_ahead)
        listed = m_read_ahead->take(dir);
    if (!listed)
        listed = make_listed(std::string(dir), false);
    if (listed->ok)
        ++m_folders_listed;
    const auto placed = m_dirs.emplace(std::string(dir), std::move(listed)).first;
    m_last_dir = placed->first;
    m_last_listed = placed->second.get();
    return m_last_listed;
}

const DirListing* DirectoryCache::listing(std::string_view dir)
{
    if (!cacheable(dir)) {
        // Relative or unnormalised names may change meaning; list them each time.
        auto listed = std::make_unique<Listed>();
        try {
            listed->entries = list_dir(std::string(dir));
            listed->ok = true;
        } catch (const Error&) {
            return nullptr;
        }
        std::string key(1, '\x01');
        key.append(dir);
        auto& slot = m_dirs[key];
        slot = std::move(listed);
        return &slot->entries;
    }
    const Listed* listed = lookup(dir);
    return listed->ok ? &listed->entries : nullptr;
}

namespace {

// Positions of the entries in name order. Names of one folder often share a long start, so
// they are ordered by the eight bytes after the start all of them share, as one number, and
// only names with equal numbers by the whole name: the same order as comparing names. A
// name that ends sooner is filled with zero bytes, which no name holds, so it comes first
// as a shorter name does.
void sort_by_name(const DirListing& entries, std::vector<std::uint32_t>& sorted)
{
    const auto eight_bytes = [](const char* at) {
        std::uint64_t word = 0;
        std::memcpy(&word, at, sizeof word);
        return word;
    };
    const std::string_view first = entries.empty() ? std::string_view() : entries[0].name;
    std::size_t shared = first.size();
    for (std::uint32_t e = 1; e < entries.size() && shared > 0; ++e) {
        const std::string_view name = entries[e].name;
        const std::size_t limit = std::min(shared, name.size());
        std::size_t i = 0;
        while (i + 8 <= limit && eight_bytes(name.data() + i) == eight_bytes(first.data() + i))
            i += 8;
        while (i < limit && name[i] == first[i])
            ++i;
        shared = i;
    }
    std::vector<std::uint64_t> keys(entries.size());
    for (std::uint32_t i = 0; i < entries.size(); ++i) {
        const std::string_view name = entries[i].name;
        std::uint64_t key = 0;
        if (std::endian::native == std::endian::little && shared + 8 <= name.size()) {
            key = __builtin_bswap64(eight_bytes(name.data() + shared));
        } else {
            for (std::size_t k = 0; k < 8; ++k) {
                const std::size_t at = shared + k;
                key = (key << 8) | (at < name.size() ? static_cast<unsigned char>(name[at]) : 0u);
            }
        }
        keys[i] = key;
    }
    // A stable sort by the numbers, a byte at a time from the lowest (bytes all numbers
    // share are passed over), leaves equal numbers in listing order.
    sorted.resize(entries.size());
    for (std::uint32_t i = 0; i < entries.size(); ++i)
        sorted[i] = i;
    std::uint64_t all_set = ~std::uint64_t{0};
    std::uint64_t any_set = 0;
    for (const std::uint64_t key : keys) {
        all_set &= key;
        any_set |= key;
    }
    const std::uint64_t varying = all_set ^ any_set;
    std::vector<std::uint32_t> moved(entries.size());
    for (unsigned shift = 0; shift < 64; shift += 8) {
        if (((varying >> shift) & 0xff) == 0)
            continue;
        std::array<std::uint32_t, 257> starts{};
        for (const std::uint32_t position : sorted)
            ++starts[((keys[position] >> shift) & 0xff) + 1];
        for (std::size_t b = 1; b < starts.size(); ++b)
            starts[b] += starts[b - 1];
        for (const std::uint32_t position : sorted)
            moved[starts[(keys[position] >> shift) & 0xff]++] = position;
        sorted.swap(moved);
    }
    // Runs of equal numbers are ordered by the whole name: short runs (names that part just
    // after the number's bytes) by insertion, long ones (many names sharing those bytes and
    // parting later) by a sort, so that no folder costs more than a sort of its names.
    const auto by_name = [&entries](std::uint32_t a, std::uint32_t b) {
        return entries[a].name < entries[b].name;
    };
    for (std::size_t i = 0; i < sorted.size();) {
        std::size_t end = i + 1;
        while (end < sorted.size() && keys[sorted[end]] == keys[sorted[i]])
            ++end;
        if (end - i > 16) {
            std::sort(sorted.begin() + static_cast<std::ptrdiff_t>(i),
                      sorted.begin() + static_cast<std::ptrdiff_t>(end), by_name);
        } else {
            for (std::size_t j = i + 1; j < end; ++j) {
                const std::uint32_t position = sorted[j];
                std::size_t k = j;
                for (; k > i && by_name(position, sorted[k - 1]); --k)
                    sorted[k] = sorted[k - 1];
                sorted[k] = position;
            }
        }
        i = end;
    }
}

}  // namespace

std::unique_ptr<DirectoryCache::Listed> DirectoryCache::make_listed(const std::string& dir,
                                                                    bool sorted)
{
    auto listed = std::make_unique<Listed>();
    try {
        listed->entries = list_dir(dir);
        listed->ok = true;
        listed->index.reserve(listed->entries.size());
        for (std::uint32_t i = 0; i < listed->entries.size(); ++i) {
            const std::string_view name = listed->entries[i].name;
            listed->index.insert(i, hash_text(name));
            if (const std::size_t dot = find_last_byte(name, '.'); dot != std::string_view::npos)
                listed->extensions |= extension_bit(name.substr(dot + 1));
        }
        if (sorted)
            sort_by_name(listed->entries, listed->sorted);
    } catch (const Error&) {
        listed->ok = false;
        // When the folder itself cannot be found, or is no folder, no path below it can be
        // found either: paths below it are answered without a call each. Other failures (a
        // folder that may not be read but may be passed through, say) leave them to the
        // system.
        struct stat st
        {
        };
        listed->absent = ::stat(dir.c_str(), &st) == 0 ? !S_ISDIR(st.st_mode)
                                                       : errno == ENOENT || errno == ENOTDIR;
    }
    return listed;
}

const DirListing* DirectoryCache::listing_with_prefix(std::string_view dir, std::string_view prefix,
                                                      std::vector<std::uint32_t>& positions)
{
    positions.clear();
    if (!cacheable(dir)) {
        const DirListing* entries = listing(dir);
        if (entries) {
            for (std::uint32_t i = 0; i < entries->size(); ++i)
                if ((*entries)[i].name.starts_with(prefix))
                    positions.push_back(i);
        }
        return entries;
    }
    auto* listed = const_cast<Listed*>(lookup(dir));
    if (!listed->ok)
        return nullptr;
    const auto& entries = listed->entries;
    if (listed->sorted.size() != entries.size())
        sort_by_name(entries, listed->sorted);
    auto first = std::lower_bound(
        listed->sorted.begin(), listed->sorted.end(), prefix,
        [&](std::uint32_t i, std::string_view p) { return entries[i].name < p; });
    // The names with the prefix follow each other in name order.
    const auto last = std::partition_point(first, listed->sorted.end(), [&](std::uint32_t i) {
        return entries[i].name.starts_with(prefix);
    });
    positions.assign(first, last);
    std::sort(positions.begin(), positions.end());
    return &entries;
}

const DirEntry* DirectoryCache::entry_of(const std::string& path, bool* answered)
{
    *answered = false;
    const std::size_t slash = find_last_byte(path, '/');
    if (slash == std::string::npos)
        return nullptr;
    const std::string_view parent = slash == 0 ? std::string_view("/") : std::string_view(path).substr(0, slash);
    const std::string_view name = std::string_view(path).substr(slash + 1);
    // A path below the folder looked up last (known absolute and normal, and not the root,
    // whose "//" forms are left to the full rules) only needs its name checked.
    const Listed* listed = nullptr;
    if (m_last_listed && parent.size() > 1 && parent == m_last_dir) {
        if (name.empty() || name == "." || name == "..")
            return nullptr;
        listed = m_last_listed;
    } else if (!cacheable(path) || path == "/") {
        return nullptr;
    } else {
        // A cacheable path has a non-empty last component and a cacheable parent.
        listed = lookup(parent);
    }
    if (!listed->ok) {
        *answered = listed->absent;
        return nullptr;  // an unreadable folder may still hold reachable entries
    }
    *answered = true;
    const auto& entries = listed->entries;
    const auto position = listed->index.find(
        name, hash_text(name), [&entries](std::uint32_t i) -> std::string_view { return entries[i].name; });
    return position ? &entries[*position] : nullptr;
}

bool DirectoryCache::exists(const std::string& path)
{
    bool regular_file = false;
    return exists(path, regular_file);
}

bool DirectoryCache::exists(const std::string& path, bool& regular_file)
{
    regular_file = false;
    bool answered = false;
    const DirEntry* entry = entry_of(path, &answered);
    if (!answered)
        return fs::exists(path);
    if (!entry)
        return false;
    if (entry->is_link && entry->kind == EntryKind::Other)
        return fs::exists(path);
    regular_file = entry->kind == EntryKind::File;
    return true;
}

bool DirectoryCache::exists_in(std::string_view dir, std::string_view name, bool& regular_file)
{
    // As entry_of() answers for a path below the folder looked up last.
    if (m_last_listed && m_last_listed->ok && dir.size() > 1 && dir == m_last_dir &&
        !name.empty() && name != "." && name != "..") {
        regular_file = false;
        const auto& entries = m_last_listed->entries;
        const auto position = m_last_listed->index.find(
            name, hash_text(name),
            [&entries](std::uint32_t i) -> std::string_view { return entries[i].name; });
        if (!position)
            return false;
        const DirEntry& entry = entries[*position];
        if (!(entry.is_link && entry.kind == EntryKind::Other)) {
            regular_file = entry.kind == EntryKind::File;
            return true;
        }
    }
    std::string path;
    path.reserve(dir.size() + 1 + name.size());
    path.append(dir).append(1, '/').append(name);
    return exists(path, regular_file);
}

std::uint64_t DirectoryCache::extension_bit(std::string_view extension)
{
    // Worked out for every name listed, so kept cheap: the extension's last eight bytes
    // (most extensions are shorter) and its length, mixed into six bits.
    std::uint64_t word = 0;
    const std::size_t n = std::min<std::size_t>(extension.size(), sizeof word);
    std::memcpy(&word, extension.data() + extension.size() - n, n);
    word ^= static_cast<std::uint64_t>(extension.size()) << 56;
    return std::uint64_t{1} << ((word * 0x9e3779b97f4a7c15ull) >> 58);
}

std::optional<std::uint64_t> DirectoryCache::extensions_of_last(std::string_view dir) const
{
    // As entry_of() answers for a path below the folder looked up last.
    if (m_last_listed && dir.size() > 1 && dir == m_last_dir && m_last_listed->ok)
        return m_last_listed->extensions;
    return std::nullopt;
}

bool DirectoryCache::lexists(const std::string& path)
{
    bool answered = false;
    const DirEntry* entry = entry_of(path, &answered);
    if (!answered)
        return fs::lexists(path);
    return entry != nullptr;
}

bool DirectoryCache::isfile(const std::string& path)
{
    bool answered = false;
    const DirEntry* entry = entry_of(path, &answered);
    if (!answered)
        return fs::isfile(path);
    return entry && entry->kind == EntryKind::File;
}

bool DirectoryCache::isdir(const std::string& path)
{
    bool answered = false;
    const DirEntry* entry = entry_of(path, &answered);
    if (!answered)
        return fs::isdir(path);
    return entry && entry->kind == EntryKind::Directory;
}

}  // namespace script::fs
