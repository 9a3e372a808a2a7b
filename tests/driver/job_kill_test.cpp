// Kill test: runs the built analyser on a generated scene and texture tree and kills it
// with SIGKILL at random moments, a few hundred times, checking the job folder after every
// kill. The farm reads that folder as it is left, so after any kill:
//
// - every job file present (task.json, tips.json, upload.json, asset.json, scene.json)
//   parses completely as a JSON object, and task.json is never lost;
// - nothing else is there but the job folder's earlier entries not yet cleared and the
//   writer's own temporaries ("<job file>.tmp.<pid>", and the flag's own while it is being
//   put in place), which never carry a job file's name;
// - when the finish flag analyze_sucess stands, the folder is either exactly as the
//   previous complete run left it (the kill came before the clearing touched it) or
//   exactly as a complete run leaves it: every job file byte for byte the reference run's,
//   no earlier entry and no temporary left. A flag beside a half-cleared folder is a stale
//   flag that outlived the run which cleared it.
//
// Each trial starts from the folder a previous complete run leaves, plus a few hundred
// leftover files with random names, so the clearing takes long enough to be hit and the
// flag's place in the listing order changes from trial to trial. Half the kills fall in
// the early part of a run (start and clearing, measured on an empty scene with the same
// folder), the others anywhere up to a little past the end of a whole run (render nodes,
// the asset step, the job-file writes, the flag).
//
//   job_kill_test --analyser build/bin/katana-analyse [--kills 300] [--seed N]
//                 [--leftovers 300] [--max-seconds 120]
//
// The seed is printed first; the same seed gives the same scene, leftovers and kill
// moments. The process exits 0 when every check held, 1 on the first failed check (the job
// folder is kept and named), 2 on a usage or set-up error.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

constexpr const char* k_flag = "analyze_sucess";
const std::vector<std::string> k_job_files = {"task.json", "tips.json", "upload.json",
                                              "asset.json", "scene.json"};
constexpr const char* k_temp_marker = ".tmp.";
constexpr std::string_view k_leftover_content = "log";

struct Options
{
    std::string analyser;
    int kills = 300;
    std::uint64_t seed = 0;
    bool seed_given = false;
    int leftovers = 300;
    double max_seconds = 120.0;
};

class Failure : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

