// The scene-description reader on a production-sized file: a generated scene description of
// about 500 MB, nearly all encoded geometry with a few thousand image and procedural nodes,
// and its gzip twin. Each is read by the reader and by a floor in the same run: reading the
// file's bytes once (plain) and inflating it once (gzip). The peak resident memory of the
// reader is measured in a fresh child process, above that process's own baseline.
//
//   ass-bench [--size-mb=500] [--runs=3] [--dir=FOLDER]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include "bench/peak_memory.h"
#include "bench/tree_files.h"
#include "common/console.h"
#include "common/platform.h"
#include "readers/arnold_ass.h"
#include "readers/arnold_scene.h"

extern char** environ;

namespace script::bench {

namespace {

constexpr const char* k_peak_child = "--ass-peak-child";
constexpr std::size_t k_read_chunk = 1u << 20; // the reader's own buffer size
constexpr double k_max_plain_ratio = 2.0;
constexpr double k_max_gzip_ratio = 1.3;
constexpr double k_max_peak_mib = 64.0;

// Nodes besides the geometry, spread evenly through the file.
constexpr int k_image_nodes = 3000;
constexpr int k_procedural_nodes = 1000;

// ---------------------------------------------------------------------------------------
// Generation

// Encoded-array text: the alphabet of base-85 array data, pseudo-random so that gzip finds
// as little to gain as on real geometry.
std::string encoded_pool(std::size_t size)
{
    std::string pool(size, '\0');
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    for (char& c : pool) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        const unsigned pick = static_cast<unsigned>(state % 86);
        c = pick == 0 ? '!' : static_cast<char>('$' + pick - 1);
    }
    return pool;
}

class Writer
{
public:
    explicit Writer(const std::string& path) : m_out(path, std::ios::binary) {}
    void put(std::string_view text)
    {
        m_out.write(text.data(), static_cast<std::streamsize>(text.size()));
        m_size += text.size();
    }
    std::size_t size() const { return m_size; }
    bool ok() const { return static_cast<bool>(m_out); }

private:
    std::ofstream m_out;
    std::size_t m_size = 0;
};

// One geometry block of about a megabyte: encoded arrays on long lines, a short plain
// array over many lines, a matrix on four lines.
void write_polymesh(Writer& out, int index, const std::string& pool, std::uint64_t& offset)
{
    const auto encoded = [&](std::size_t size) {
        offset = (offset * 6364136223846793005ull + 1442695040888963407ull);
        const std::size_t at = static_cast<std::size_t>(offset % (pool.size() - size));
        out.put(std::string_view(pool).substr(at, size));
        out.put("\n");
    };
    out.put("polymesh\n{\n name /set/geo_" + std::to_string(index) + "\n visibility 255\n");
    out.put(" nsides 20000 1 b85BYTE\n");
    encoded(25000);
    out.put(" vidxs 80000 1 b85UINT\n");
    encoded(400000);
    out.put(" vlist 40000 1 b85VECTOR\n");
    encoded(600000);
    out.put(" uvidxs 2000 1 UINT\n");
    for (int row = 0; row < 200; ++row) {
        out.put("0 1 2 3 4 5 6 7 8 9\n");
    }
    out.put(" matrix\n 1 0 0 0\n 0 1 0 0\n 0 0 1 0\n 0 0 0 1\n");
    out.put(" shader \"mat_" + std::to_string(index % 50) +
            "\"\n declare dcc_name constant STRING\n"
            " dcc_name \"geo_" +
            std::to_string(index) + "\"\n}\n\n");
}

void write_node(Writer& out, int index)
{
    if (index % 4 == 3) {
        out.put("procedural\n{\n name /set/standin_" + std::to_string(index) +
                "\n filename \"sets/part_" + std::to_string(index) +
                ".ass.gz\"\n matrix 1 1 MATRIX 1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1\n}\n\n");
    } else {
        out.put("image\n{\n name tex_" + std::to_string(index) + "\n filename \"textures/tex_" +
                std::to_string(index) + ".<udim>.tx\"\n color_space \"sRGB\"\n}\n\n");
    }
}

std::size_t generate_plain(const std::string& path, std::size_t target)
{
    Writer out(path);
    out.put("### exported: generated for the reader benchmark\noptions\n{\n AA_samples 3\n"
            " texture_searchpath \"[SHOW_TEX];textures\"\n}\n\n");
    const std::string pool = encoded_pool(8u << 20);
    std::uint64_t offset = 1;
    const int nodes = k_image_nodes + k_procedural_nodes;
    const std::size_t blocks = std::max<std::size_t>(1, target / 1'030'000);
    int written_nodes = 0;
    for (std::size_t block = 0; block < blocks; ++block) {
        write_polymesh(out, static_cast<int>(block), pool, offset);
        const int due = static_cast<int>((block + 1) * nodes / blocks);
        for (; written_nodes < due; ++written_nodes) {
            write_node(out, written_nodes);
        }
    }
    return out.ok() ? out.size() : 0;
}

// The gzip twin, compressed at zlib's fastest level to keep generation short (inflating
// costs about the same at any level).
std::size_t generate_gzip(const std::string& plain, const std::string& path)
{
    std::ifstream in(plain, std::ios::binary);
    gzFile out = gzopen(path.c_str(), "wb1");
    if (!out) {
        return 0;
    }
    std::vector<char> buffer(k_read_chunk);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        if (in.gcount() > 0) {
            gzwrite(out, buffer.data(), static_cast<unsigned>(in.gcount()));
        }
    }
    gzclose(out);
    return std::filesystem::file_size(path);
}

