#include "driver/driver.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "assets/asset_collector.h"
#include "common/console.h"
#include "common/errors.h"
#include "common/fs.h"
#include "common/json_doc.h"
#include "common/platform.h"
#include "common/pypath.h"
#include "common/pyutil.h"
#include "driver/check_flow.h"
#include "driver/job_files.h"
#include "driver/job_paths.h"
#include "driver/process_exit.h"
#include "driver/run_mode.h"
#include "driver/tips.h"
#include "host/scene_opener.h"
#include "host/standalone_host.h"
#include "render/render_nodes.h"

namespace script {

namespace {

// A 200k-file run of a 5.6 MB scene document uses about 55 MB of its main heap: eight bytes
// per scene byte made ready ahead stays near what a run uses (its peak resident memory grew
// by 7 MB), and large scenes are capped.
constexpr std::uint64_t k_heap_bytes_per_scene_byte = 8;
constexpr std::uint64_t k_most_heap_made_ready = std::uint64_t{512} << 20;

constexpr std::string_view k_usage =
    "usage: katana-analyse SCENE TASK_JSON SYSTEM_JSON\n"
    "       katana-analyse --list-alembic SCENE [NODE]\n"
    "       katana-analyse --list-prman-textures SCENE [NODE]\n"
    "  SCENE        the scene file to analyse\n"
    "  TASK_JSON    the job's task.json (its folder is the job folder)\n"
    "  SYSTEM_JSON  the job's system.json\n"
    "  --list-alembic         print the name and cache of every Alembic_In node, or of NODE\n"
    "  --list-prman-textures  print the file of every PxrTexture PrmanShadingNode, or of NODE";
constexpr std::string_view k_host_usage =
    "usage: katana --script run_analyse.py SCENE TASK_JSON SYSTEM_JSON";
constexpr std::string_view k_list_alembic = "--list-alembic";
constexpr std::string_view k_list_prman_textures = "--list-prman-textures";
constexpr std::string_view k_script_mode = "script";
constexpr std::string_view k_unwritten_heading =
    "[ERROR] these job files could not be written, the analysis is incomplete:";

// Called with the run mode once the host has reported it, before any scene step runs.
using ModeHook = std::function<void(const std::string& mode)>;

// The analyser's own folder: that of the program as started (links resolved) when it names
// an existing file, else that of the running executable.
std::string analyser_folder()
{
    std::string program;
    if (!platform::program_path().empty()) {
        program = pypath::realpath(platform::program_path());
    }
    if (program.empty() || !fs::isfile(program)) {
        program = platform::executable_path();
    }
    return program.empty() ? std::string() : pypath::dirname(program);
}

std::string lower_case(std::string text)
{
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

// True when the render node record has outputs.
bool has_outputs(const Json& record)
{
    return record.is_object() && record.contains("aov") && truthy(record.at("aov"));
}

const Json& rendernodes_of(const Json& task_dict, const std::string& task_json)
{
    if (!task_dict.is_object() || !task_dict.contains("scene_info") ||
        !task_dict.at("scene_info").is_object() ||
        !task_dict.at("scene_info").contains("rendernodes")) {
        throw Error(task_json +
                    " holds no \"scene_info\" with \"rendernodes\" after the render node step "
                    "(the scene has no render nodes, or they were not analysed)");
    }
    return task_dict.at("scene_info").at("rendernodes");
}

// The job files a write failed on, one per line under a heading; "" when every write
// went through.
std::string unwritten_files_message()
{
    const std::vector<std::string>& unwritten = job_paths().unwritten_files;
    if (unwritten.empty()) {
        return {};
    }
    std::string text(k_unwritten_heading);
    for (const std::string& file : unwritten) {
        text += "\n    " + file;
    }
    return text;
}

void run_common_steps(host::Host& host, const ModeHook& on_mode)
{
    const JobPaths& paths = job_paths();

    if (!fs::exists(paths.json_path)) {
        fs::make_dirs(paths.json_path);
    }
    clearJson();
    // Every step reads or merges into task.json; a folder in its place would only fail
    // after the whole analysis.
    if (fs::isdir(paths.task_json)) {
        throw Error("cannot read file " + paths.task_json +
                    ": it is a folder, not the job's task.json");
    }
    if (!fs::exists(paths.tips_json)) {
        write_file_atomic(paths.tips_json, "{}");
    }

    const std::string mode = get_katana_run_model(host);
    if (on_mode) {
        on_mode(mode);
    }
    if (mode == k_script_mode) {
        const zel_Katana_openScene katna_open(host);
    }

    // Writes "scene_info" and "dependency_task" into task.json, "70003" for bad nodes.
    const zel_Katana_rendernodes kanana_analyse(host, paths.task_json);

    // The asset step writes asset.json, upload.json "asset", scene.json and "70004".
    {
        auto asset_step = std::make_unique<const zel_Katana_asset>(host);
        if (platform::run_ends_process())
            platform::keep_until_exit(std::move(asset_step));
    }

    const zel_Katana job_files;
    const Json task_dict = job_files.open_json(paths.task_json);
    bool aov_flag = true;
    for (const auto& [name, record] : rendernodes_of(task_dict, paths.task_json).items()) {
        (void)name;
        if (!has_outputs(record)) {
            aov_flag = false;
        }
    }
    if (!aov_flag) {
        print_line(k_bang_line);
        print_line(tips::k_no_outputs_message);
        job_files.write_json_info(paths.tips_json, std::string(tips::k_no_outputs),
                                  Json::array({tips::k_no_outputs_message}));
    }

    // A job file left stale by a failed write (a full disk) makes the run a failure.
    if (const std::string unwritten = unwritten_files_message(); !unwritten.empty()) {
        print_line(k_bang_line);
        end_process(1, unwritten);
    }

    // The finish flag comes last: its presence tells the farm the analysis completed.
    write_file_atomic(finish_flag_path(paths.task_json), "");
}

void set_callable_paths(const std::string& file, const Json& task)
{
    const std::string task_text = task.is_string() ? task.get<std::string>() : py_str(task);
    JobPaths& paths = job_paths();
    paths = callable_job_paths(file, task_text);
    print_line(paths.katana_scene);
    print_line(paths.task_json);
    print_line(paths.system_json);
}

// Outside script mode the host already holds the scene; the standalone host gets it from
// the scene document now.
ModeHook load_document_unless_script(host::StandaloneHost& host, const std::string& file)
{
    return [&host, file](const std::string& mode) {
        if (mode != k_script_mode) {
            host.load_document_file(file);
        }
    };
}

// A listing for checking a scene by hand, chosen by its command-line option.
using Listing = void (zel_Katana_asset::*)(const std::string& node_name);

std::optional<Listing> listing_of(std::string_view option)
{
    if (option == k_list_alembic) {
        return &zel_Katana_asset::get_Alembic_In;
    }
    if (option == k_list_prman_textures) {
        return &zel_Katana_asset::get_PrmanShadingNode;
    }
    return std::nullopt;
}

// Loads the scene document and runs the listing on a collector that collects nothing. A
// failure inside the listing ends the run through its step wrapper.
void run_listing(Listing listing, const std::string& scene, const std::string& node_name)
{
    job_paths().katana_scene = scene;
    host::StandaloneHost host;
    host.load_document_file(scene);
    zel_Katana_asset collector(host, zel_Katana_asset::NoCollect{});
    (collector.*listing)(node_name);
}

// Turns an ended run or an error leaving `body` into its exit status and report on the error
// stream; the console is flushed either way.
int guarded(const std::function<int()>& body)
{
    int status = 0;
    try {
        status = body();
    } catch (const ProcessExit& exit) {
        if (!exit.message().empty()) {
            print_error_line(exit.message());
        }
        status = exit.status();
    } catch (const std::exception& e) {
        print_error_line(std::string("Error: ") + e.what());
        if (const std::string unwritten = unwritten_files_message(); !unwritten.empty()) {
            print_error_line(unwritten);
        }
        status = 1;
    } catch (...) {
        print_error_line("Error: unknown error");
        status = 1;
    }
    console().flush();
    return status;
}

// The three positional arguments: job paths formed and printed with the program line, then
// the common steps.
void run_positional(host::Host& host, const std::string& scene, const std::string& task_json,
                    const std::string& system_json, const std::string& program_line,
                    const ModeHook& on_mode)
{
    JobPaths& paths = job_paths();
    paths = command_line_job_paths(scene, task_json, system_json);
    print_line(paths.katana_scene);
    print_line(paths.task_json);
    print_line(paths.system_json);
    print_line(program_line);
    run_common_steps(host, on_mode);
}

} // namespace

void load_module()
{
    static bool loaded = false;
    if (loaded) {
        return;
    }
    loaded = true;
    // The analyser's own folder heads the module search path, as the host puts it there, so
    // the rule file beside the analyser is the one read in every mode; the working
    // directory is appended after it.
    std::vector<std::string>& search_path = platform::module_search_path();
    if (const std::string own = analyser_folder(); !own.empty()) {
        search_path.insert(search_path.begin(), own);
    }
    const std::string cwd = platform::current_dir();
    if (!cwd.empty() && fs::exists(cwd)) {
        search_path.push_back(cwd);
    }
}

void main(host::Host& host, const std::string& file, const Json& task)
{
    load_module();
    set_callable_paths(file, task);
    run_common_steps(host, {});
}

void main(const std::string& file, const Json& task)
{
    load_module();
    set_callable_paths(file, task);
    host::StandaloneHost host;
    run_common_steps(host, load_document_unless_script(host, file));
}

int run_main_program(host::Host& host, const std::vector<std::string>& argv,
                     const std::string& host_program)
{
    return guarded([&] {
        platform::set_program_path(argv.empty() ? std::string() : argv.front());
        load_module();
        if (argv.size() < 4) {
            print_error_line(k_host_usage);
            return 2;
        }
        run_positional(host, argv[1], argv[2], argv[3], lower_case(host_program), {});
        return 0;
    });
}

int run_command_line(int argc, char** argv)
{
    return guarded([&] {
        platform::set_program_path(argc > 0 && argv[0] ? argv[0] : "katana-analyse");
        for (int i = 1; i < argc; ++i) {
            if (std::string_view(argv[i]) == "--help") {
                print_line(k_usage);
                return 0;
            }
        }
        load_module();
        if (argc > 1) {
            if (const std::optional<Listing> listing = listing_of(argv[1])) {
                if (argc < 3 || argc > 4) {
                    print_error_line(k_usage);
                    return 2;
                }
                run_listing(*listing, argv[2], argc == 4 ? argv[3] : "");
                return 0;
            }
        }
        if (argc < 4) {
            print_error_line(k_usage);
            return 2;
        }
        auto host = std::make_shared<host::StandaloneHost>();
        if (platform::run_ends_process()) {
            platform::keep_until_exit(host);  // the scene is left for exit to take back
            // The run's heap grows with its scene: the first of it is made ready on another
            // core while the scene loads here.
            if (const std::optional<std::uint64_t> size = fs::file_size(argv[1]))
                platform::prefault_heap(static_cast<std::size_t>(std::min<std::uint64_t>(
                    *size * k_heap_bytes_per_scene_byte, k_most_heap_made_ready)));
        }
        run_positional(*host, argv[1], argv[2], argv[3], lower_case(program_file_name()),
                       load_document_unless_script(*host, argv[1]));
        return 0;
    });
}

} // namespace script
