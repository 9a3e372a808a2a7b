#pragma once

#include <string>
#include <string_view>

namespace script::testing {

/// A fresh temporary folder, removed with everything in it when the object goes away.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    /// path() + "/" + relative.
    std::string file(std::string_view relative) const;
    /// Writes a file below the folder (parents created) and returns its full path.
    std::string write(std::string_view relative, std::string_view content = {}) const;
    /// Creates a folder below the folder (parents created) and returns its full path.
    std::string mkdir(std::string_view relative) const;

private:
    std::string m_path;
};

/// Reads a whole file; "" when it cannot be read.
std::string read_text(const std::string& path);

/// Captures everything printed through the console while it lives.
class ConsoleCapture
{
public:
    ConsoleCapture();
    ~ConsoleCapture();
    /// Stops capturing (once) and returns standard lines; error lines go to `err`.
    std::string finish(std::string* err = nullptr);

private:
    bool m_done = false;
};

/// Sets (or unsets, with nullptr) an environment variable for the object's life.
class ScopedEnv
{
public:
    ScopedEnv(std::string name, const char* value);
    ~ScopedEnv();

private:
    std::string m_name;
    bool m_had = false;
    std::string m_old;
};

}  // namespace script::testing
