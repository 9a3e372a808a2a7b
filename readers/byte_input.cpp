#include "readers/byte_input.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include <zlib.h>

namespace script::readers {

namespace {

constexpr unsigned char k_gzip_magic[2] = {0x1F, 0x8B};
// Compressed bytes read from the file at a time.
constexpr std::size_t k_compressed_chunk = 256 * 1024;
// gzip and zlib headers told apart by zlib itself (windowBits 15 + 32).
constexpr int k_window_bits_auto = 15 + 32;

constexpr const char* k_truncated = "the compressed data ends early";
constexpr const char* k_corrupt = "the compressed data is corrupt";

} // namespace

struct ByteInput::Inflater
{
    z_stream stream{};
    std::vector<unsigned char> chunk = std::vector<unsigned char>(k_compressed_chunk);
    bool initialised = false;
    // True after a member ended: what follows must be another member or nothing.
    bool between_members = false;

    ~Inflater()
    {
        if (initialised) {
            inflateEnd(&stream);
        }
    }
};

ByteInput::ByteInput(std::istream& in) : m_in(in) {}

ByteInput::~ByteInput() = default;

void ByteInput::start()
{
    m_started = true;
    m_in.read(m_head, sizeof m_head);
    m_head_size = static_cast<std::size_t>(m_in.gcount());
    m_compressed = m_head_size == 2 && static_cast<unsigned char>(m_head[0]) == k_gzip_magic[0] &&
                   static_cast<unsigned char>(m_head[1]) == k_gzip_magic[1];
    if (!m_compressed) {
        return;
    }
    m_inflater = std::make_unique<Inflater>();
    z_stream& z = m_inflater->stream;
    if (inflateInit2(&z, k_window_bits_auto) != Z_OK) {
        m_problem = k_corrupt;
        m_finished = true;
        return;
    }
    m_inflater->initialised = true;
    // The magic bytes are the start of the first member.
    std::memcpy(m_inflater->chunk.data(), m_head, m_head_size);
    z.next_in = m_inflater->chunk.data();
    z.avail_in = static_cast<uInt>(m_head_size);
    m_head_size = 0;
}

std::size_t ByteInput::read(char* out, std::size_t capacity)
{
    if (!m_started) {
        start();
    }
    if (capacity == 0 || m_finished) {
        return 0;
    }
    return m_compressed ? inflate_into(out, capacity) : read_raw(out, capacity);
}

std::size_t ByteInput::read_raw(char* out, std::size_t capacity)
{
    std::size_t n = 0;
    while (m_head_pos < m_head_size && n < capacity) {
        out[n++] = m_head[m_head_pos++];
    }
    if (n < capacity && m_in) {
        m_in.read(out + n, static_cast<std::streamsize>(capacity - n));
        n += static_cast<std::size_t>(m_in.gcount());
    }
    if (n == 0) {
        m_finished = true;
    }
    return n;
}

std::size_t ByteInput::inflate_into(char* out, std::size_t capacity)
{
    Inflater& inf = *m_inflater;
    z_stream& z = inf.stream;
    z.next_out = reinterpret_cast<Bytef*>(out);
    z.avail_out = static_cast<uInt>(std::min<std::size_t>(capacity, 1u << 30));
    while (z.avail_out > 0) {
        if (z.avail_in == 0 && m_in) {
            m_in.read(reinterpret_cast<char*>(inf.chunk.data()),
                      static_cast<std::streamsize>(inf.chunk.size()));
            z.next_in = inf.chunk.data();
            z.avail_in = static_cast<uInt>(m_in.gcount());
        }
        if (z.avail_in == 0) {
            // No input left: the end is clean only right after a member ended.
            if (!inf.between_members) {
                m_problem = k_truncated;
            }
            m_finished = true;
            break;
        }
        inf.between_members = false;
        const int status = inflate(&z, Z_NO_FLUSH);
        if (status == Z_STREAM_END) {
            inf.between_members = true;
            inflateReset(&z);
            continue;
        }
        if (status == Z_BUF_ERROR) {
            continue; // needs more input, read above
        }
        if (status != Z_OK) {
            m_problem = k_corrupt;
            m_finished = true;
            break;
        }
    }
    return capacity - z.avail_out;
}

} // namespace script::readers
