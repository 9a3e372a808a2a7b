#include "common/console.h"

#include "common/block_writer.h"
#include "common/pyutil.h"

#include <cstdio>
#include <cstdlib>
#include <system_error>

namespace script {

namespace {

constexpr std::size_t k_flush_threshold = 64 * 1024;
// Buffers that may wait for the output thread: about 1 MiB of text.
constexpr std::size_t k_max_waiting = 16;

void write_all(std::FILE* stream, std::string& buffer)
{
    if (buffer.empty())
        return;
    std::fwrite(buffer.data(), 1, buffer.size(), stream);
    std::fflush(stream);
    buffer.clear();
}

}  // namespace

Console::Console() = default;

Console::~Console()
{
    drain();
}

void Console::line(std::string_view text)
{
    m_out.append(text);
    m_out.push_back('\n');
    write_out_if_full();
}

void Console::repr_line(std::string_view text)
{
    append_repr_line(m_out, text);
    write_out_if_full();
}

void Console::plain_repr_line(std::string_view text)
{
    m_out += '\'';
    m_out.append(text);
    m_out.append("'\n", 2);
    write_out_if_full();
}

ReprLines::ReprLines(Console& out)
    : m_out(out), m_block([&out](std::string_view text) { out.lines(text); })
{
}

void ReprLines::any(std::string_view text)
{
    m_block.flush();
    m_out.repr_line(text);
}

void Console::lines(std::string_view text)
{
    m_out.append(text);
    write_out_if_full();
}

void Console::repr_list_line(const std::vector<std::string>& texts)
{
    m_out.push_back('[');
    for (std::size_t i = 0; i < texts.size(); ++i) {
        if (i)
            m_out.append(", ");
        append_py_repr(m_out, texts[i]);
        write_out_if_full();
    }
    m_out.append("]\n");
    write_out_if_full();
}

void Console::error_line(std::string_view text)
{
    m_err.append(text);
    m_err.push_back('\n');
    if (!m_capturing) {
        // Standard output goes first so the two streams stay in the order printed.
        write_out();
        write_err();
    }
}

void Console::flush()
{
    if (m_capturing)
        return;
    write_out();
    drain();
    write_err();
}

void Console::drain()
{
    if (m_output)
        m_output->drain();
}

void Console::set_sink(Sink sink)
{
    flush();
    m_sink = std::move(sink);
}

void Console::write_out_if_full()
{
    if (!m_capturing && m_out.size() > k_flush_threshold)
        write_out();
}

void Console::write_out()
{
    hand_over(m_out, false);
}

void Console::write_err()
{
    hand_over(m_err, true);
}

void Console::hand_over(std::string& buffer, bool error)
{
    if (!m_sink) {
        if (error) {
            drain(); // standard text handed over earlier goes first
            write_all(stderr, buffer);
            return;
        }
        if (!m_output && !m_output_failed) {
            try {
                // Standard output is written on a thread of its own, so the run does not
                // wait for the disk.
                m_output = std::make_unique<BlockWriter>(
                    [](std::string_view text) {
                        std::fwrite(text.data(), 1, text.size(), stdout);
                        std::fflush(stdout);
                        return 0;
                    },
                    k_max_waiting);
            } catch (const std::system_error&) {
                m_output_failed = true;
            }
        }
        if (m_output && !buffer.empty())
            m_output->write(buffer);
        else
            write_all(stdout, buffer);
    } else if (!buffer.empty()) {
        // Cleared first, so a sink that prints through this console cannot repeat it.
        const std::string text = std::move(buffer);
        buffer.clear();
        m_sink(text, error);
    }
}

void Console::begin_capture()
{
    flush();
    m_capturing = true;
}

std::string Console::end_capture(std::string* error_text)
{
    m_capturing = false;
    std::string out;
    out.swap(m_out);
    // Without a place for them, error lines follow the standard ones.
    if (error_text)
        *error_text = std::move(m_err);
    else
        out += m_err;
    m_err.clear();
    return out;
}

Console& console()
{
    static Console instance;
    // Whatever is still buffered reaches the streams when the process exits normally.
    static const bool flush_at_exit = [] { return std::atexit([] { console().flush(); }) == 0; }();
    (void)flush_at_exit;
    return instance;
}

void print_line(std::string_view text)
{
    console().line(text);
}

void print_repr_line(std::string_view text)
{
    console().repr_line(text);
}

void append_repr_line(std::string& out, std::string_view text)
{
    append_py_repr(out, text);
    out.push_back('\n');
}

void print_repr_list_line(const std::vector<std::string>& texts)
{
    console().repr_list_line(texts);
}

void print_error_line(std::string_view text)
{
    console().error_line(text);
}

}  // namespace script
