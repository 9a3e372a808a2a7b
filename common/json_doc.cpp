#include "common/json_doc.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <unistd.h>

#include "common/errors.h"
#include "common/pyutil.h"

namespace script {

namespace {

// True when the text is written between quotes as it is: printable ASCII without quote or
// backslash. Paths nearly always are, so the general escaper is the exception.
bool needs_no_escape(std::string_view text)
{
    return plain_ascii(text, "\"\\", true);
}

// Writes the value the way Python's json.dumps(indent=4) does. nlohmann's own dump
// differs from Python for floats (1e15 is "1e+15" there, "1000000000000000.0" in
// Python; non-finite values become null), so numbers are written here and strings are
// left to nlohmann's escaping, which already matches Python's.
void dump_value(const Json& value, bool ascii, int level, std::string& out)
{
    const auto indent = [&out](int depth) { out.append(static_cast<std::size_t>(depth) * 4, ' '); };
    switch (value.type()) {
    case Json::value_t::array: {
        if (value.empty()) {
            out += "[]";
            return;
        }
        out += "[\n";
        bool first = true;
        for (const Json& item : value) {
            if (!first)
                out += ",\n";
            first = false;
            indent(level + 1);
            dump_value(item, ascii, level + 1, out);
        }
        out += '\n';
        indent(level);
        out += ']';
        return;
    }
    case Json::value_t::object: {
        if (value.empty()) {
            out += "{}";
            return;
        }
        out += "{\n";
        bool first = true;
        for (const auto& [key, item] : value.items()) {
            if (!first)
                out += ",\n";
            first = false;
            indent(level + 1);
            append_json_string(out, key, ascii);
            out += ": ";
            dump_value(item, ascii, level + 1, out);
        }
        out += '\n';
        indent(level);
        out += '}';
        return;
    }
    case Json::value_t::number_float: {
        const double d = value.get<double>();
        if (std::isnan(d))
            out += "NaN";
        else if (std::isinf(d))
            out += d < 0 ? "-Infinity" : "Infinity";
        else
            out += py_float_str(d);
        return;
    }
    case Json::value_t::string:
        append_json_string(out, value.get_ref<const std::string&>(), ascii);
        return;
    default:
        out += value.dump(-1, ' ', ascii, nlohmann::json::error_handler_t::replace);
        return;
    }
}

}  // namespace

void append_json_string(std::string& out, std::string_view text, bool ascii)
{
    if (needs_no_escape(text)) {
        out += '"';
        out += text;
        out += '"';
        return;
    }
    out += Json(std::string(text)).dump(-1, ' ', ascii, nlohmann::json::error_handler_t::replace);
}

void append_job_value(std::string& out, const Json& value, int level)
{
    dump_value(value, false, level, out);
}

void append_ascii_value(std::string& out, const Json& value, int level)
{
    dump_value(value, true, level, out);
}

std::string dump_job_document(const Json& value)
{
    std::string out;
    dump_value(value, false, 0, out);
    return out;
}

std::string dump_ascii_document(const Json& value)
{
    std::string out;
    dump_value(value, true, 0, out);
    return out;
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
    write_file_atomic(path, std::vector<std::string_view>{text});
}

void write_file_atomic(const std::string& path, const std::vector<std::string_view>& parts)
{
    const std::string temp = path + ".tmp." + std::to_string(::getpid());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        throw Error("cannot write file " + path + ": " + std::strerror(errno));
    for (const std::string_view text : parts) {
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
