#include "assets/path_facts.h"

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/json_doc.h"
#include "common/platform.h"
#include "common/pypath.h"
#include "common/pyutil.h"

namespace script::assets {
namespace {

// The facts as each question answers them alone, the slow way.
PathFacts expected_facts(std::string_view path)
{
    const bool excluded = path.find(',') != std::string_view::npos || path.find(';') != std::string_view::npos ||
                          path.find("Program Files") != std::string_view::npos ||
                          path.find("\xc2\xb8\xc2\xb1\xc2\xb1\xc2\xbe") != std::string_view::npos ||
                          path.find("xgen_procedural.dll") != std::string_view::npos;
    const bool own = pypath::abspath_keeps(path) && path.find('\\') == std::string_view::npos;
    return PathFacts{excluded, own, plain_repr_ascii(path), json_string_is_plain(path)};
}

void expect_facts(std::string_view path)
{
    const PathFacts facts = path_facts(path);
    const PathFacts expected = expected_facts(path);
    EXPECT_EQ(facts.report_excluded, expected.report_excluded) << path;
    EXPECT_EQ(facts.own_upload_form, expected.own_upload_form) << path;
    EXPECT_EQ(facts.plain_repr, expected.plain_repr) << path;
    EXPECT_EQ(facts.plain_json, expected.plain_json) << path;
}

// Every byte that can change a fact, at the start, the middle and the end of paths short
// and long, and paths made of random runs of those bytes: the one pass over the bytes gives
// what each question gives alone.
TEST(PathFacts, OnePassAgreesWithEachQuestionAlone)
{
    const std::vector<std::string> pieces = {
        "/",  "//",  "/.",  "/..", "/./", "/../", ".",  "..", ",",      ";",   "'",     "\"",  "\\", "P", "Pr",
        "Program Files", "x", "xg", "xgen_procedural.dll", "\xc2\xb8\xc2\xb1\xc2\xb1\xc2\xbe", "\xc2", "\x7f",
        "\t", "\n", "\x01", "\xe5\x89\xaf", "tex", "d0001", "wall.1001.exr", ".tx", "C:", " "};
    const std::string base = "/shots/seq010/tex/d0001/wall_0001.1001.exr";
    for (std::size_t length : {std::size_t{1}, std::size_t{8}, std::size_t{16}, std::size_t{17}, std::size_t{18},
                               std::size_t{33}, base.size()}) {
        const std::string plain = base.substr(0, std::min(length, base.size()));
        expect_facts(plain);
        for (const std::string& piece : pieces) {
            expect_facts(piece + plain);
            expect_facts(plain + piece);
            for (std::size_t at = 1; at < plain.size(); at += 7)
                expect_facts(plain.substr(0, at) + piece + plain.substr(at));
        }
    }
    std::mt19937 random(20261210);
    for (int i = 0; i < 20000; ++i) {
        std::string path = random() % 4 ? "/" : "";
        const int parts = 1 + static_cast<int>(random() % 12);
        for (int p = 0; p < parts; ++p)
            path += random() % 3 ? "seq_0" + std::to_string(random() % 100) + "/"
                                 : pieces[random() % pieces.size()];
        expect_facts(path);
    }
    platform::set_current_os("windows");
    expect_facts(base);
    expect_facts("C:/shots/seq010/tex/d0001/wall_0001.1001.exr");
    platform::set_current_os("linux");
}

TEST(PathFacts, TableHoldsEachPathsFacts)
{
    PathTable table;
    const std::vector<std::string> paths = {"/shots/seq010/tex/d0001/wall_0001.1001.exr",
                                            "/opt/Program Files/tex/a.exr", "tex/relative_path_here.exr",
                                            "/shots/seq010/tex/it's here.exr", "/shots/seq010/../tex/a.exr"};
    for (const std::string& path : paths)
        table.intern(path);
    const PathFactTable facts(table);
    for (std::size_t id = 0; id < paths.size(); ++id) {
        const PathFacts expected = expected_facts(paths[id]);
        const auto number = static_cast<PathId>(id);
        EXPECT_EQ(facts.report_excluded(number), expected.report_excluded) << paths[id];
        EXPECT_EQ(facts.own_upload_form(number), expected.own_upload_form) << paths[id];
        EXPECT_EQ(facts.plain_repr(number), expected.plain_repr) << paths[id];
        EXPECT_EQ(facts.plain_json(number), expected.plain_json) << paths[id];
    }
}

// Threads share the work of a table of many runs of paths, and each returns only once
// every path's facts are there.
TEST(PathFacts, TableSharedByThreadsHoldsEachPathsFacts)
{
    PathTable table;
    const std::vector<std::string> kinds = {"/shots/tex/d%/wall.1001.exr",
                                            "/opt/Program Files/%.exr", "tex/%.exr",
                                            "/shots/it's %.exr", "C:\\tex\\%.exr"};
    std::vector<std::string> paths;
    for (int i = 0; i < 30000; ++i) {
        std::string path = kinds[static_cast<std::size_t>(i) % kinds.size()];
        path.replace(path.find('%'), 1, std::to_string(i));
        table.intern(path);
        paths.push_back(std::move(path));
    }
    PathFactTable facts(table, PathFactTable::Shared{});
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&] {
            const PathFactTable& done = facts.complete();
            for (std::size_t id = 0; id < paths.size(); ++id) {
                const PathFacts expected = expected_facts(paths[id]);
                const auto number = static_cast<PathId>(id);
                if (done.report_excluded(number) != expected.report_excluded ||
                    done.own_upload_form(number) != expected.own_upload_form ||
                    done.plain_repr(number) != expected.plain_repr ||
                    done.plain_json(number) != expected.plain_json)
                    ++wrong;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(&facts.complete(), &facts);
}

}  // namespace
}  // namespace script::assets