std::string read_all(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

void write_all(const fs::path& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

// ---------------------------------------------------------------------------------------
// The generated scene: UDIM sets with .tx twins, frame sequences, shared and missing
// references, read through image-reader nodes (the rule file) and through the material
// nodes of a scene graph that two render nodes produce.

struct Scene
{
    fs::path document;
    fs::path empty_document;
};

Scene generate_scene(const fs::path& root, std::mt19937_64& random)
{
    constexpr int k_sets = 120;
    constexpr int k_tiles = 10;
    constexpr int k_sequences = 60;
    constexpr int k_frames = 24;
    constexpr int k_locations = 1500;

    const fs::path tex = root / "tex";
    const fs::path seq = root / "seq";
    fs::create_directories(tex);
    fs::create_directories(seq);
    fs::create_directories(root / "missing");
    for (int s = 0; s < k_sets; ++s) {
        for (int tile = 1001; tile < 1001 + k_tiles; ++tile) {
            const std::string base = "set" + std::to_string(s) + "." + std::to_string(tile);
            write_all(tex / (base + ".exr"), "exr");
            if (s % 2 == 0) {
                write_all(tex / (base + ".tx"), "tx");
            }
        }
    }
    for (int q = 0; q < k_sequences; ++q) {
        for (int f = 1; f <= k_frames; ++f) {
            char frame[8];
            std::snprintf(frame, sizeof frame, "%04d", f);
            write_all(seq / ("shot" + std::to_string(q) + "." + frame + ".exr"), "exr");
        }
    }

    Json nodes = Json::array();
    nodes.push_back({{"name", "rootNode"},
                     {"type", "Group"},
                     {"parameters",
                      {{"inTime", 1.0},
                       {"outTime", 24.0},
                       {"variables",
                        {{"shot",
                          {{"enable", 1.0}, {"value", "sh010"}, {"options", {"sh010", "sh020"}}}}}}}}});
    for (const char* name : {"Render_main", "Render_fx"}) {
        nodes.push_back(
            {{"name", name},
             {"type", "Render"},
             {"parent", "rootNode"},
             {"parameters", {{"farmSettings", {{"TimeRange", "1-24"}}}}},
             {"render_info",
              {{"outputs", Json::array({{{"name", "primary"},
                                         {"outputFile", "/out/" + std::string(name) + ".#.exr"},
                                         {"imageInfo", {{"fileExtension", "exr"}}}}})}}},
             {"producer", "main"}});
    }
    for (int s = 0; s < k_sets; ++s) {
        nodes.push_back({{"name", "Read_set" + std::to_string(s)},
                         {"type", "ImageRead"},
                         {"parent", "rootNode"},
                         {"parameters",
                          {{"file", (tex / ("set" + std::to_string(s) + ".<UDIM>.exr")).string()}}}});
    }
    for (int q = 0; q < k_sequences; ++q) {
        nodes.push_back({{"name", "Read_shot" + std::to_string(q)},
                         {"type", "ImageRead"},
                         {"parent", "rootNode"},
                         {"parameters",
                          {{"file", (seq / ("shot" + std::to_string(q) + ".####.exr")).string()}}}});
    }

    std::uniform_int_distribution<int> pick(0, 99);
    Json locations = Json::array();
    for (int l = 0; l < k_locations; ++l) {
        std::string file;
        const int kind = pick(random);
        if (kind < 40) {
            file = (tex / ("set" + std::to_string(l % k_sets) + "." +
                           std::to_string(1001 + l % k_tiles) + ".exr"))
                       .string();
        } else if (kind < 70) {
            file = (seq / ("shot" + std::to_string(l % k_sequences) + ".%04d.exr")).string();
        } else if (kind < 90) {
            file = (root / "missing" / ("gone" + std::to_string(l) + ".exr")).string();
        } else {
            file = (tex / ("set" + std::to_string(l % k_sets) + ".<UDIM>.exr")).string();
        }
        locations.push_back(
            {{"name", "mesh" + std::to_string(l)},
             {"type", "polymesh"},
             {"attributes",
              {{"material", {{"nodes", {{"tex", {{"parameters", {{"filename", file}}}}}}}}}}}});
    }
    const Json graph = {
        {"name", "root"},
        {"type", "group"},
        {"children",
         Json::array({{{"name", "world"},
                       {"children", Json::array({{{"name", "geo"}, {"children", locations}}})}}})}};

    Json document = {{"header", {{"version", "4.5.1.000008"}, {"release", "4.5v1"}}},
                     {"nodes", nodes},
                     {"scene_graphs", {{"main", graph}}}};
    Scene scene;
    scene.document = root / "scene.json";
    write_all(scene.document, document.dump(1));
    scene.empty_document = root / "empty_scene.json";
    write_all(scene.empty_document,
              Json{{"header", document["header"]}, {"nodes", Json::array()}}.dump());
    return scene;
}

// ---------------------------------------------------------------------------------------
// Running the analyser.

class Run
{
public:
    Run(const Options& options, const fs::path& scene, const fs::path& job, const fs::path& system)
    {
        std::vector<std::string> args = {options.analyser, scene.string(),
                                          (job / "task.json").string(), system.string()};
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);

        // The analyser's own environment, less whatever would change what it does.
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            if (entry.starts_with("KATANA_") || entry.starts_with("katana_ignore_assets=") ||
                entry.starts_with("REDSHIFT_HOME=") || entry.starts_with("PROJECT=")) {
                continue;
            }
            env.push_back(entry);
        }
        std::vector<char*> envp;
        for (std::string& e : env) {
            envp.push_back(e.data());
        }
        envp.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        const int rc = ::posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) {
            throw std::runtime_error("cannot start " + options.analyser + ": " + std::strerror(rc));
        }
        m_started = Clock::now();
    }

    /// Waits for the end; the exit status, or nullopt when a signal ended it.
    std::optional<int> wait()
    {
        int status = 0;
        while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
        }
        m_elapsed = Clock::now() - m_started;
        if (WIFEXITED(status)) {
            return WEXITSTATUS(status);
        }
        return std::nullopt;
    }

    /// Kills the run (if it still runs) and reaps it; the exit status when it had already
    /// ended by itself.
    std::optional<int> kill()
    {
        ::kill(m_pid, SIGKILL);
        return wait();
    }

    const Clock::time_point& started() const { return m_started; }
    double seconds() const { return std::chrono::duration<double>(m_elapsed).count(); }

private:
    pid_t m_pid = -1;
    Clock::time_point m_started;
    Clock::duration m_elapsed{};
};

// ---------------------------------------------------------------------------------------
// Folder states and checks.

using Listing = std::map<std::string, std::string>;  // name -> content

