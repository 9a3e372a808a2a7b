#include "common/platform.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include <fcntl.h>
#if defined(__GLIBC__)
#include <malloc.h>
#include <sys/mman.h>
#endif
#include <spawn.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace script::platform {

namespace {

std::string detect_os()
{
    struct utsname info {};
    if (::uname(&info) != 0)
        return "linux";
    std::string name = info.sysname;
    for (char& c : name)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return name;
}

std::string& os_name()
{
    static std::string name = detect_os();
    return name;
}

std::string& program_path_storage()
{
    static std::string path;
    return path;
}

}  // namespace

const std::string& current_os()
{
    return os_name();
}

void set_current_os(std::string name)
{
    os_name() = std::move(name);
}

bool is_windows()
{
    return current_os().rfind("win", 0) == 0;
}

char path_separator()
{
    return is_windows() ? '\\' : '/';
}

std::optional<std::string> get_env(const std::string& name)
{
    const char* value = std::getenv(name.c_str());
    if (!value)
        return std::nullopt;
    return std::string(value);
}

void set_env(const std::string& name, const std::string& value)
{
    ::setenv(name.c_str(), value.c_str(), 1);
}

void unset_env(const std::string& name)
{
    ::unsetenv(name.c_str());
}

long thread_number()
{
    return static_cast<long>(::gettid());
}

int replace_file(const std::string& from, const std::string& to)
{
#if defined(__linux__) && defined(RENAME_EXCHANGE)
    struct stat existing
    {
    };
    if (::lstat(to.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) {
        if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_EXCHANGE) == 0) {
            ::unlink(from.c_str()); // the old file, now under the temporary name
            return 0;
        }
        if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
            return errno;
    }
#endif
    return std::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

bool remove_entry(const std::string& path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return false;
    if (S_ISDIR(st.st_mode))
        return ::rmdir(path.c_str()) == 0;
    return ::unlink(path.c_str()) == 0;
}

std::string current_dir()
{
    std::string buffer(4096, '\0');
    while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE)
            return {};
        buffer.resize(buffer.size() * 2);
    }
    buffer.resize(std::char_traits<char>::length(buffer.c_str()));
    return buffer;
}

bool change_dir(const std::string& path)
{
    return ::chdir(path.c_str()) == 0;
}

void set_program_path(std::string argv0)
{
    program_path_storage() = std::move(argv0);
}

const std::string& program_path()
{
    return program_path_storage();
}

std::vector<std::string>& module_search_path()
{
    static std::vector<std::string> paths;
    return paths;
}

std::string executable_path()
{
    std::string buffer(4096, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= buffer.size())
        return {};
    buffer.resize(static_cast<std::size_t>(n));
    return buffer;
}

ChildOutput run_program(const std::vector<std::string>& argv, std::size_t max_line_bytes)
{
    ChildOutput result;
    if (argv.empty() || ::access(argv[0].c_str(), X_OK) != 0)
        return result;

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return result;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);

    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = 0;
    const int rc = ::posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (rc != 0) {
        ::close(fds[0]);
        return result;
    }
    result.started = true;

    // The line being read; once it grows past the cap it is dropped and the rest of it
    // skipped up to its line end.
    std::string line;
    bool too_long = false;
    const auto end_line = [&] {
        if (too_long)
            ++result.long_lines;
        else
            result.lines.push_back(std::move(line));
        line = std::string();
        too_long = false;
    };
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fds[0], chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        const char* at = chunk;
        const char* const end = chunk + n;
        while (at < end) {
            const char* nl =
                static_cast<const char*>(std::memchr(at, '\n', static_cast<std::size_t>(end - at)));
            const char* piece_end = nl ? nl : end;
            if (!too_long) {
                const auto piece = static_cast<std::size_t>(piece_end - at);
                if (line.size() + piece > max_line_bytes) {
                    too_long = true;
                    line = std::string();
                } else {
                    line.append(at, piece);
                }
            }
            if (!nl)
                break;
            end_line();
            at = nl + 1;
        }
    }
    if (too_long || !line.empty())
        end_line();
    ::close(fds[0]);

    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            status = -1;
            break;
        }
    }
    if (status != -1) {
        if (WIFEXITED(status))
            result.exit_status = WEXITSTATUS(status);
        else if (WIFSIGNALED(status))
            result.exit_status = -WTERMSIG(status);
    }
    return result;
}

namespace {

bool g_run_ends_process = false;

}  // namespace

void set_run_ends_process(bool ends)
{
    g_run_ends_process = ends;
}

bool run_ends_process()
{
    return g_run_ends_process;
}

void keep_until_exit(std::shared_ptr<const void> object)
{
    // Never destroyed, so nothing it holds is freed; still reachable, so leak checkers
    // do not report it.
    static std::mutex guard;
    static auto* const kept = new std::vector<std::shared_ptr<const void>>();
    const std::lock_guard<std::mutex> lock(guard);
    kept->push_back(std::move(object));
}

