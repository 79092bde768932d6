// What `kelvo a` gathers from disk: names inside the archive, their order,
// folder entries, and what it leaves out.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
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
    // A trailing separator names the same folder.
    EXPECT_EQ(names(options({"tree/"})).front(), "tree/");
}

TEST_F(CliPackInputs, PathsAreStoredAsGiven)
{
    const std::string absolute = (fs::current_path() / "tree" / "a.txt").string();
    std::string stripped = absolute.substr(absolute.find_first_of("/\\") + 1);
    std::replace(stripped.begin(), stripped.end(), '/', '\\');
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> stored;
    };
    const Case cases[] = {
        {{"tree/a.txt", "tree/sub/deep/z.bin"}, {"tree\\a.txt", "tree\\sub\\deep\\z.bin"}},
        {{"./tree/./a.txt"}, {"tree\\a.txt"}},
        {{"tree/sub"}, {"tree\\sub/", "tree\\sub\\deep/", "tree\\sub\\deep\\z.bin"}},
        {{"tree/sub/."}, {"deep/", "deep\\z.bin"}},
        {{absolute}, {stripped}},
        // The same file twice is packed once.
        {{"tree", "tree/a.txt"}, names(options({"tree"}))},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_EQ(names(options(c.args), &error), c.stored) << c.args[0] << ": " << error;
    }
}

