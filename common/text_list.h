#pragma once

// A list of texts kept one after another in one block: the thousands of short paths an
// expansion lists are made and freed as two blocks rather than one each.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace script {

class TextList
{
public:
    std::size_t size() const { return m_ends.size(); }
    bool empty() const { return m_ends.empty(); }
    std::string_view operator[](std::size_t i) const
    {
        const std::size_t start = i == 0 ? 0 : m_ends[i - 1];
        return std::string_view(m_text).substr(start, m_ends[i] - start);
    }

    void push_back(std::string_view text)
    {
        m_text.append(text);
        m_ends.push_back(m_text.size());
    }
    /// A new text written onto the end of `text()` by the caller, then ended with
    /// end_text().
    std::string& text() { return m_text; }
    void end_text() { m_ends.push_back(m_text.size()); }

    void reserve(std::size_t texts) { m_ends.reserve(texts); }
    void clear()
    {
        m_text.clear();
        m_ends.clear();
    }

private:
    std::string m_text;
    std::vector<std::size_t> m_ends;
};

} // namespace script
