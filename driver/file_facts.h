#pragma once

#include <cstdint>
#include <string>

namespace script {

/// Server form of a local path: with exactly one match of "[a-z,A-Z]\:" anywhere in the
/// text, "/" + the path without any ":"; otherwise the path unchanged.
std::string local_to_server(const std::string& path);

/// Size in bytes as the file system reports it; 0 on any failure.
std::int64_t get_file_size(const std::string& file_path);

/// The path, "  (mtime ", the local modification time "%Y-%m-%d %H:%M:%S" (or "0" on any
/// failure), ")".
std::string get_file_mtime(const std::string& file_path);

/// MD5 of the file as 32 lower-case hex digits, read in blocks of 8096 bytes; a missing
/// path gives the digest of empty input. Throws script::Error when an existing file
/// cannot be read.
std::string getFileMd5(const std::string& file_path);

}  // namespace script
