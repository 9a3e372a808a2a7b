#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/errors.h"
#include "tests/assets/collector_fixture.h"

namespace script::testing {
namespace {

using Paths = std::vector<std::string>;

Paths sorted(Paths p)
{
    std::sort(p.begin(), p.end());
    return p;
}

class PathHelpersTest : public CollectorTest
{
};

TEST_F(PathHelpersTest, CanonicalPathsAndNodePaths)
{
    load(SceneBuilder().node("rootNode", "Group").node("Group1", "Group").parent("rootNode")
             .node("Read", "ImageRead").parent("Group1").node("Top", "ImageRead"));
    auto c = idle();
    EXPECT_EQ(c.upper_one("d:\\a\\b.tx"), "D:/a/b.tx");
    EXPECT_EQ(c.upper_one("/mnt/a.tx"), "/mnt/a.tx");
    EXPECT_EQ(c.upper_one("a"), "a");  // too short for a drive: unchanged
    EXPECT_EQ(c.upper_one(""), "");
    EXPECT_EQ(c.getFullPath(*host.node_by_name("Read")), "/rootNode/Group1/Read");
    EXPECT_EQ(c.getFullPath(*host.node_by_name("Top")), "/Top");
}

TEST_F(PathHelpersTest, FolderWalksListFilesAndStopAtLinkCycles)
{
    files.write("luts/a.cube");
    files.write("luts/sub/b.cube");
    files.write("luts/sub/c.xgen");
    std::filesystem::create_directory_symlink(files.file("luts"), files.file("luts/sub/loop"));
    auto c = idle();

    EXPECT_EQ(sorted(c.getDirFiles(files.file("luts"))),
              (Paths{files.file("luts/a.cube"), files.file("luts/sub/b.cube"), files.file("luts/sub/c.xgen")}));
    EXPECT_EQ(c.getDirFiles(files.file("luts/a.cube")), (Paths{files.file("luts/a.cube")}));
    EXPECT_EQ(c.getDirFiles(files.file("nothing")), Paths{});
    // Entered from below, the link leads to a folder not yet seen: it is listed once.
    EXPECT_EQ(sorted(c.getDirFiles(files.file("luts/sub") + "/")),
              (Paths{files.file("luts/sub/b.cube"), files.file("luts/sub/c.xgen"),
                     files.file("luts/sub/loop/a.cube")}));

    c.get_file_from_dir(files.file("luts"), {".xgen"});
    EXPECT_EQ(c.xgenfiles, (Paths{files.file("luts/sub/c.xgen")}));
    c.xgenfiles.clear();
    c.get_file_from_dir(files.file("luts"));
    EXPECT_EQ(c.xgenfiles.size(), 3u);
    EXPECT_THROW(c.get_file_from_dir(files.file("nothing")), Error);
}

TEST_F(PathHelpersTest, FolderPatternsAndTheProjectFolder)
{
    files.write("seq/shot_1.exr");
    files.write("seq/shot_2.exr");
    files.write("seq/shot_2.tif");
    files.write("shots/rel/a1.abc");
    files.write("proj/rel/a2.abc");
    auto c = idle();

    EXPECT_EQ(sorted(c.get_files_from_folder(files.file("seq"), "shot_$F4$T1", "exr")),
              (Paths{files.file("seq/shot_1.exr"), files.file("seq/shot_2.exr")}));
    EXPECT_EQ(c.get_files_from_folder(files.file("seq"), "shot_2").size(), 2u);
    // A file named as the folder comes after the matches.
    EXPECT_EQ(c.get_files_from_folder(files.file("seq/shot_1.exr"), "x"), (Paths{files.file("seq/shot_1.exr")}));

    // Relative folders lie below the scene file's folder, or below PROJECT when set.
    EXPECT_EQ(c.get_files_from_folder("rel", "a"), (Paths{files.file("shots/rel/a1.abc")}));
    {
        ScopedEnv project("PROJECT", files.file("proj").c_str());
        EXPECT_EQ(c.get_files_from_folder("rel", "a"), (Paths{files.file("proj/rel/a2.abc")}));
    }
    {
        ScopedEnv empty("PROJECT", "");
        EXPECT_EQ(c.project_dir(), files.file("shots"));
    }
}

TEST_F(PathHelpersTest, DriveFoldersAreUsedAsTheyAre)
{
    // On POSIX "C:/seq" is a relative name; it must not be joined under the project.
    files.write("C:/seq/shot_7.exr");
    const std::string cwd = platform::current_dir();
    ASSERT_TRUE(platform::change_dir(files.path()));
    auto c = idle();
    const Paths found = c.get_files_from_folder("C:/seq", "shot_$F4$T1", "exr");
    platform::change_dir(cwd);
    EXPECT_EQ(found, (Paths{"C:/seq/shot_7.exr"}));
}

}  // namespace
}  // namespace script::testing
