#pragma once

// A farm-shaped job for whole-run benchmarks: a tree of UDIM textures and a scene document
// that references it, laid out as production scenes are:
//   tex/d0000/  fifty textures of ten tiles each, tex_000000.1001.exr .. .1010.exr, with a
//               .tx twin beside every tile (1,000 files a folder)
//   scene.json  a Render node with two outputs and a location tree in which every texture
//               is named by three locations (material.nodes.diffuse.parameters.filename,
//               "tex_000000.<UDIM>.exr"); every twentieth reference names a texture that
//               does not exist
//   task.json   the job the farm hands over
// Files are empty.

#include <cstddef>
#include <string>
#include <vector>

namespace script::bench {

struct RunTree
{
    std::string root;           ///< temporary folder holding everything below
    std::string scene_document; ///< the scene document (standalone host format)
    std::string task_template;  ///< task.json as the farm hands it over
    std::size_t textures = 0;
    std::size_t files = 0;      ///< files of the texture tree
    std::size_t references = 0; ///< texture references in the scene document
    std::size_t missing = 0;    ///< references naming no texture
    /// Every folder the run has to list: the texture folders and the missing ones' folder.
    std::vector<std::string> folders;
};

/// Files of the texture tree per texture (ten tiles and their twins).
std::size_t files_per_texture();

/// Creates a fresh folder below the system temporary folder holding a tree of about
/// `target_files` texture files and its scene. Throws script::Error when a file cannot be
/// created.
RunTree generate_run_tree(std::size_t target_files);

/// Removes the generated folder and everything in it (errors are ignored).
void remove_run_tree(const RunTree& tree);

} // namespace script::bench
