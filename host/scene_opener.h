#pragma once

#include "driver/job_files.h"
#include "host/host.h"

namespace script {

/// The scene opener: checks the scene exists, records it under "scene" of upload.json,
/// compares versions on Windows ("70001") and loads it. A missing or unloadable scene is
/// recorded as "70000" and ends the process with status 1.
class zel_Katana_openScene : public zel_Katana
{
public:
    explicit zel_Katana_openScene(host::Host& host);
    void openScene();

private:
    host::Host& m_host;
};

}  // namespace script