namespace {

// The heap's address space laid out by tune_heap_for_run: [start, end), page aligned.
std::uintptr_t g_heap_start = 0;
std::uintptr_t g_heap_end = 0;
// Whether that heap was offered for transparent huge pages, and the threads' heaps are too.
bool g_huge_pages = false;
// The span of one heap of a thread's arena in glibc on 64-bit systems (twice the largest
// mmap threshold); each is mapped at an address aligned to it.
constexpr std::uintptr_t k_thread_heap_span = std::uintptr_t{64} << 20;

} // namespace

void tune_heap_for_run()
{
#if defined(__GLIBC__)
    // A run allocates and frees its scene, record and buffers in large waves: memory freed
    // is kept for the next wave instead of being returned and faulted in again, and large
    // blocks come from the heap rather than from a fresh mapping each time.
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    mallopt(M_MMAP_THRESHOLD, 32 << 20);

    // Growing the heap once with a large pad lays out the address space for a whole run
    // without touching it.
    const auto before = reinterpret_cast<std::uintptr_t>(sbrk(0));
    mallopt(M_TOP_PAD, 1 << 30);
    void* volatile block = std::malloc(1 << 20);  // volatile: the pair must not be elided
    std::free(block);
    mallopt(M_TOP_PAD, 64 << 20);
    const auto after = reinterpret_cast<std::uintptr_t>(sbrk(0));

    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const std::uintptr_t start = (before + page - 1) & ~(page - 1);
    if (before != ~std::uintptr_t{0} && after != ~std::uintptr_t{0} && after > start) {
        g_heap_start = start;
        g_heap_end = after & ~(page - 1);
    }

    // A 200k-file run touches more than 100 MB of heap. On a virtual machine a page fault
    // costs several microseconds, and 4 KiB faults took half such a run; in 2 MiB pieces
    // they are a few hundred. The threads' own heaps are offered as each thread starts.
    if (g_heap_end > g_heap_start)
        g_huge_pages = madvise(reinterpret_cast<void*>(g_heap_start), g_heap_end - g_heap_start,
                               MADV_HUGEPAGE) == 0;
#endif
}

void offer_thread_heap_huge_pages()
{
#if defined(__GLIBC__)
    // k_thread_heap_span is the span on 64-bit systems only.
    if (!g_huge_pages || sizeof(void*) != 8)
        return;
    // A thread's blocks come from an arena of its own, whose heaps glibc maps as pieces of
    // k_thread_heap_span bytes aligned to that size, above the program break; the first
    // block a thread takes names its heap.
    void* const probe = std::malloc(1);
    const auto at = reinterpret_cast<std::uintptr_t>(probe);
    std::free(probe);
    // Below the program break lies the process heap, offered already: a thread takes its
    // blocks there only when the process has more threads than glibc makes arenas.
    if (probe == nullptr || at < reinterpret_cast<std::uintptr_t>(sbrk(0)))
        return;
    void* const heap = reinterpret_cast<void*>(at & ~(k_thread_heap_span - 1));
    madvise(heap, k_thread_heap_span, MADV_HUGEPAGE);
#if defined(MADV_POPULATE_WRITE)
    // The heap's first 2 MiB were touched before they could be offered, so they stay in
    // small pages: made resident in one call rather than in 512 faults.
    madvise(heap, std::size_t{2} << 20, MADV_POPULATE_WRITE);
#endif
#endif
}

void prefault_heap(std::size_t bytes)
{
#if defined(__GLIBC__) && defined(MADV_POPULATE_WRITE)
    static std::atomic<bool> started{false};
    if (bytes == 0 || g_heap_end <= g_heap_start || started.exchange(true))
        return;
    const std::uintptr_t end =
        g_heap_start + std::min<std::uintptr_t>(bytes, g_heap_end - g_heap_start);
    try {
        // Lowest pages first, as the heap hands them out; pages the run has reached by then
        // are passed over. The kernel fills page tables without changing what the pages
        // hold, so the run may use them meanwhile. Nothing is left to stop at exit.
        std::thread([start = g_heap_start, end] {
            constexpr std::uintptr_t k_piece = std::uintptr_t{1} << 20;
            // On an older kernel, or with no memory to spare, the run faults its pages itself.
            for (std::uintptr_t at = start; at < end; at += k_piece) {
                if (madvise(reinterpret_cast<void*>(at), std::min(k_piece, end - at),
                            MADV_POPULATE_WRITE) != 0)
                    return;
            }
        }).detach();
    } catch (const std::system_error&) {
        // No thread: the run faults its pages in itself.
    }
#else
    (void)bytes;
#endif
}

}  // namespace script::platform
