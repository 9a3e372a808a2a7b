#pragma once

// A fixed list of texts and the question whether a path holds any of them, answered in
// one pass over the path rather than one search per text.

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

namespace script {

/// The first place in `text` of a byte of `set` (npos when there is none): the answer of
/// find_first_of, with one fast scan of the text per byte of the small set rather than a
/// search of the set for every byte of the text.
std::size_t find_first_byte_of(std::string_view text, std::string_view set);

/// The last place of `byte` in `text` (npos when there is none): rfind of one character,
/// scanned a block at a time rather than byte by byte.
std::size_t find_last_byte(std::string_view text, char byte);

/// The first place of `needle` in `text` at or after `from` (npos when there is none):
/// find of a text, with the places that hold its first two bytes found sixteen at a time.
std::size_t find_text(std::string_view text, std::string_view needle, std::size_t from = 0);

class AnyOfTexts
{
public:
    /// At most eight texts, none empty. The texts must outlive the list.
    explicit AnyOfTexts(std::span<const std::string_view> texts);

    /// True when some text of the list occurs in `path`.
    bool found_in(std::string_view path) const;

private:
    bool found_at(std::string_view path, std::size_t at) const;

    std::span<const std::string_view> m_texts;
    // For each byte, which texts start with it (bit i for text i).
    std::array<std::uint8_t, 256> m_starting{};
    // Each text's first and second byte repeated over a 16-byte block, and all ones for a
    // text of one byte, which takes any second byte.
    struct Block
    {
        alignas(16) unsigned char bytes[16];
    };
    std::array<Block, 8> m_firsts{};
    std::array<Block, 8> m_seconds{};
    std::array<Block, 8> m_any_second{};
};

}  // namespace script