// ---------------------------------------------------------------------------------------
// Floors and the reader

std::size_t inflate_floor(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<unsigned char> chunk(256 * 1024);
    std::vector<unsigned char> out(k_read_chunk);
    z_stream z{};
    inflateInit2(&z, 15 + 32);
    std::size_t total = 0;
    int status = Z_OK;
    while (status != Z_STREAM_END) {
        if (z.avail_in == 0) {
            in.read(reinterpret_cast<char*>(chunk.data()),
                    static_cast<std::streamsize>(chunk.size()));
            z.next_in = chunk.data();
            z.avail_in = static_cast<uInt>(in.gcount());
            if (z.avail_in == 0) {
                break;
            }
        }
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        status = inflate(&z, Z_NO_FLUSH);
        total += out.size() - z.avail_out;
        if (status != Z_OK && status != Z_STREAM_END) {
            break;
        }
    }
    inflateEnd(&z);
    return total;
}

std::size_t read_with_reader(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    const readers::AssContents contents =
        readers::read_ass(in, path, readers::arnold_kept_parameters());
    std::size_t values = 0;
    for (const readers::AssNode& node : contents.nodes) {
        values += node.values.size();
    }
    return contents.problems == 0 ? values : 0;
}

struct Timing
{
    double best = 0;
    double median = 0;
    double worst = 0;
};

Timing time_runs(int runs, const std::function<std::size_t()>& run, std::size_t& result)
{
    std::vector<double> seconds;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        result = run();
        seconds.push_back(seconds_since(start));
    }
    std::sort(seconds.begin(), seconds.end());
    return {seconds.front(), seconds[seconds.size() / 2], seconds.back()};
}

// ---------------------------------------------------------------------------------------
// Peak memory, in a child process of its own

int peak_child(const std::string& plain, const std::string& gz)
{
    const std::size_t baseline = peak_rss_kib();
    const std::size_t plain_values = read_with_reader(plain);
    const std::size_t after_plain = peak_rss_kib();
    const std::size_t gz_values = read_with_reader(gz);
    const std::size_t after_gz = peak_rss_kib();
    std::printf("%zu %zu %zu %zu %zu\n", baseline, after_plain, after_gz, plain_values, gz_values);
    return 0;
}

bool measure_peak(const std::string& program, const std::string& plain, const std::string& gz,
                  std::size_t (&kib)[3])
{
    const std::string report = plain + ".peak";
    std::vector<std::string> args = {program, k_peak_child, plain, gz};
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, report.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    pid_t pid = 0;
    const int spawned =
        ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    if (spawned != 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        return false;
    }
    std::ifstream in(report);
    std::size_t values[2] = {};
    const bool ok = static_cast<bool>(in >> kib[0] >> kib[1] >> kib[2] >> values[0] >> values[1]);
    std::remove(report.c_str());
    return ok && values[0] > 0 && values[0] == values[1];
}

std::string option(int argc, char** argv, std::string_view name, std::string fallback)
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg.starts_with(name) && arg.size() > name.size() && arg[name.size()] == '=') {
            return std::string(arg.substr(name.size() + 1));
        }
    }
    return fallback;
}

