#pragma once

// Small helpers of the benchmarks: files of the generators, timing and verdicts.

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace script::bench {

/// A fresh folder below the system temporary folder, named `prefix` + six characters. Its
/// path never holds "exr": the cache-twin rule replaces every "exr" of a texture path, so a
/// temporary folder holding one by chance would change what a run finds. Throws
/// script::Error when no folder can be created.
std::string make_temp_root(std::string_view prefix);

/// Creates a folder and its parents; throws script::Error naming it on failure.
void make_dir(const std::string& path);

/// Creates an empty file (truncating an existing one); throws script::Error naming it.
void touch(const std::string& path);

/// Writes `text` to a file (truncating an existing one); throws script::Error naming it.
void write_text(const std::string& path, std::string_view text);

/// Removes a folder and everything in it; errors are ignored.
void remove_tree(const std::string& path);

/// Reads a file's bytes once through a 1 MiB buffer, as a floor of what reading it costs,
/// and returns how many there were (0 when it cannot be opened).
std::uint64_t read_bytes_once(const std::string& path);

/// Seconds since `start`.
inline double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

/// How a figure stands against its target.
inline const char* verdict(bool pass)
{
    return pass ? "PASS" : "FAIL";
}

} // namespace script::bench
