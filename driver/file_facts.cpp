#include "driver/file_facts.h"

#include <array>
#include <cctype>
#include <ctime>
#include <fstream>
#include <memory>

#include <openssl/evp.h>

#include "common/errors.h"
#include "common/fs.h"

namespace script {

namespace {

constexpr std::size_t k_md5_block_size = 8096;

// A drive letter as the server form recognises it: a letter (or a comma) followed by ":".
bool is_drive_char(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == ',';
}

} // namespace

std::string local_to_server(const std::string& path)
{
    int matches = 0;
    for (std::size_t i = 0; i + 1 < path.size(); ++i) {
        if (is_drive_char(path[i]) && path[i + 1] == ':') {
            ++matches;
            ++i;
        }
    }
    if (matches != 1) {
        return path;
    }
    std::string server = "/";
    for (const char c : path) {
        if (c != ':') {
            server += c;
        }
    }
    return server;
}

std::int64_t get_file_size(const std::string& file_path)
{
    const auto size = fs::file_size(file_path);
    return size ? static_cast<std::int64_t>(*size) : 0;
}

std::string get_file_mtime(const std::string& file_path)
{
    std::string stamp = "0";
    if (const auto seconds = fs::mtime(file_path)) {
        const std::time_t t = static_cast<std::time_t>(*seconds);
        std::tm local{};
        if (const std::tm* converted = std::localtime(&t)) {
            local = *converted;
            std::array<char, 32> buffer{};
            if (std::strftime(buffer.data(), buffer.size(), "%Y-%m-%d %H:%M:%S", &local) > 0) {
                stamp = buffer.data();
            }
        }
    }
    return file_path + "  (mtime " + stamp + ")";
}

std::string getFileMd5(const std::string& file_path)
{
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(),
                                                                      &EVP_MD_CTX_free);
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1) {
        throw Error("cannot start an MD5 digest");
    }
    if (fs::exists(file_path)) {
        std::ifstream in(file_path, std::ios::binary);
        if (!in) {
            throw Error("cannot open " + file_path);
        }
        std::array<char, k_md5_block_size> block{};
        while (true) {
            in.read(block.data(), static_cast<std::streamsize>(block.size()));
            const std::streamsize got = in.gcount();
            if (got <= 0) {
                break;
            }
            EVP_DigestUpdate(ctx.get(), block.data(), static_cast<std::size_t>(got));
        }
        if (in.bad()) {
            throw Error("cannot read " + file_path);
        }
    }
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    EVP_DigestFinal_ex(ctx.get(), digest.data(), &length);
    static constexpr char k_hex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += k_hex[digest[i] >> 4];
        hex += k_hex[digest[i] & 0xf];
    }
    return hex;
}

} // namespace script
