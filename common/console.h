#pragma once

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/text_block.h"

namespace script {

class BlockWriter;

/// The one place progress and diagnostic lines go through. Lines are buffered and go to
/// standard output (or standard error for error lines), or to the sink an embedding host
/// installed, unless a capture is active, in which case they are kept for the test that
/// installed it.
class Console
{
public:
    /// Receives buffered text at every flush: `error` tells the error stream from standard
    /// output. Standard text is always handed over before the error text that follows it.
    using Sink = std::function<void(std::string_view text, bool error)>;

    Console();
    ~Console();
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    /// Prints one line (a newline is added).
    void line(std::string_view text);
    /// Prints the quoted form of a text (Python's repr) as one line.
    void repr_line(std::string_view text);
    /// The same for a text the caller knows plain_repr_ascii holds for: it is printed
    /// between single quotes without being looked at.
    void plain_repr_line(std::string_view text);
    /// Prints text that is already whole lines, each ending in "\n".
    void lines(std::string_view text);
    /// Prints the quoted form of a list of texts (Python's repr of the list) as one line,
    /// buffered piece by piece however long the list is.
    void repr_list_line(const std::vector<std::string>& texts);
    /// Prints one line on the error stream (a newline is added).
    void error_line(std::string_view text);
    /// Writes buffered output to the process streams; done before a child process starts
    /// and before the process ends.
    void flush();

    /// Starts keeping every line instead of printing it (tests). Nested captures are not
    /// supported.
    void begin_capture();
    /// Ends the capture and returns what was printed: standard lines, then error lines,
    /// each terminated by "\n".
    std::string end_capture(std::string* error_text = nullptr);

    /// Sends flushed text to `sink` instead of the process streams (an empty sink restores
    /// them). Whatever is buffered goes to the previous destination first.
    void set_sink(Sink sink);

private:
    void write_out();
    void write_err();
    /// Writes standard output once the buffer holds more than the threshold.
    void write_out_if_full();
    /// Hands a buffer to the sink or its stream and empties it.
    void hand_over(std::string& buffer, bool error);
    /// Returns once everything handed to the output thread is written.
    void drain();

    Sink m_sink;
    bool m_capturing = false;
    std::string m_out;
    std::string m_err;
    std::unique_ptr<BlockWriter> m_output; // writes standard output; made when first needed
    bool m_output_failed = false;          // no thread could be made: written here
};

/// The process-wide console.
Console& console();

/// Quoted path lines for a console, many at a time: plain ones (plain_repr_ascii holds) are
/// put together in a block of their own (TextBlock), which goes to the console whole. Lines
/// keep their order; what is still in the block goes at flush().
class ReprLines
{
public:
    explicit ReprLines(Console& out);

    void plain(std::string_view text)
    {
        const std::size_t size = text.size() + 3;
        if (size > TextBlock::k_size) {
            m_block.flush();
            m_out.plain_repr_line(text);
            return;
        }
        char* at = m_block.room(size);
        at[0] = '\'';
        std::memcpy(at + 1, text.data(), text.size());
        at[size - 2] = '\'';
        at[size - 1] = '\n';
        m_block.commit(size);
    }
    /// A line that may need quoting rules.
    void any(std::string_view text);
    void flush() { m_block.flush(); }

private:
    Console& m_out;
    TextBlock m_block;
};

/// Shorthands for console().line / error_line.
void print_line(std::string_view text);
/// console().repr_line: a path printed in its quoted form.
void print_repr_line(std::string_view text);
/// Appends to `out` the line print_repr_line prints for `text`.
void append_repr_line(std::string& out, std::string_view text);
/// console().repr_list_line: a list of paths printed as Python prints the list.
void print_repr_list_line(const std::vector<std::string>& texts);
void print_error_line(std::string_view text);

/// The line of fifty "!" that precedes every fatal message.
inline constexpr std::string_view k_bang_line = "!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!";

}  // namespace script
