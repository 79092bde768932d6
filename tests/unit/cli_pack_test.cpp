// What `kelvo a` gathers from disk: names inside the archive, their order,
// folder entries, and what it leaves out.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "support/test_host.h"
#include "tools/pack_command.h"

namespace fs = std::filesystem;

namespace {

void touch(const fs::path& p, const std::string& contents = "x")
{
    if (p.has_parent_path())
        fs::create_directories(p.parent_path());
    std::FILE* f = std::fopen(p.string().c_str(), "wb");
    ASSERT_NE(f, nullptr) << p;
    std::fwrite(contents.data(), 1, contents.size(), f);
    std::fclose(f);
}

class CliPackInputs : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved_ = fs::current_path();
        fs::current_path(dir_.path());
        touch("tree/b.txt", "bee");
        touch("tree/a.txt");
        touch("tree/sub/deep/z.bin", std::string(300, 'z'));
        fs::create_directories("tree/empty");
        touch("single.txt", "one");
    }
    void TearDown() override { fs::current_path(saved_); }

    std::vector<std::string> names(PackCommandOptions o, std::string* error_out = nullptr)
    {
        std::vector<PackInput> inputs;
        std::string error;
        std::vector<std::string> warnings;
        bool ok = collect_inputs(o, &inputs, &error, &warnings);
        if (error_out)
            *error_out = ok ? "" : error;
        std::vector<std::string> n;
        for (const PackInput& in : inputs)
            n.push_back(in.archive_name + (in.directory ? "/" : ""));
        warnings_ = warnings;
        return n;
    }

    PackCommandOptions options(std::vector<std::string> inputs, std::string archive = "out.ace")
    {
        PackCommandOptions o;
        o.archive = archive;
        o.inputs = inputs;
        return o;
    }

    TempDir dir_;
    fs::path saved_;
    std::vector<std::string> warnings_;
};

}  // namespace

TEST_F(CliPackInputs, FolderUnderItsOwnNameSortedFoldersFirst)
{
    EXPECT_EQ(names(options({"tree"})),
              (std::vector<std::string>{"tree/", "tree\\a.txt", "tree\\b.txt", "tree\\empty/", "tree\\sub/",
                                        "tree\\sub\\deep/", "tree\\sub\\deep\\z.bin"}));
    // A trailing separator or a longer path names the same folder.
    EXPECT_EQ(names(options({"tree/"})).front(), "tree/");
    EXPECT_EQ(names(options({(fs::current_path() / "tree").string()})).front(), "tree/");
    EXPECT_EQ(names(options({"tree/sub"})),
              (std::vector<std::string>{"sub/", "sub\\deep/", "sub\\deep\\z.bin"}));
}

TEST_F(CliPackInputs, DotPacksWhatTheFolderHolds)
{
    const std::vector<std::string> contents = {"a.txt", "b.txt", "empty/", "sub/", "sub\\deep/", "sub\\deep\\z.bin"};
    EXPECT_EQ(names(options({"tree/."}, "out.ace")), contents);
    fs::current_path("tree");
    EXPECT_EQ(names(options({"."}, "../out.ace")), contents);
}

TEST_F(CliPackInputs, FilesAndNoFolderEntries)
{
    PackCommandOptions o = options({"single.txt", "tree"});
    o.directory_entries = false;
    EXPECT_EQ(names(o), (std::vector<std::string>{"single.txt", "tree\\a.txt", "tree\\b.txt",
                                                  "tree\\sub\\deep\\z.bin"}));
    std::vector<PackInput> inputs;
    std::string error;
    std::vector<std::string> warnings;
    ASSERT_TRUE(collect_inputs(options({"single.txt"}), &inputs, &error, &warnings));
    ASSERT_EQ(inputs.size(), 1u);
    EXPECT_EQ(inputs[0].size, 3u);
    EXPECT_EQ(inputs[0].attributes & 0x10, 0u);
    EXPECT_NE(inputs[0].file_time, 0u);
}

TEST_F(CliPackInputs, TheArchiveAndItsVolumesAreLeftOut)
{
    touch("tree/out.ace");
    touch("tree/out.C00");
    touch("tree/out.C01");
    touch("tree/out.txt");
    fs::current_path("tree");
    PackCommandOptions o = options({"."}, "out.ace");
    std::vector<std::string> n = names(o);
    EXPECT_EQ(std::count(n.begin(), n.end(), "out.ace"), 0);
    // Without volumes, a file that only looks like one is packed.
    EXPECT_EQ(std::count(n.begin(), n.end(), "out.C00"), 1);
    EXPECT_EQ(std::count(n.begin(), n.end(), "out.txt"), 1);
    o.volume_size = 1000;
    n = names(o);
    EXPECT_EQ(std::count(n.begin(), n.end(), "out.C00"), 0);
    EXPECT_EQ(std::count(n.begin(), n.end(), "out.C01"), 0);
    EXPECT_EQ(std::count(n.begin(), n.end(), "out.txt"), 1);
    // A name without an extension is the .ACE archive the packer writes.
    touch("arc.ACE");
    n = names(options({"."}, "arc"));
    EXPECT_EQ(std::count(n.begin(), n.end(), "arc.ACE"), 0);
}

TEST_F(CliPackInputs, Refusals)
{
    std::string error;
    EXPECT_TRUE(names(options({"missing"}), &error).empty());
    EXPECT_NE(error.find("no such file or folder: missing"), std::string::npos) << error;
    fs::create_directories("nothing");
    EXPECT_TRUE(names(options({"nothing/"}), &error).size() == 1u);  // its own folder entry
    PackCommandOptions bare = options({"nothing"});
    bare.directory_entries = false;
    names(bare, &error);
    EXPECT_EQ(error, "nothing to pack");
}

#ifndef _WIN32
TEST_F(CliPackInputs, PosixNamesThatCannotComeBackAreSkipped)
{
    touch("odd/back\\slash.txt");
    touch("odd/fine.txt");
    fs::create_directory_symlink(fs::absolute("tree"), "odd/loop");
    fs::create_symlink(fs::absolute("single.txt"), "odd/link.txt");
    std::vector<std::string> n = names(options({"odd"}));
    // A '\' would become a folder on the way out; a link to a folder may
    // loop; a link to a file is packed as that file.
    EXPECT_EQ(n, (std::vector<std::string>{"odd/", "odd\\fine.txt", "odd\\link.txt"}));
    ASSERT_EQ(warnings_.size(), 2u);
}
#endif
