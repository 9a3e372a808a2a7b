#include "tests/support/temp_dir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "common/console.h"

namespace script::testing {

namespace stdfs = std::filesystem;

TempDir::TempDir()
{
    std::string templ = (stdfs::temp_directory_path() / "analyser-test-XXXXXX").string();
    if (::mkdtemp(templ.data()) == nullptr) {
        throw std::runtime_error("cannot create a temporary folder");
    }
    m_path = templ;
}

TempDir::~TempDir()
{
    std::error_code ec;
    // Restore permissions first so read-only copies can be removed.
    for (auto it = stdfs::recursive_directory_iterator(m_path, ec);
         !ec && it != stdfs::recursive_directory_iterator(); it.increment(ec)) {
        std::error_code ignored;
        if (!it->is_symlink(ignored)) {
            stdfs::permissions(it->path(), stdfs::perms::owner_all, stdfs::perm_options::add,
                               ignored);
        }
    }
    stdfs::remove_all(m_path, ec);
}

std::string TempDir::file(std::string_view relative) const
{
    return m_path + "/" + std::string(relative);
}

std::string TempDir::write(std::string_view relative, std::string_view content) const
{
    const std::string full = file(relative);
    stdfs::create_directories(stdfs::path(full).parent_path());
    std::ofstream out(full, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + full);
    }
    return full;
}

std::string TempDir::mkdir(std::string_view relative) const
{
    const std::string full = file(relative);
    stdfs::create_directories(full);
    return full;
}

std::string read_text(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

ConsoleCapture::ConsoleCapture()
{
    console().begin_capture();
}

ConsoleCapture::~ConsoleCapture()
{
    finish();
}

std::string ConsoleCapture::finish(std::string* err)
{
    if (m_done) {
        return {};
    }
    m_done = true;
    return console().end_capture(err);
}

ScopedEnv::ScopedEnv(std::string name, const char* value) : m_name(std::move(name))
{
    if (const char* old = std::getenv(m_name.c_str())) {
        m_had = true;
        m_old = old;
    }
    if (value) {
        ::setenv(m_name.c_str(), value, 1);
    } else {
        ::unsetenv(m_name.c_str());
    }
}

ScopedEnv::~ScopedEnv()
{
    if (m_had) {
        ::setenv(m_name.c_str(), m_old.c_str(), 1);
    } else {
        ::unsetenv(m_name.c_str());
    }
}

}  // namespace script::testing
