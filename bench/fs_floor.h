#pragma once

// The least file-system work any collector of a generated scene has to do: every folder a
// reference points into listed once, every matched file, twin candidate and missing
// reference checked once.

#include <cstddef>

#include "bench/scene_generator.h"

namespace script::bench {

struct FloorCount
{
    std::size_t folders = 0; ///< folders listed
    std::size_t entries = 0; ///< entries the listings returned
    std::size_t found = 0;   ///< checked paths that exist
    std::size_t checked = 0; ///< paths checked
};

/// Does that work once and counts what it saw.
FloorCount run_floor(const GeneratedScene& scene);

} // namespace script::bench
