#include "common/json_doc.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <unistd.h>

#include "common/errors.h"

namespace script {

std::string dump_job_document(const Json& value)
{
    return value.dump(4, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string dump_ascii_document(const Json& value)
{
    return value.dump(4, ' ', true, nlohmann::json::error_handler_t::replace);
}

Json parse_json_text(std::string_view text)
{
    if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    try {
        return Json::parse(text.begin(), text.end());
    } catch (const nlohmann::json::exception& e) {
        throw Error(e.what());
    }
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw Error("cannot read file " + path);
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad())
        throw Error("cannot read file " + path);
    return buffer.str();
}

void write_file_atomic(const std::string& path, std::string_view text)
{
    const std::string temp = path + ".tmp." + std::to_string(::getpid());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        throw Error("cannot write file " + path + ": " + std::strerror(errno));
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            const int err = errno;
            ::close(fd);
            ::unlink(temp.c_str());
            throw Error("cannot write file " + path + ": " + std::strerror(err));
        }
        done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        throw Error("cannot write file " + path + ": " + std::strerror(err));
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        throw Error("cannot write file " + path + ": " + std::strerror(err));
    }
}

}  // namespace script
