#pragma once

// Everything that differs between platforms lives behind these functions.

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace script::platform {

/// The operating system name in lower case ("linux", "windows", ...). Windows tests are
/// "begins with win".
const std::string& current_os();
/// Makes the process behave as another platform for path rules (tests only).
void set_current_os(std::string name);
bool is_windows();
/// The platform's path separator: "\\" on Windows, "/" elsewhere.
char path_separator();

/// Environment access; an unset variable is nullopt (an empty one is "").
std::optional<std::string> get_env(const std::string& name);
void set_env(const std::string& name, const std::string& value);
void unset_env(const std::string& name);

/// The calling thread's number as the system counts threads: the process number on the
/// process's first thread, a number no other live thread has on any other.
long thread_number();

/// Gives file `from` the name `to` in one step, so that a reader of `to` finds either the
/// file it held or the new one, never neither; an existing regular file there is removed.
/// Returns 0, or the errno of a failure (`to` is then left as it was).
///
/// A regular file is replaced by exchanging the two names and removing the old file under
/// its new name, not by renaming over it: ext4 (auto_da_alloc) would allocate and send the
/// whole new file to the disk during such a rename, on the calling thread; exchanged, it is
/// written back by the kernel in its own time, as any other write. Where names cannot be
/// exchanged, the file is renamed over.
int replace_file(const std::string& from, const std::string& to);

/// Removes one file or empty folder through the file-system API (never a shell). Returns
/// false when the entry could not be removed; folders are never removed recursively.
bool remove_entry(const std::string& path);

/// The working directory, and changing it; change_dir returns false on failure.
std::string current_dir();
bool change_dir(const std::string& path);

/// The program as started (argument zero) and the host's module search path; both are set
/// by the entry.
void set_program_path(std::string argv0);
const std::string& program_path();
std::vector<std::string>& module_search_path();
/// The running executable with links resolved, as the operating system reports it; "" where
/// it cannot tell.
std::string executable_path();

/// Sets up the process heap for one run, before anything large is allocated: freed memory
/// is kept for reuse, and the heap's first GiB of address space is laid out at once
/// (nothing is touched, so resident memory still follows use, in 2 MiB pieces) and offered
/// for transparent huge pages. Where the system refuses it, the heap grows as it normally
/// would.
/// Does nothing outside glibc.
void tune_heap_for_run();

/// Offers the calling thread's own heap for transparent huge pages, as tune_heap_for_run
/// offers the process heap: called first by each thread a run starts. Does nothing where
/// tune_heap_for_run did not offer the process heap.
void offer_thread_heap_huge_pages();

/// Has the first `bytes` of the heap laid out by tune_heap_for_run made resident on a thread
/// of its own, so that the run does not take their page faults itself; at most once per
/// process. Does nothing where the heap was not laid out or the kernel cannot do it.
void prefault_heap(std::size_t bytes);

/// Whether the process ends when its run ends (the executable says so; the host's module
/// does not). What a run builds is then left for the system to take back at exit: taking a
/// large record and scene apart block by block costs a noticeable part of the run.
void set_run_ends_process(bool ends);
bool run_ends_process();
/// Keeps the object, reachable and never destroyed, until the process ends. Only for objects
/// whose destructors do nothing but free memory. Any thread may call it.
void keep_until_exit(std::shared_ptr<const void> object);

/// Result of running a child program.
struct ChildOutput
{
    bool started = false;           ///< false when the program could not be run at all
    std::vector<std::string> lines; ///< standard output split at "\n" (line ends removed)
    std::size_t long_lines = 0;     ///< lines longer than the cap, left out of `lines`
    int exit_status = -1;
};

/// Longest output line of a child program that is kept, by default.
inline constexpr std::size_t k_max_child_line_bytes = 64 * 1024;

/// Runs a program without a shell: argv[0] is the program path, every other element is
/// passed as one argument. Standard input is empty, standard error is inherited. The output
/// is read as it comes, line by line: a line longer than `max_line_bytes` is never held
/// whole, only counted in `long_lines`. Waits for the child after reading its output.
ChildOutput run_program(const std::vector<std::string>& argv,
                        std::size_t max_line_bytes = k_max_child_line_bytes);

}  // namespace script::platform
