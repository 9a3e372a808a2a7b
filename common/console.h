#pragma once

#include <string>
#include <string_view>

namespace script {

/// The one place progress and diagnostic lines go through. Lines are buffered and go to
/// standard output (or standard error for error lines) unless a capture is active, in
/// which case they are kept for the test that installed it.
class Console
{
public:
    /// Prints one line (a newline is added).
    void line(std::string_view text);
    /// Prints the quoted form of a text (Python's repr) as one line.
    void repr_line(std::string_view text);
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

private:
    bool m_capturing = false;
    std::string m_out;
    std::string m_err;
};

/// The process-wide console.
Console& console();

/// Shorthands for console().line / error_line.
void print_line(std::string_view text);
/// console().repr_line: a path printed in its quoted form.
void print_repr_line(std::string_view text);
void print_error_line(std::string_view text);

/// The line of fifty "!" that precedes every fatal message.
inline constexpr std::string_view k_bang_line = "!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!";

}  // namespace script
