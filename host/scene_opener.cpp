#include "host/scene_opener.h"

#include "common/console.h"
#include "common/errors.h"
#include "common/fs.h"
#include "common/platform.h"
#include "driver/file_facts.h"
#include "driver/job_paths.h"
#include "driver/process_exit.h"
#include "driver/tips.h"

namespace script {

namespace {

constexpr std::string_view k_scene_key = "scene";
constexpr std::string_view k_scene_hash = "test";
constexpr std::string_view k_host_version_variable = "KATANA_VERSION";

} // namespace

zel_Katana_openScene::zel_Katana_openScene(host::Host& host) : m_host(host)
{
    openScene();
}

void zel_Katana_openScene::openScene()
{
    const JobPaths& paths = job_paths();
    const std::string& scene = paths.katana_scene;

    if (!fs::exists(scene)) {
        write_json_info(paths.tips_json, std::string(tips::k_scene_missing), Json::array({scene}));
        end_process(1, "Error: can not found file:" + scene);
    }

    Json scene_record = Json::object();
    scene_record["hash"] = k_scene_hash;
    scene_record["local"] = scene;
    scene_record["server"] = local_to_server(scene);
    write_json_info(paths.upload_json, std::string(k_scene_key), scene_record);

    if (platform::is_windows()) {
        const host::HeaderElement element = m_host.katana_xml_element(scene);
        print_line(element.text());
        const std::string file_version = element.item("version");
        const auto host_version = platform::get_env(std::string(k_host_version_variable));
        if (!host_version) {
            throw Error("the environment variable KATANA_VERSION is not set");
        }
        if (file_version != *host_version) {
            print_line("\n   Warning!!!!! :version problem, file version: " + file_version +
                       " ,software version:  " + *host_version);
            write_json_info(paths.tips_json, std::string(tips::k_version_mismatch),
                            Json::array({"file version: " + file_version +
                                         " ,software version: " + *host_version}));
        }
    }

    try {
        m_host.load_scene(scene);
    } catch (const LoadError&) {
        write_json_info(paths.tips_json, std::string(tips::k_scene_missing),
                        Json::array({"can not open this file : " + scene}));
        end_process(1, "Error: file open failed:" + scene);
    }
}

} // namespace script
