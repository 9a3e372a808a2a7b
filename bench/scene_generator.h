#pragma once

// Builds a production-sized texture tree and a scene document referencing it, for the
// asset-step benchmarks. The tree is made of groups of three folders:
//   g0000/udim/    ten UDIM sets, tiles 1001..1010 as .exr with a .tx twin beside each
//   g0000/seq/     four frame sequences of 48 frames (.####.exr and .%04d.exr)
//   g0000/single/  a hundred single textures (.exr with a .tx twin)
// Files are empty. References come from ImageRead nodes (parameter "file", matched by the
// rule file) and from material nodes of scene-graph locations under the Render node's
// producer (material.nodes.<n>.parameters.filename). Many references are shared between
// several nodes and locations, and every group references a few files that do not exist.

#include <cstddef>
#include <string>
#include <vector>

namespace script::bench {

/// What the generator left on disk and what a collector of it has to look at.
struct GeneratedScene
{
    std::string root;           ///< temporary folder holding everything below
    std::string texture_root;   ///< root of the texture tree
    std::string scene_document; ///< the scene document (standalone host format)
    std::size_t groups = 0;
    std::size_t files = 0;      ///< files created in the texture tree
    std::size_t references = 0; ///< file references in the document (nodes and locations)
    std::size_t nodes = 0;      ///< ImageRead nodes
    std::size_t locations = 0;  ///< locations carrying material nodes
    /// Entries the asset record is expected to hold (found and missing lists together).
    std::size_t expected_recorded = 0;

    /// Every folder a reference points into, once.
    std::vector<std::string> folders;
    /// Every file an expansion matches, every twin candidate (.tx and .rstexbin of each
    /// matched non-.tx file) and every missing reference, once.
    std::vector<std::string> stat_paths;
};

/// Entries of the asset record one group contributes (see the layout above).
std::size_t recorded_per_group();

/// Creates a fresh folder below the system temporary folder and generates a scene whose
/// asset record holds about `target_recorded` entries. Throws script::Error when a file
/// cannot be created.
GeneratedScene generate_scene(std::size_t target_recorded);

/// Removes the generated folder and everything in it (errors are ignored).
void remove_scene(const GeneratedScene& scene);

} // namespace script::bench
