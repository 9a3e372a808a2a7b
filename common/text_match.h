#pragma once

// A fixed list of texts and the question whether a path holds any of them, answered in
// one pass over the path rather than one search per text.

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

namespace script {

class AnyOfTexts
{
public:
    /// At most eight distinct first bytes among the texts; empty texts are not allowed.
    /// The texts must outlive the list.
    explicit AnyOfTexts(std::span<const std::string_view> texts);

    /// True when some text of the list occurs in `path`.
    bool found_in(std::string_view path) const;

private:
    bool found_at(std::string_view path, std::size_t at) const;

    std::span<const std::string_view> m_texts;
    // For each byte, which texts start with it (bit i for text i, first eight texts).
    std::array<std::uint8_t, 256> m_starting{};
    std::array<char, 8> m_firsts{};
    std::size_t m_first_count = 0;
};

}  // namespace script
