#pragma once

// Text put together in a block of its own, for writers of hundreds of thousands of short
// pieces (report lines, console lines, scene.json members): each piece is copied once into
// the block, and the block goes to its sink whole when it is full and at flush(). Joining
// the pieces onto a growing std::string instead costs a library call per piece.

#include <cstddef>
#include <cstring>
#include <functional>
#include <memory>
#include <string_view>

namespace script {

class TextBlock
{
public:
    using Sink = std::function<void(std::string_view text)>;
    static constexpr std::size_t k_size = 64 * 1024;

    explicit TextBlock(Sink sink) : m_sink(std::move(sink)), m_data(new char[k_size]) {}
    TextBlock(const TextBlock&) = delete;
    TextBlock& operator=(const TextBlock&) = delete;

    /// Room for `n` more bytes, at most k_size: what the block holds is sent first when
    /// the room is not left. The bytes written there are added by commit(n).
    char* room(std::size_t n)
    {
        if (m_used + n > k_size)
            flush();
        return m_data.get() + m_used;
    }
    void commit(std::size_t n) { m_used += n; }

    /// Adds `text`; a text longer than the block goes to the sink by itself.
    void append(std::string_view text)
    {
        if (text.size() > k_size) {
            flush();
            m_sink(text);
            return;
        }
        std::memcpy(room(text.size()), text.data(), text.size());
        m_used += text.size();
    }

    /// Sends what the block holds.
    void flush()
    {
        if (m_used == 0)
            return;
        const std::size_t used = m_used;
        m_used = 0;
        m_sink(std::string_view(m_data.get(), used));
    }

private:
    Sink m_sink;
    std::unique_ptr<char[]> m_data;
    std::size_t m_used = 0;
};

}  // namespace script
