// The part of the layer model both readers share: format detection, the file part of an
// authored asset path, and variable expressions such as
//
//     expressionVariables = { string SHOT = "sh010" }
//     asset layout = @`"./${SHOT}/layout.usda"`@      (names ./sh010/layout.usda)

#include "readers/usd_layer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <memory>
#include <optional>

#include "common/platform.h"
#include "readers/usda.h"
#include "readers/usdc.h"

namespace script::readers {

namespace {

constexpr std::string_view k_text_magic = "#usda ";
constexpr std::string_view k_crate_magic = "PXR-USDC";
constexpr std::string_view k_format_args = ":SDF_FORMAT_ARGS:";
constexpr std::string_view k_package_suffix = ".usdz[";
// Most layers of a tree are small: each is read whole with one call, into a buffer the
// thread keeps, and parsed where it lies. Larger ones are streamed.
constexpr std::size_t k_small_layer = std::size_t{1} << 20;
// Read before the file's size is asked for: a layer this small needs no more calls.
constexpr std::size_t k_first_read = 64 * 1024;

// The whole file at `path` when it holds at most k_small_layer bytes and reads without
// error, in a buffer of the calling thread's that the next call reuses; nullopt otherwise
// (the file cannot be opened, is larger or a read failed). Of a larger file at most the
// first k_first_read bytes are read here.
std::optional<std::string_view> read_small_file(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    // Not cleared: only the bytes read into it are looked at.
    thread_local std::unique_ptr<char[]> buffer;
    if (!buffer) {
        buffer.reset(new char[k_small_layer + 1]);
    }
    std::size_t size = 0;
    std::size_t want = k_first_read;
    bool failed = false;
    while (size <= k_small_layer) {
        if (size == want) {
            // Past the first read: a file too large to read whole is left to the stream.
            struct stat st
            {
            };
            if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                static_cast<std::uint64_t>(st.st_size) > k_small_layer) {
                size = k_small_layer + 1;
                break;
            }
            want = k_small_layer + 1;
        }
        const ssize_t n = ::read(fd, buffer.get() + size, want - size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            failed = n < 0;
            break;
        }
        const bool short_read = static_cast<std::size_t>(n) < want - size;
        size += static_cast<std::size_t>(n);
        // A regular file reads short only at its end, so most layers take one call, not
        // two.
        if (short_read) {
            break;
        }
    }
    ::close(fd);
    if (failed || size > k_small_layer) {
        return std::nullopt;
    }
    return std::string_view(buffer.get(), size);
}

}  // namespace

UsdEncoding detect_usd_encoding(std::string_view first_bytes)
{
    if (first_bytes.starts_with(k_crate_magic)) {
        return UsdEncoding::Crate;
    }
    // A byte-order mark before the header is accepted.
    if (first_bytes.starts_with("\xEF\xBB\xBF")) {
        first_bytes.remove_prefix(3);
    }
    if (first_bytes.starts_with(k_text_magic)) {
        return UsdEncoding::Text;
    }
    return UsdEncoding::Unknown;
}

std::string_view usd_file_part(std::string_view authored)
{
    if (const std::size_t args = authored.find(k_format_args); args != std::string_view::npos) {
        authored = authored.substr(0, args);
    }
    // A package member is written pkg.usdz[member]; members may nest (a[b.usdz[c]]), and
    // the outermost package is the file on disk.
    if (authored.ends_with(']')) {
        if (const std::size_t member = authored.find(k_package_suffix);
            member != std::string_view::npos) {
            authored = authored.substr(0, member + k_package_suffix.size() - 1);
        }
    }
    return authored;
}

bool is_usd_expression(std::string_view path)
{
    return path.size() >= 2 && path.front() == '`' && path.back() == '`';
}

std::string evaluate_usd_expression(std::string_view expression,
                                    const std::map<std::string, std::string>& variables)
{
    if (!is_usd_expression(expression)) {
        return {};
    }
    std::string_view body = expression.substr(1, expression.size() - 2);
    while (!body.empty() && (body.front() == ' ' || body.front() == '\t')) {
        body.remove_prefix(1);
    }
    while (!body.empty() && (body.back() == ' ' || body.back() == '\t')) {
        body.remove_suffix(1);
    }
    if (body.size() < 2 || (body.front() != '"' && body.front() != '\'') ||
        body.back() != body.front()) {
        return {};
    }
    body = body.substr(1, body.size() - 2);
    std::string out;
    for (std::size_t i = 0; i < body.size(); ++i) {
        if (body[i] == '\\' && i + 1 < body.size()) {
            out += body[++i];
        } else if (body[i] == '$' && i + 1 < body.size() && body[i + 1] == '{') {
            const std::size_t close = body.find('}', i + 2);
            if (close == std::string_view::npos) {
                return {};
            }
            const auto value = variables.find(std::string(body.substr(i + 2, close - i - 2)));
            if (value == variables.end()) {
                return {};
            }
            out += value->second;
            i = close;
        } else {
            out += body[i];
        }
    }
    return out;
}