TEST_F(CliPackInputs, ClimbingAndCollidingPathsAreRefused)
{
    touch("other/a.txt");
    touch("other/tree/a.txt");
    fs::create_directories("tree/up");
    const std::vector<std::vector<std::string>> refused = {
        {"tree/../single.txt"}, {"tree/up/../../single.txt"}, {"tree/a.txt", "other/."}};
    for (const std::vector<std::string>& args : refused) {
        std::string error;
        names(options(args), &error);
        EXPECT_FALSE(error.empty()) << args[0];
    }
    std::string error;
    names(options({"tree/a.txt", "other/./a.txt"}), &error);
    EXPECT_EQ(error, "");
    fs::current_path("other");
    names(options({"tree/a.txt", "tree/../a.txt"}), &error);
    EXPECT_NE(error.find("\"..\" inside its path"), std::string::npos) << error;
    // A path that starts above the current folder is stored under its own name.
    EXPECT_EQ(names(options({"../single.txt", "../tree/sub"}), &error),
              (std::vector<std::string>{"single.txt", "sub/", "sub\\deep/", "sub\\deep\\z.bin"}));
    names(options({"a.txt", "tree/."}), &error);
    EXPECT_NE(error.find("would be stored as a.txt"), std::string::npos) << error;
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

TEST_F(CliPackInputs, ExcludesAndListFiles)
{
    struct Case {
        std::vector<std::string> excludes;
        std::vector<std::string> stored;
    };
    const Case cases[] = {
        {{"*.txt"}, {"tree/", "tree\\empty/", "tree\\sub/", "tree\\sub\\deep/", "tree\\sub\\deep\\z.bin"}},
        {{"sub", "?.txt"}, {"tree/", "tree\\empty/"}},
        {{"tree/sub/deep/*", "empty"}, {"tree/", "tree\\a.txt", "tree\\b.txt", "tree\\sub/", "tree\\sub\\deep/"}},
        {{"tree\\a*", "deep", "b.*"}, {"tree/", "tree\\empty/", "tree\\sub/"}},
    };
    for (const Case& c : cases) {
        PackCommandOptions o = options({"tree"});
        o.excludes = c.excludes;
        EXPECT_EQ(names(o), c.stored) << c.excludes[0];
    }
    PackCommandOptions all = options({"tree", "single.txt"});
    all.excludes = {"*"};
    std::string error;
    names(all, &error);
    EXPECT_EQ(error, "nothing to pack");

    touch("list.txt", "single.txt\r\n\n  \ntree/sub/deep\n");
    EXPECT_EQ(names(options({"tree/a.txt", "@list.txt"})),
              (std::vector<std::string>{"tree\\a.txt", "single.txt", "tree\\sub\\deep/", "tree\\sub\\deep\\z.bin"}));
    names(options({"@missing.txt"}), &error);
    EXPECT_NE(error.find("cannot read the list missing.txt"), std::string::npos) << error;
}

// A solid archive packs alike files side by side (order_by_type); the
// other orders are the collected one.
TEST_F(CliPackInputs, SolidArchivesGroupFilesByType)
{
    const auto planned = [](PackCommandOptions o) {
        PackPlan plan;
        EXPECT_EQ(plan_pack(o, stderr, &plan), 0);
        std::vector<std::string> n;
        EXPECT_EQ(plan.inputs.size(), plan.items.size());
        for (size_t i = 0; i < plan.items.size() && i < plan.inputs.size(); i++) {
            EXPECT_EQ(plan.inputs[i].archive_name, plan.items[i].name);  // reordered together
            n.push_back(plan.items[i].name + (plan.items[i].directory ? "/" : ""));
        }
        return n;
    };
    PackCommandOptions o = options({"tree"});
    EXPECT_EQ(planned(o), (std::vector<std::string>{"tree/", "tree\\empty/", "tree\\sub/", "tree\\sub\\deep/",
                                                    "tree\\sub\\deep\\z.bin", "tree\\a.txt", "tree\\b.txt"}));
    o.keep_order = true;
    EXPECT_EQ(planned(o), names(options({"tree"})));
    o.keep_order = false;
    o.solid = false;
    EXPECT_EQ(planned(o), names(options({"tree"})));
}

#ifndef _WIN32
TEST_F(CliPackInputs, PosixNamesThatCannotComeBackAreSkipped)
{
    touch("odd/back\\slash.txt");
    touch("odd/fine.txt");
    fs::create_directory_symlink(fs::absolute("tree"), "odd/loop");
    fs::create_symlink(fs::absolute("single.txt"), "odd/link.txt");
    fs::create_symlink(fs::absolute("gone.txt"), "odd/dangling.txt");
    std::vector<std::string> n = names(options({"odd"}));
    // A '\' would become a folder on the way out; a link to a folder may
    // loop; a link to nothing has nothing to pack; a link to a file is
    // packed as that file.
    EXPECT_EQ(n, (std::vector<std::string>{"odd/", "odd\\fine.txt", "odd\\link.txt"}));
    ASSERT_EQ(warnings_.size(), 3u);
    EXPECT_EQ(names(options({"odd/dangling.txt", "single.txt"})), (std::vector<std::string>{"single.txt"}));
}
#endif

namespace {

std::vector<std::string> files_in(const fs::path& folder)
{
    std::vector<std::string> n;
    for (const fs::directory_entry& e : fs::directory_iterator(folder))
        n.push_back(e.path().filename().string());
    std::sort(n.begin(), n.end());
    return n;
}

#ifdef __linux__
// The first volume goes to disk, the second to a full one.
std::FILE* second_volume_on_full_disk(const char* path)
{
    return std::strstr(path, ".C00") ? std::fopen("/dev/full", "wb") : std::fopen(path, "wb");
}
#endif

}  // namespace

TEST_F(CliPackInputs, VolumesAppearOnlyWhenAllAreWritten)
{
    const std::vector<std::vector<uint8_t>> two = {std::vector<uint8_t>(40, 'a'), std::vector<uint8_t>(30, 'b')};
    fs::create_directory("out");
    std::vector<std::string> written;
    std::string error;
    ASSERT_EQ(write_archive_volumes(two, "out/set.ace", 40, false, &written, &error), 0) << error;
    EXPECT_EQ(files_in("out"), (std::vector<std::string>{"set.C00", "set.ace"}));
    EXPECT_EQ(fs::file_size("out/set.C00"), 30u);
    EXPECT_EQ(written.size(), 2u);

    // The volume size must hold what the packer put into each volume.
    EXPECT_EQ(write_archive_volumes(two, "small/set.ace", 39, false, &written, &error), 8);
    EXPECT_NE(error.find("too small"), std::string::npos) << error;

    EXPECT_EQ(write_archive_volumes(two, "nowhere/set.ace", 0, false, &written, &error), 7);
    EXPECT_EQ(error.rfind("cannot create nowhere/set.ace: ", 0), 0u) << error;
    EXPECT_NE(error.find(std::strerror(ENOENT)), std::string::npos) << error;

#ifdef __linux__
    fs::create_directory("full");
    EXPECT_EQ(write_archive_volumes(two, "full/set.ace", 0, false, &written, &error, second_volume_on_full_disk), 7);
    EXPECT_EQ(error, std::string("cannot write full/set.C00: ") + std::strerror(ENOSPC));
    EXPECT_TRUE(files_in("full").empty());  // the first volume's temporary is gone too
#endif
}