bool is_job_file(const std::string& name)
{
    return std::find(k_job_files.begin(), k_job_files.end(), name) != k_job_files.end();
}

bool is_temporary(const std::string& name)
{
    const std::size_t at = name.find(k_temp_marker);
    if (at == std::string::npos) {
        return false;
    }
    const std::string written = name.substr(0, at);
    if (!is_job_file(written) && written != k_flag) {
        return false;
    }
    const std::string pid = name.substr(at + std::strlen(k_temp_marker));
    return !pid.empty() && std::all_of(pid.begin(), pid.end(), ::isdigit);
}

/// The entries of a folder with the contents of the job files, the flag and temporaries;
/// other entries (the leftovers of the folder before the run) are only named.
Listing list_folder(const fs::path& folder)
{
    Listing listing;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        const bool read = is_job_file(name) || is_temporary(name) || name == k_flag;
        listing[name] = read ? read_all(entry.path()) : std::string(k_leftover_content);
    }
    return listing;
}

/// The checks every folder must pass, whatever the moment of the kill. `before` is the
/// folder as the trial started.
void check_folder(const Listing& now, const Listing& before, const Listing& reference)
{
    if (!now.contains("task.json")) {
        throw Failure("task.json is gone");
    }
    for (const auto& [name, content] : now) {
        if (is_job_file(name)) {
            Json value;
            try {
                value = Json::parse(content);
            } catch (const Json::exception& e) {
                throw Failure(name + " is torn: it does not parse (" + e.what() + "), " +
                              std::to_string(content.size()) + " bytes");
            }
            if (!value.is_object()) {
                throw Failure(name + " does not hold a JSON object");
            }
        } else if (name != k_flag && !is_temporary(name) && !before.contains(name)) {
            throw Failure("unexpected entry " + name);
        }
    }
    if (!now.contains(k_flag)) {
        return;
    }

    if (now == before) {
        return;  // killed before the clearing touched anything
    }
    for (const auto& [name, content] : now) {
        if (is_temporary(name)) {
            throw Failure("the finish flag stands beside the temporary " + name);
        }
        if (!reference.contains(name)) {
            throw Failure("the finish flag stands beside " + name +
                          ", an entry of the folder before the run that the run had not yet "
                          "removed: a stale flag outlived a run that cleared the folder");
        }
    }
    for (const auto& [name, content] : reference) {
        const auto found = now.find(name);
        if (found == now.end()) {
            throw Failure("the finish flag stands but " + name + " is missing");
        }
        if (found->second != content) {
            throw Failure("the finish flag stands but " + name + " differs from a complete run's");
        }
    }
}

void reset_folder(const fs::path& job)
{
    for (const fs::directory_entry& entry : fs::directory_iterator(job)) {
        fs::remove_all(entry.path());
    }
}

/// The folder as a previous complete run leaves it, with `leftovers` more files of random
/// names (earlier tries' logs, say) that a run must clear.
Listing prepare_folder(const fs::path& job, const Listing& reference, int leftovers,
                       std::mt19937_64& random)
{
    reset_folder(job);
    Listing state = reference;
    std::uniform_int_distribution<std::uint64_t> name_of;
    for (int i = 0; i < leftovers; ++i) {
        char name[40];
        std::snprintf(name, sizeof name, "try_%016llx.log",
                      static_cast<unsigned long long>(name_of(random)));
        state[name] = std::string(k_leftover_content);
    }
    for (const auto& [name, content] : state) {
        write_all(job / name, content);
    }
    return state;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

Options parse_options(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                throw std::runtime_error(arg + " needs a value");
            }
            return argv[++i];
        };
        if (arg == "--analyser") {
            options.analyser = value();
        } else if (arg == "--kills") {
            options.kills = std::stoi(value());
        } else if (arg == "--seed") {
            options.seed = std::stoull(value());
            options.seed_given = true;
        } else if (arg == "--leftovers") {
            options.leftovers = std::stoi(value());
        } else if (arg == "--max-seconds") {
            options.max_seconds = std::stod(value());
        } else {
            throw std::runtime_error("unknown argument " + arg);
        }
    }
    if (options.analyser.empty()) {
        throw std::runtime_error("--analyser PATH is required");
    }
    options.analyser = fs::absolute(options.analyser).string();
    if (!options.seed_given) {
        options.seed = static_cast<std::uint64_t>(
            std::chrono::system_clock::now().time_since_epoch().count());
    }
    return options;
}

