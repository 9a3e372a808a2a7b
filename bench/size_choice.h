#pragma once

// The sizes a benchmark runs, as named in its --sizes= list.

#include <cctype>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "common/errors.h"

namespace script::bench {

/// The sizes of `table` named in the comma-separated `wanted`, in the table's order. Names
/// are taken in either case ("1M" is "1m"); a name that is no size is an error naming it,
/// rather than a size silently left out.
template <typename Size, std::size_t N>
std::vector<const Size*> chosen_sizes(const Size (&table)[N], std::string_view wanted)
{
    std::vector<bool> chosen(N, false);
    for (std::string_view rest = wanted; !rest.empty();) {
        const std::size_t comma = rest.find(',');
        std::string name(rest.substr(0, comma));
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        for (char& c : name)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (name.empty())
            continue;
        std::size_t i = 0;
        while (i < N && table[i].name != name)
            ++i;
        if (i == N) {
            std::string known;
            for (const Size& size : table)
                known += (known.empty() ? "" : ", ") + std::string(size.name);
            throw Error("no size '" + name + "' in --sizes=" + std::string(wanted) + " (sizes: " +
                        known + ")");
        }
        chosen[i] = true;
    }
    std::vector<const Size*> sizes;
    for (std::size_t i = 0; i < N; ++i)
        if (chosen[i])
            sizes.push_back(&table[i]);
    return sizes;
}

}  // namespace script::bench
