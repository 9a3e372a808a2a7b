#pragma once

#include <stdexcept>
#include <string>

namespace script {

/// Base of every failure the analyser raises on purpose. Caught only by the guards the
/// job defines (per render node, job-file writes, the step wrapper) and by the driver.
class Error : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

/// Malformed input in a file we read ourselves; what() is "source:line: message".
class ParseError : public Error
{
public:
    ParseError(const std::string& source_name, int line_no, const std::string& message)
        : Error(source_name + ":" + std::to_string(line_no) + ": " + message)
    {
    }
};

/// A failure reported by the host (a missing node, a parameter that cannot be read, ...).
class HostError : public Error
{
public:
    using Error::Error;
};

/// The host refused to load a scene (the runtime error of a scene load).
class LoadError : public HostError
{
public:
    using HostError::HostError;
};

}  // namespace script
