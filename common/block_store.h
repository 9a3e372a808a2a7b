#pragma once

// Memory handed out in pieces from large blocks that stay where they are until the store
// goes: texts and small tables kept for a whole run are made and freed as a few blocks
// rather than one each, and views of them stay valid.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace script {

class BlockStore
{
public:
    /// Blocks of `block_size` bytes, or of a piece's size when a piece is larger.
    explicit BlockStore(std::size_t block_size) : m_block_size(block_size) {}

    /// `size` bytes, left uninitialised, at an address that is a multiple of `align` (a
    /// power of two no larger than alignof(std::max_align_t)).
    void* allocate(std::size_t size, std::size_t align = 1)
    {
        const auto at = reinterpret_cast<std::uintptr_t>(m_next);
        const std::size_t pad = (align - at % align) % align;
        if (m_free < pad + size) {
            const std::size_t block = std::max(m_block_size, size);
            // new[] gives an address aligned for any type, so a fresh block needs no pad.
            m_blocks.push_back(std::unique_ptr<char[]>(new char[block]));
            m_next = m_blocks.back().get();
            m_free = block;
            return take(size);
        }
        take(pad);
        return take(size);
    }

    /// A copy of `text` that stays where it is.
    std::string_view copy(std::string_view text)
    {
        char* const at = static_cast<char*>(allocate(text.size()));
        std::copy(text.begin(), text.end(), at);
        return {at, text.size()};
    }

private:
    void* take(std::size_t size)
    {
        char* const at = m_next;
        m_next += size;
        m_free -= size;
        return at;
    }

    std::size_t m_block_size;
    std::vector<std::unique_ptr<char[]>> m_blocks;
    char* m_next = nullptr;
    std::size_t m_free = 0;
};

} // namespace script
