#include "common/json_doc.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/block_writer.h"
#include "common/errors.h"
#include "common/platform.h"
#include "common/pyutil.h"

namespace script {

namespace {

// A scalar, or an empty array or object, as the documents write it. nlohmann's own dump
// differs from Python for floats (1e15 is "1e+15" there, "1000000000000000.0" in Python;
// non-finite values become null), so numbers are written here and strings are left to
// nlohmann's escaping, which already matches Python's.
void dump_leaf(const Json& value, bool ascii, std::string& out)
{
    switch (value.type()) {
    case Json::value_t::array:
        out += "[]";
        return;
    case Json::value_t::object:
        out += "{}";
        return;
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

// Writes the value the way Python's json.dumps(indent=4) does. Values built in memory
// can nest without bound, so the walk keeps its open containers on a stack of its own
// instead of the call stack.
void dump_value(const Json& root, bool ascii, int level, std::string& out)
{
    const auto indent = [&out](int depth) { out.append(static_cast<std::size_t>(depth) * 4, ' '); };
    struct Open
    {
        const Json* container;
        Json::const_iterator next;
        int level;
    };
    std::vector<Open> open;
    const Json* value = &root;
    int value_level = level;
    while (value) {
        if (value->is_structured() && !value->empty()) {
            out += value->is_array() ? "[\n" : "{\n";
            open.push_back(Open{value, value->cbegin(), value_level});
        } else {
            dump_leaf(*value, ascii, out);
        }
        value = nullptr;
        while (!open.empty()) {
            Open& top = open.back();
            if (top.next != top.container->cend()) {
                if (top.next != top.container->cbegin())
                    out += ",\n";
                indent(top.level + 1);
                if (top.container->is_object()) {
                    append_json_string(out, top.next.key(), ascii);
                    out += ": ";
                }
                value = &*top.next;
                value_level = top.level + 1;
                ++top.next;
                break;
            }
            out += '\n';
            indent(top.level);
            out += top.container->is_array() ? ']' : '}';
            open.pop_back();
        }
    }
}

WriteFailurePredicate& injected_write_failure()
{
    static WriteFailurePredicate fails;
    return fails;
}

}  // namespace

bool json_string_is_plain(std::string_view text)
{
    return plain_json_ascii(text);
}

void append_json_string(std::string& out, std::string_view text, bool ascii)
{
    // Paths nearly always are plain, so the general escaper is the exception.
    if (plain_json_ascii(text)) {
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

bool json_nests_deeper_than(std::string_view text, std::size_t limit)
{
    std::size_t depth = 0;
    const std::size_t size = text.size();
    for (std::size_t i = 0; i < size; ++i) {
        switch (text[i]) {
        case '"':
            // Skip the string: brackets inside it do not nest.
            for (++i; i < size && text[i] != '"'; ++i)
                if (text[i] == '\\')
                    ++i;
            break;
        case '[':
        case '{':
            if (++depth > limit)
                return true;
            break;
        case ']':
        case '}':
            if (depth > 0)
                --depth;
            break;
        default:
            break;
        }
    }
    return false;
}

Json parse_json_text(std::string_view text, std::string_view source_name)
{
    const std::string prefix =
        source_name.empty() ? std::string() : std::string(source_name) + ": ";
    if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    if (json_nests_deeper_than(text, k_max_json_depth))
        throw Error(prefix + "arrays and objects nest deeper than " +
                    std::to_string(k_max_json_depth) + " levels");
    try {
        return Json::parse(text.begin(), text.end());
    } catch (const nlohmann::json::exception& e) {
        throw Error(prefix + e.what());
    }
}

std::string read_file(const std::string& path)
{
    const auto failed = [&path](int err) {
        return Error("cannot read file " + path + ": " + std::strerror(err));
    };
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw failed(errno);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        throw failed(err);
    }
    if (S_ISDIR(st.st_mode)) {
        ::close(fd);
        throw failed(EISDIR);
    }
    std::string text;
    if (S_ISREG(st.st_mode))
        text.reserve(static_cast<std::size_t>(st.st_size));
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int err = errno;
            ::close(fd);
            throw failed(err);
        }
        if (n == 0)
            break;
        text.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return text;
}

void set_write_failure_for_tests(WriteFailurePredicate fails)
{
    injected_write_failure() = std::move(fails);
}

namespace {

// Blocks of a job file that may wait for the thread that writes them (2 MiB by default).
constexpr std::size_t k_blocks_waiting = 8;

// Writes the whole text; 0, or the errno of the failure.
int write_whole(int fd, std::string_view text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

} // namespace

TextStream::TextStream(int fd, std::string path, std::size_t block)
    : m_fd(fd), m_path(std::move(path)), m_block(block == 0 ? 1 : block)
{
    // One item past the block is the most the buffer holds before it is written.
    m_buffer.reserve(m_block + m_block / 4);
}

TextStream::~TextStream() = default;

void TextStream::fail(int err) const
{
    throw Error("cannot write file " + m_path + ": " + std::strerror(err));
}

void TextStream::flush()
{
    if (m_buffer.empty())
        return;
    if (!m_writer && !m_writer_failed && m_buffer.size() >= m_block) {
        // A text of more than one block: the rest is produced while this is written.
        try {
            m_writer = std::make_unique<BlockWriter>(
                [fd = m_fd](std::string_view text) { return write_whole(fd, text); },
                k_blocks_waiting);
        } catch (const std::system_error&) {
            m_writer_failed = true;
        }
    }
    if (m_writer) {
        if (const int err = m_writer->failure())
            fail(err);
        m_writer->write(m_buffer);
        m_buffer.reserve(m_block + m_block / 4);
    } else {
        if (const int err = write_whole(m_fd, m_buffer))
            fail(err);
        m_buffer.clear();
    }
    ++m_flushes;
}

void TextStream::finish()
{
    flush();
    if (m_writer) {
        if (const int err = m_writer->drain())
            fail(err);
    }
}

void write_file_atomic(const std::string& path, std::string_view text)
{
    write_file_atomic(path, [text](TextStream& out) { out.append(text); });
}

namespace {

Error write_failure(const std::string& path, int err)
{
    return Error("cannot write file " + path + ": " + std::strerror(err));
}

// A write the tests have made to fail as on a full disk.
void fail_if_injected(const std::string& path)
{
    if (const WriteFailurePredicate& fails = injected_write_failure(); fails && fails(path))
        throw write_failure(path, ENOSPC);
}

} // namespace

FileAhead::FileAhead(const std::string& path, const TextProducer& produce, std::size_t block)
    : m_path(path)
{
    // Named by the writing thread, so texts of one file written ahead on different threads
    // never meet; the process's own thread gives the process number.
    const std::string temp = path + ".tmp." + std::to_string(platform::thread_number());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        throw write_failure(path, errno);
    // Until the text is whole, every way out removes the temporary file.
    try {
        fail_if_injected(path);
        TextStream out(fd, path, block);
        produce(out);
        out.finish();
        m_blocks = out.flushes();
    } catch (...) {
        ::close(fd);
        ::unlink(temp.c_str());
        throw;
    }
    if (::close(fd) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        throw write_failure(path, err);
    }
    m_temp = temp;
}

FileAhead::FileAhead(FileAhead&& other) noexcept
    : m_path(std::move(other.m_path)), m_temp(std::exchange(other.m_temp, {})),
      m_blocks(other.m_blocks)
{
}

FileAhead& FileAhead::operator=(FileAhead&& other) noexcept
{
    if (this != &other) {
        drop();
        m_path = std::move(other.m_path);
        m_temp = std::exchange(other.m_temp, {});
        m_blocks = other.m_blocks;
    }
    return *this;
}

FileAhead::~FileAhead()
{
    drop();
}

void FileAhead::drop() noexcept
{
    if (!m_temp.empty())
        ::unlink(m_temp.c_str());
    m_temp.clear();
}

void FileAhead::put_in_place()
{
    if (m_temp.empty())
        throw Error("cannot write file " + m_path + ": its text was not written");
    try {
        fail_if_injected(m_path);
    } catch (...) {
        drop();
        throw;
    }
    if (const int err = platform::replace_file(m_temp, m_path)) {
        drop();
        throw write_failure(m_path, err);
    }
    m_temp.clear();
}

std::size_t write_file_atomic(const std::string& path, const TextProducer& produce,
                              std::size_t block)
{
    FileAhead text(path, produce, block);
    text.put_in_place();
    return text.blocks();
}

}  // namespace script