void resolve_usd_expressions(UsdLayer& layer, const std::map<std::string, std::string>& variables,
                             std::string_view source_name)
{
    // Kept references move down in place over the ones dropped; an expression's value is
    // added to the path text.
    std::size_t kept = 0;
    for (std::size_t i = 0; i < layer.refs.size(); ++i) {
        UsdAssetRef& ref = layer.refs[i];
        if (is_usd_expression(layer.path_of(ref))) {
            const std::string value = evaluate_usd_expression(layer.path_of(ref), variables);
            if (value.empty()) {
                if (layer.error.empty()) {
                    layer.error = std::string(source_name) + ": cannot evaluate the expression " +
                                  std::string(layer.path_of(ref)) + " of " +
                                  std::string(layer.owner_of(ref)) + " " + ref.field;
                }
                continue;
            }
            layer.set_path(ref, usd_file_part(value));
        }
        if (kept != i) {
            layer.refs[kept] = std::move(ref);
        }
        ++kept;
    }
    layer.refs.erase(layer.refs.begin() + static_cast<std::ptrdiff_t>(kept), layer.refs.end());
}

std::string_view usd_ref_kind_name(UsdRefKind kind)
{
    switch (kind) {
    case UsdRefKind::SubLayer:
        return "sublayer";
    case UsdRefKind::Reference:
        return "reference";
    case UsdRefKind::Payload:
        return "payload";
    case UsdRefKind::Asset:
        return "asset";
    case UsdRefKind::ClipTemplate:
        return "clip template";
    }
    return "asset";
}

UsdLayer read_usd_layer_file(const std::string& path)
{
    UsdLayer layer;
    const char* const neither =
        ": neither a text layer (\"#usda \") nor a crate layer (\"PXR-USDC\")";
    if (const std::optional<std::string_view> bytes = read_small_file(path)) {
        switch (detect_usd_encoding(bytes->substr(0, k_usd_magic_size))) {
        case UsdEncoding::Text:
            return read_usda(*bytes, path);
        case UsdEncoding::Crate:
            return read_usdc(*bytes, path);
        case UsdEncoding::Unknown:
            break;
        }
        layer.error = path + neither;
        return layer;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        layer.error = path + ": cannot open the layer";
        return layer;
    }
    char magic[k_usd_magic_size] = {};
    in.read(magic, sizeof magic);
    const std::string_view first(magic, static_cast<std::size_t>(in.gcount()));
    in.clear();
    in.seekg(0);
    switch (detect_usd_encoding(first)) {
    case UsdEncoding::Text:
        return read_usda(in, path);
    case UsdEncoding::Crate:
        return read_usdc(in, path);
    case UsdEncoding::Unknown:
        break;
    }
    layer.error = path + neither;
    return layer;
}

UsdLayerReadAhead::UsdLayerReadAhead(Prepare prepare)
    : m_prepare(std::move(prepare)), m_worker([this] { work(); })
{
}

UsdLayerReadAhead::~UsdLayerReadAhead()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_work.notify_one();
    m_worker.join();
}

// Each side is woken only when it waits and can go on: a wake-up is two system calls and
// a switch of threads, which on a virtual machine cost more than reading a small layer.
void UsdLayerReadAhead::wake_worker(std::unique_lock<std::mutex>& lock, bool slot_freed)
{
    // A reading thread that stopped at the limit is woken once half of it is free, not
    // at every layer taken, so it reads in runs.
    const bool wake = m_worker_idle && worker_can_go_on() &&
                      (!slot_freed || m_untaken_paths <= k_read_ahead_paths / 2 || m_stop ||
                       m_disposed.size() >= k_disposed_limit);
    lock.unlock();
    if (wake) {
        m_work.notify_one();
    }
}

bool UsdLayerReadAhead::worker_can_go_on() const
{
    return m_stop || (!m_queue.empty() && room_to_read()) || m_disposed.size() >= k_disposed_limit;
}

bool UsdLayerReadAhead::room_to_read() const
{
    return m_read_untaken == 0 || m_untaken_paths < k_read_ahead_paths;
}

void UsdLayerReadAhead::count_untaken(const Entry& entry, bool add)
{
    const std::size_t paths = entry.layer.refs.size() + 1;
    if (add) {
        ++m_read_untaken;
        m_untaken_paths += paths;
    } else {
        --m_read_untaken;
        m_untaken_paths -= paths;
    }
}

std::size_t UsdLayerReadAhead::paths_waiting()
{
    const std::lock_guard lock(m_mutex);
    return m_untaken_paths;
}

void UsdLayerReadAhead::dispose(UsdLayer&& layer)
{
    if (!layer.read_ahead) {
        UsdLayer freed = std::move(layer);
        return;
    }
    std::unique_lock lock(m_mutex);
    m_disposed.push_back(std::move(layer));
    wake_worker(lock, true);
}

