#pragma once

#include <string>

namespace script {

/// An explicit end of the process (statuses 1 and 555). Thrown by end_process and turned
/// into the exit status at the very top of the executable, so tests can observe it. It is
/// deliberately not a std::exception: guards that catch every failure let it pass.
class ProcessExit
{
public:
    ProcessExit(int status, std::string message) : m_status(status), m_message(std::move(message))
    {
    }
    int status() const { return m_status; }
    /// Text for the error stream ("" for none).
    const std::string& message() const { return m_message; }

private:
    int m_status;
    std::string m_message;
};

/// Ends the run with the status; the message goes to the error stream.
[[noreturn]] void end_process(int status, std::string message = {});

}  // namespace script
