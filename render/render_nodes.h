#pragma once

#include <string>
#include <vector>

#include "driver/job_files.h"
#include "host/host.h"

namespace script {

/// The render node analyser: writes "scene_info" and "dependency_task" into task.json and
/// "70003" into tips.json for render nodes whose analysis failed.
class zel_Katana_rendernodes : public zel_Katana
{
public:
    /// Runs kanana_rendernodes (through the step wrapper) on the job's task.json.
    zel_Katana_rendernodes(host::Host& host, const std::string& task_json);

    void kanana_rendernodes(const std::string& task_json);
    /// Graph state variables of the scene: name -> {"enable", "value", "options"}.
    Json get_all_GSV() const;
    /// Distinct output file extensions of a render node ("deepexr" counts as "exr").
    std::vector<std::string> get_file_extension(host::NodeRef render_node) const;

private:
    host::Host& m_host;
};

}  // namespace script
