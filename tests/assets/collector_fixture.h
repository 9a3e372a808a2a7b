#pragma once

// A job folder, a texture folder, a rule file beside a stand-in program, and a standalone
// host, for tests that run the asset collector on scene documents.

#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "assets/asset_collector.h"
#include "common/json_doc.h"
#include "common/platform.h"
#include "driver/job_paths.h"
#include "host/standalone_host.h"
#include "tests/support/scene_builder.h"
#include "tests/support/temp_dir.h"

namespace script::testing {

class CollectorTest : public ::testing::Test
{
protected:
    using Json = nlohmann::ordered_json;

    void SetUp() override
    {
        m_saved_paths = job_paths();
        m_saved_program = platform::program_path();
        job_paths() = JobPaths{};
        job_paths().json_path = job.path();
        job_paths().task_json = job.file("task.json");
        job_paths().tips_json = job.file("tips.json");
        job_paths().upload_json = job.file("upload.json");
        job_paths().katana_scene = files.write("shots/a.katana", "scene");
        platform::set_program_path(bin.file("katana-analyse"));
        rules("{ImageRead}{file}\n");
    }

    void TearDown() override
    {
        job_paths() = m_saved_paths;
        platform::set_program_path(m_saved_program);
    }

    /// Replaces the rule file beside the stand-in program.
    void rules(const std::string& text) { bin.write("filter.txt", text); }

    void load(const SceneBuilder& scene) { host.load_document(scene.json(), "scene"); }

    /// Runs the whole collection and returns what the console showed.
    std::string collect()
    {
        ConsoleCapture capture;
        {
            zel_Katana_asset collector(host);
        }
        return capture.finish();
    }

    Json job_file(const std::string& name) const { return parse_json_text(read_text(job.file(name))); }

    /// A collector set up without collecting, for calling its parts directly.
    zel_Katana_asset idle() { return zel_Katana_asset(host, zel_Katana_asset::NoCollect{}); }

    TempDir job;
    TempDir files;
    TempDir bin;
    host::StandaloneHost host;

private:
    JobPaths m_saved_paths;
    std::string m_saved_program;
};

}  // namespace script::testing
