#pragma once

// The bytes of a file read through a fixed buffer, inflated on the way when the file is
// gzip-compressed. Compression is told by the first two bytes (1F 8B, RFC 1952), never by
// the file name, and a stream of several gzip members is read to its last member, as gzip
// itself does.

#include <cstddef>
#include <istream>
#include <memory>
#include <string>

namespace script::readers {

class ByteInput
{
public:
    /// Reads from `in`, which must stay alive and unread by others while this input lives.
    explicit ByteInput(std::istream& in);
    ~ByteInput();
    ByteInput(const ByteInput&) = delete;
    ByteInput& operator=(const ByteInput&) = delete;

    /// Fills `out` with up to `capacity` bytes of content and returns how many; 0 only at
    /// the end. Compressed data that is corrupt or ends early ends the content where the
    /// good data ends, and problem() says why.
    std::size_t read(char* out, std::size_t capacity);

    /// True when the file is gzip-compressed (known after the first read).
    bool compressed() const { return m_compressed; }
    /// Empty, or what was wrong with the compressed data.
    const std::string& problem() const { return m_problem; }

private:
    struct Inflater;

    std::size_t read_raw(char* out, std::size_t capacity);
    std::size_t inflate_into(char* out, std::size_t capacity);
    void start();

    std::istream& m_in;
    bool m_started = false;
    bool m_compressed = false;
    bool m_finished = false;
    // The bytes read to tell the format, handed out before anything else.
    char m_head[2] = {};
    std::size_t m_head_size = 0;
    std::size_t m_head_pos = 0;
    std::unique_ptr<Inflater> m_inflater;
    std::string m_problem;
};

} // namespace script::readers
