#include "bench/tree_files.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include "common/errors.h"

namespace script::bench {

namespace {

constexpr std::string_view k_texture_extension = "exr";

} // namespace

std::string make_temp_root(std::string_view prefix)
{
    const std::string base = (std::filesystem::temp_directory_path() / std::string(prefix)).string();
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::string name = base + "XXXXXX";
        if (!::mkdtemp(name.data()))
            throw Error("cannot create a temporary folder: " + std::string(std::strerror(errno)));
        if (name.find(k_texture_extension) == std::string::npos)
            return name;
        std::filesystem::remove(name);
    }
    throw Error("cannot create a temporary folder without \"exr\" in its name");
}

void make_dir(const std::string& path)
{
    std::error_code error;
    std::filesystem::create_directories(path, error);
    if (error)
        throw Error("cannot create folder " + path + ": " + error.message());
}

void touch(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    if (fd < 0)
        throw Error("cannot create " + path + ": " + std::strerror(errno));
    ::close(fd);
}

void write_text(const std::string& path, std::string_view text)
{
    std::ofstream out(path, std::ios::binary);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    if (!out.flush())
        throw Error("cannot write " + path);
}

void remove_tree(const std::string& path)
{
    if (path.empty())
        return;
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

std::uint64_t read_bytes_once(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return 0;
    // One buffer for every call: a fresh one per file would be cleared each time, and for
    // small files the clearing would cost more than the reading.
    static thread_local std::vector<char> buffer(std::size_t{1} << 20);
    std::uint64_t total = 0;
    for (ssize_t n; (n = ::read(fd, buffer.data(), buffer.size())) > 0;)
        total += static_cast<std::uint64_t>(n);
    ::close(fd);
    return total;
}

} // namespace script::bench