void UsdLayerReadAhead::want(const std::vector<std::string>& paths)
{
    std::unique_lock lock(m_mutex);
    // A walk enters the layers a layer names before it returns to the ones named
    // earlier: these go first, in their order.
    auto front = m_queue.begin();
    for (const std::string& path : paths) {
        if (!m_ever_queued.contains(path)) {
            m_ever_queued.emplace(path);
        }
        if (const auto it = m_entries.find(path); it != m_entries.end()) {
            it->second.unwanted = false;
        } else {
            m_entries.try_emplace(Path(path, &m_pool));
            front = std::next(m_queue.emplace(front, path));
        }
    }
    wake_worker(lock, false);
}

void UsdLayerReadAhead::queue_named(const std::vector<std::string>& paths)
{
    auto front = m_queue.begin();
    for (const std::string& path : paths) {
        if (m_ever_queued.contains(path)) {
            continue;
        }
        m_ever_queued.emplace(path);
        if (!m_entries.contains(path)) {
            m_entries.try_emplace(Path(path, &m_pool)).first->second.unwanted = true;
            front = std::next(m_queue.emplace(front, path));
        }
    }
}

UsdLayer UsdLayerReadAhead::take(const std::string& path)
{
    std::unique_lock lock(m_mutex);
    const auto it = m_entries.find(path);
    if (it == m_entries.end() || it->second.state == State::Queued) {
        // Not begun: reading it here is quicker than waiting behind the queue.
        if (it != m_entries.end()) {
            m_entries.erase(it);
        }
        lock.unlock();
        return read_usd_layer_file(path);
    }
    // Entries are added while this thread waits (the layers a layer read names), which
    // invalidates iterators but not references; the reader erases only forgotten entries.
    Entry& waited = it->second;
    waited.forgotten = false;
    // While the reading thread is on this layer, this thread reads the next ones queued
    // rather than wait: the walk then goes at the pace of both threads.
    while (waited.state == State::Reading && read_next(lock, false)) {
    }
    if (waited.state != State::Read) {
        m_taker_waiting = true;
        m_read.wait(lock, [&waited] { return waited.state == State::Read; });
        m_taker_waiting = false;
    }
    count_untaken(waited, false);
    Entry entry = std::move(waited);
    m_entries.erase(m_entries.find(path));
    wake_worker(lock, true);
    if (entry.error) {
        std::rethrow_exception(entry.error);
    }
    return std::move(entry.layer);
}

void UsdLayerReadAhead::drop(Entries::iterator it)
{
    if (it->second.state == State::Reading) {
        it->second.forgotten = true;
        return;
    }
    if (it->second.state == State::Read) {
        count_untaken(it->second, false);
    }
    m_entries.erase(it);
}

void UsdLayerReadAhead::forget(const std::vector<std::string>& paths)
{
    std::unique_lock lock(m_mutex);
    for (const std::string& path : paths) {
        const auto it = m_entries.find(path);
        if (it != m_entries.end()) {
            drop(it);
        }
    }
    wake_worker(lock, true);
}

void UsdLayerReadAhead::forget_unwanted(const std::vector<std::string>& paths)
{
    std::unique_lock lock(m_mutex);
    for (const std::string& path : paths) {
        const auto it = m_entries.find(path);
        if (it != m_entries.end() && it->second.unwanted) {
            drop(it);
        }
    }
    wake_worker(lock, true);
}

bool UsdLayerReadAhead::read_next(std::unique_lock<std::mutex>& lock, bool on_worker)
{
    while (!m_queue.empty() && room_to_read()) {
        const std::string path(m_queue.front());
        m_queue.pop_front();
        const auto it = m_entries.find(path);
        if (it == m_entries.end() || it->second.state != State::Queued) {
            continue;  // taken or forgotten since
        }
        // Elements stay in place when the table grows (iterators do not): while it is
        // being read, only the thread reading it erases the entry.
        Entry& entry = it->second;
        entry.state = State::Reading;
        lock.unlock();
        UsdLayer layer;
        std::exception_ptr error;
        std::vector<std::string> named;
        try {
            layer = read_usd_layer_file(path);
            layer.read_ahead = on_worker;
            if (m_prepare) {
                named = m_prepare(path, layer);
            }
        } catch (...) {
            error = std::current_exception();
        }
        lock.lock();
        if (entry.forgotten) {
            m_entries.erase(m_entries.find(path));
            return true;
        }
        queue_named(named);
        entry.layer = std::move(layer);
        entry.error = error;
        entry.state = State::Read;
        count_untaken(entry, true);
        // A taker waits for the layer the other thread reads. It is woken after the lock
        // is let go, or it would wake only to wait for the lock.
        if (m_taker_waiting) {
            lock.unlock();
            m_read.notify_one();
            lock.lock();
        }
        return true;
    }
    return false;
}

void UsdLayerReadAhead::work()
{
    platform::offer_thread_heap_huge_pages();
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_worker_idle = true;
        m_work.wait(lock, [this] { return worker_can_go_on(); });
        m_worker_idle = false;
        if (m_stop) {
            return;
        }
        if (!m_disposed.empty()) {
            // The two lists swap places and keep their room.
            m_freeing.swap(m_disposed);
            lock.unlock();
            m_freeing.clear();
            lock.lock();
        }
        read_next(lock, true);
    }
}

}  // namespace script::readers