int run(const Options& options)
{
    std::cout << "kill test seed: " << options.seed << " (replay with --seed " << options.seed
              << ")" << std::endl;
    std::mt19937_64 random(options.seed);

    // A memory-backed folder where there is one: the test kills processes, it does not cut
    // the power, and thousands of files are created and removed per minute.
    std::error_code ec;
    const fs::path base =
        fs::is_directory("/dev/shm", ec) ? fs::path("/dev/shm") : fs::temp_directory_path();
    std::string pattern = (base / "job-kill-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot create a temporary folder");
    }
    const fs::path work = pattern;
    const fs::path job = work / "job";
    const fs::path system = work / "system.json";
    fs::create_directories(job);
    write_all(system, "{}");
    const Scene scene = generate_scene(work / "show", random);
    const std::string task_template =
        R"({"software_config": {"cg_name": "Katana", "cg_version": "4.5", "plugins": {}}})";

    // Reference: a run from a fresh folder, then runs from the folder it leaves, which
    // must agree byte for byte (the trials start from that folder).
    write_all(job / "task.json", task_template);
    std::vector<double> full_times;
    Listing reference;
    for (int i = 0; i < 4; ++i) {
        Run whole(options, scene.document, job, system);
        const std::optional<int> status = whole.wait();
        if (status != 0) {
            throw std::runtime_error("a whole run ended with status " +
                                     (status ? std::to_string(*status) : "by a signal"));
        }
        Listing now = list_folder(job);
        if (!now.contains(k_flag)) {
            throw std::runtime_error("a whole run left no finish flag");
        }
        if (i > 0) {
            full_times.push_back(whole.seconds());
        }
        if (i == 1) {
            reference = std::move(now);
        } else if (i > 1 && now != reference) {
            throw std::runtime_error("two whole runs left different job folders");
        }
    }
    for (const std::string& name : k_job_files) {
        if (!reference.contains(name)) {
            throw std::runtime_error("a whole run left no " + name);
        }
    }

    // The early part of a run: start and clearing, timed on an empty scene.
    std::vector<double> early_times;
    for (int i = 0; i < 3; ++i) {
        prepare_folder(job, reference, options.leftovers, random);
        Run early(options, scene.empty_document, job, system);
        early.wait();
        early_times.push_back(early.seconds());
    }
    const double full = median(full_times);
    const double early = median(early_times);
    std::cout << "whole run " << static_cast<int>(full * 1000) << " ms, start and clearing "
              << static_cast<int>(early * 1000) << " ms with " << options.leftovers
              << " leftover files" << std::endl;

    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const Clock::time_point began = Clock::now();
    int done = 0;
    int finished = 0;
    int flags_kept = 0;
    for (; done < options.kills; ++done) {
        if (std::chrono::duration<double>(Clock::now() - began).count() > options.max_seconds) {
            break;
        }
        const double delay = done % 2 == 0 ? unit(random) * early * 1.2 : unit(random) * full * 1.1;
        const Listing before = prepare_folder(job, reference, options.leftovers, random);
        Run trial(options, scene.document, job, system);
        std::this_thread::sleep_until(trial.started() +
                                      std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(delay)));
        const std::optional<int> status = trial.kill();
        const Listing now = list_folder(job);
        try {
            if (status) {
                ++finished;
                if (*status != 0) {
                    throw Failure("a run that was not killed ended with status " +
                                  std::to_string(*status));
                }
                if (!now.contains(k_flag)) {
                    throw Failure("a run that was not killed left no finish flag");
                }
            }
            check_folder(now, before, reference);
        } catch (const Failure& failure) {
            std::cout << "FAILED at kill " << done + 1 << " (" << static_cast<int>(delay * 1000)
                      << " ms into the run, seed " << options.seed << "): " << failure.what()
                      << "\njob folder kept: " << job.string() << std::endl;
            return 1;
        }
        if (now.contains(k_flag) && now == before) {
            ++flags_kept;
        }
    }
    std::cout << done << " kills checked (" << finished << " runs ended before their kill, "
              << flags_kept << " kills came before the clearing): every job file whole, no "
              << "stale finish flag" << std::endl;
    fs::remove_all(work);
    if (done < std::min(options.kills, 50)) {
        std::cout << "FAILED: only " << done << " kills within " << options.max_seconds << " s"
                  << std::endl;
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        return run(parse_options(argc, argv));
    } catch (const std::exception& e) {
        std::cerr << "kill test: " << e.what() << std::endl;
        return 2;
    }
}