int run(int argc, char** argv)
{
    const std::size_t size_mb = std::stoul(option(argc, argv, "--size-mb", "500"));
    const int runs = std::max(1, std::stoi(option(argc, argv, "--runs", "3")));
    const std::string given_dir = option(argc, argv, "--dir", "");
    const std::string dir =
        given_dir.empty()
            ? (std::filesystem::temp_directory_path() / ("ass-bench-" + std::to_string(::getpid())))
                  .string()
            : given_dir;
    std::filesystem::create_directories(dir);
    const std::string plain = dir + "/scene.ass";
    const std::string gz = dir + "/scene.ass.gz";

    std::printf("generating a %zu MB scene description and its gzip twin in %s ...\n", size_mb,
                dir.c_str());
    std::fflush(stdout);
    auto start = std::chrono::steady_clock::now();
    const std::size_t plain_size = generate_plain(plain, size_mb << 20);
    const std::size_t gz_size = plain_size ? generate_gzip(plain, gz) : 0;
    ::sync();
    std::printf("  %.1f MB plain, %.1f MB compressed, %.1f s\n", plain_size / 1048576.0,
                gz_size / 1048576.0, seconds_since(start));
    if (plain_size == 0 || gz_size == 0) {
        std::fprintf(stderr, "cannot write the generated files in %s\n", dir.c_str());
        return 1;
    }

    // Warm the page cache so that both the floor and the reader read from memory.
    read_bytes_once(plain);
    read_bytes_once(gz);

    std::size_t floor_bytes = 0;
    std::size_t reader_values = 0;
    std::size_t inflated = 0;
    std::size_t reader_gz_values = 0;
    // Each floor is timed right before its reader, in alternation, so both see the same
    // state of the machine.
    std::vector<double> plain_floor, plain_reader, gz_floor, gz_reader;
    for (int i = 0; i < runs; ++i) {
        plain_floor.push_back(time_runs(
                                  1, [&] { return read_bytes_once(plain); }, floor_bytes)
                                  .best);
        plain_reader.push_back(time_runs(
                                   1, [&] { return read_with_reader(plain); }, reader_values)
                                   .best);
        gz_floor.push_back(time_runs(
                               1, [&] { return inflate_floor(gz); }, inflated)
                               .best);
        gz_reader.push_back(time_runs(
                                1, [&] { return read_with_reader(gz); }, reader_gz_values)
                                .best);
    }
    const auto best = [](std::vector<double> v) { return *std::min_element(v.begin(), v.end()); };
    const auto worst = [](std::vector<double> v) { return *std::max_element(v.begin(), v.end()); };

    std::size_t kib[3] = {};
    const bool peak_ok = measure_peak(argv[0], plain, gz, kib);
    if (given_dir.empty()) {
        std::filesystem::remove_all(dir);
    }
    if (floor_bytes != plain_size || inflated != plain_size || reader_values == 0 ||
        reader_values != reader_gz_values) {
        std::fprintf(stderr, "the runs disagree: %zu/%zu bytes, %zu/%zu values\n", floor_bytes,
                     inflated, reader_values, reader_gz_values);
        return 1;
    }

    const double plain_ratio = best(plain_reader) / best(plain_floor);
    const double gz_ratio = best(gz_reader) / best(gz_floor);
    std::printf("\n%d runs each (best .. worst); %zu file names kept per read\n", runs,
                reader_values);
    std::printf("  plain  floor (read once)    %7.3f .. %7.3f s  %6.0f MB/s\n", best(plain_floor),
                worst(plain_floor), plain_size / 1048576.0 / best(plain_floor));
    std::printf("  plain  reader               %7.3f .. %7.3f s  %6.0f MB/s\n", best(plain_reader),
                worst(plain_reader), plain_size / 1048576.0 / best(plain_reader));
    std::printf("  gzip   floor (inflate once) %7.3f .. %7.3f s  %6.0f MB/s\n", best(gz_floor),
                worst(gz_floor), plain_size / 1048576.0 / best(gz_floor));
    std::printf("  gzip   reader               %7.3f .. %7.3f s  %6.0f MB/s\n", best(gz_reader),
                worst(gz_reader), plain_size / 1048576.0 / best(gz_reader));
    std::printf("\ntargets\n");
    std::printf("  plain reader / floor    %5.2f  (at most %.1f)  %s\n", plain_ratio,
                k_max_plain_ratio, verdict(plain_ratio <= k_max_plain_ratio));
    std::printf("  gzip reader / inflate   %5.2f  (at most %.1f)  %s\n", gz_ratio, k_max_gzip_ratio,
                verdict(gz_ratio <= k_max_gzip_ratio));
    if (peak_ok) {
        const double grown = (std::max(kib[1], kib[2]) - kib[0]) / 1024.0;
        std::printf(
            "  peak memory above baseline %5.1f MB (baseline %.1f MB; at most %.0f MB)  %s\n",
            grown, kib[0] / 1024.0, k_max_peak_mib, verdict(grown <= k_max_peak_mib));
    } else {
        std::printf("  peak memory: the measuring child failed\n");
        return 1;
    }
    return 0;
}

} // namespace

} // namespace script::bench

int main(int argc, char** argv)
{
    // The executable's own heap set-up, so the figures are those of a run.
    script::platform::tune_heap_for_run();
    if (argc == 4 && std::string_view(argv[1]) == script::bench::k_peak_child) {
        script::console().begin_capture();
        return script::bench::peak_child(argv[2], argv[3]);
    }
    return script::bench::run(argc, argv);
}
