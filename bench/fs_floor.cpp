#include "bench/fs_floor.h"

#include "common/fs.h"

namespace script::bench {

FloorCount run_floor(const GeneratedScene& scene)
{
    FloorCount count;
    for (const std::string& folder : scene.folders) {
        count.entries += fs::list_dir(folder).size();
        ++count.folders;
    }
    for (const std::string& path : scene.stat_paths) {
        if (fs::exists(path))
            ++count.found;
        ++count.checked;
    }
    return count;
}

} // namespace script::bench
