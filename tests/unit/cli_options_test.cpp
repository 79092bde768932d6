// The console tool's command line: its own options, the packing options,
// sizes and dictionary sizes.
#include <gtest/gtest.h>

#include <vector>

#include "tools/cli_options.h"

namespace {

ToolOptions tool(std::vector<const char*> args)
{
    args.insert(args.begin(), "kelvo");
    return parse_tool_options(int(args.size()), args.data());
}

PackCommandOptions pack(std::vector<const char*> args)
{
    args.insert(args.begin(), {"kelvo", "a"});
    return parse_pack_options(int(args.size()), args.data(), 2);
}

}  // namespace

TEST(CliSizes, SuffixesAndLimits)
{
    uint64_t n = 0;
    EXPECT_TRUE(parse_size("4096", &n));
    EXPECT_EQ(n, 4096u);
    EXPECT_TRUE(parse_size("64k", &n));
    EXPECT_EQ(n, 65536u);
    EXPECT_TRUE(parse_size("2M", &n));
    EXPECT_EQ(n, 2u << 20);
    EXPECT_TRUE(parse_size("1g", &n));
    EXPECT_EQ(n, 1u << 30);
    EXPECT_TRUE(parse_size("100KB", &n));
    EXPECT_EQ(n, 102400u);
    // One archive file holds at most 2^31 - 1 bytes.
    EXPECT_TRUE(parse_size("2147483647", &n));
    EXPECT_FALSE(parse_size("2g", &n));
    EXPECT_FALSE(parse_size("2147483648", &n));
    EXPECT_FALSE(parse_size("99999999999999999999", &n));
    for (const char* bad : {"", "0", "0k", "k", "-5", "12x", "1.5m", "10 k", "1kk"})
        EXPECT_FALSE(parse_size(bad, &n)) << bad;
}

TEST(CliSizes, DictionaryAsBitsOrPowerOfTwo)
{
    int bits = 0;
    EXPECT_TRUE(parse_dictionary("10", &bits));
    EXPECT_EQ(bits, 10);
    EXPECT_TRUE(parse_dictionary("20", &bits));
    EXPECT_EQ(bits, 20);
    EXPECT_TRUE(parse_dictionary("64k", &bits));
    EXPECT_EQ(bits, 16);
    EXPECT_TRUE(parse_dictionary("1m", &bits));
    EXPECT_EQ(bits, 20);
    EXPECT_TRUE(parse_dictionary("1024", &bits));
    EXPECT_EQ(bits, 10);
    for (const char* bad : {"9", "21", "0", "3k", "512", "2m", "48k", "", "x"})
        EXPECT_FALSE(parse_dictionary(bad, &bits)) << bad;
}

TEST(CliToolOptions, StandBeforeTheCommand)
{
    ToolOptions o = tool({"-q", "--no-progress", "x", "-y", "arc"});
    EXPECT_TRUE(o.error.empty());
    EXPECT_TRUE(o.quiet);
    EXPECT_TRUE(o.no_progress);
    EXPECT_EQ(o.command_index, 3);

    // Switches after the command letter are the job's, whatever they are.
    o = tool({"x", "-q", "arc"});
    EXPECT_TRUE(o.error.empty());
    EXPECT_FALSE(o.quiet);
    EXPECT_EQ(o.command_index, 1);

    EXPECT_TRUE(tool({"--help"}).help);
    EXPECT_TRUE(tool({"-V"}).version);
    EXPECT_EQ(tool({}).command_index, 0);
    EXPECT_FALSE(tool({"-y", "x", "arc"}).error.empty());
    EXPECT_FALSE(tool({"--quiet=1", "x", "arc"}).error.empty());
}

TEST(CliPackOptions, EveryOption)
{
    PackCommandOptions o = pack({"-n", "-m9", "-d", "64k", "-v", "1m", "-c", "hello", "--file-comment",
                                 "dir/a.txt=about a", "--no-dirs", "--keep-order", "-o", "-x", "*.o", "--exclude=.git", "out.ace", "src",
                                 "more"});
    ASSERT_TRUE(o.error.empty()) << o.error;
    EXPECT_FALSE(o.solid);
    EXPECT_EQ(o.level, 9);
    EXPECT_EQ(o.dictionary_bits, 16);
    EXPECT_EQ(o.volume_size, 1u << 20);
    EXPECT_EQ(o.comment, "hello");
    ASSERT_EQ(o.file_comments.size(), 1u);
    // Names are matched as stored: '\' between folders.
    EXPECT_EQ(o.file_comments[0].first, "dir\\a.txt");
    EXPECT_EQ(o.file_comments[0].second, "about a");
    EXPECT_FALSE(o.directory_entries);
    EXPECT_TRUE(o.keep_order);
    EXPECT_TRUE(o.overwrite);
    EXPECT_EQ(o.excludes, (std::vector<std::string>{"*.o", ".git"}));
    EXPECT_EQ(o.archive, "out.ace");
    EXPECT_EQ(o.inputs, (std::vector<std::string>{"src", "more"}));
}

TEST(CliPackOptions, DefaultsAndSpellings)
{
    PackCommandOptions o = pack({"out", "src"});
    ASSERT_TRUE(o.error.empty());
    EXPECT_TRUE(o.solid);
    EXPECT_FALSE(o.keep_order);
    EXPECT_FALSE(o.store_only);
    EXPECT_EQ(o.level, 0);  // the packer's own default
    EXPECT_EQ(o.dictionary_bits, 20);
    EXPECT_EQ(o.volume_size, 0u);
    EXPECT_TRUE(o.directory_entries);

    EXPECT_TRUE(pack({"-s", "o", "i"}).store_only);
    EXPECT_TRUE(pack({"-m0", "o", "i"}).store_only);
    EXPECT_FALSE(pack({"-m0", "-m3", "o", "i"}).store_only);
    EXPECT_EQ(pack({"-d12", "o", "i"}).dictionary_bits, 12);
    EXPECT_EQ(pack({"--dictionary=13", "o", "i"}).dictionary_bits, 13);
    EXPECT_EQ(pack({"--volume-size=2k", "o", "i"}).volume_size, 2048u);
    // "--" ends the options: a file may start with '-'.
    PackCommandOptions dash = pack({"--", "-out.ace", "-file"});
    ASSERT_TRUE(dash.error.empty());
    EXPECT_EQ(dash.archive, "-out.ace");
    EXPECT_EQ(dash.inputs, std::vector<std::string>{"-file"});
}

TEST(CliPackOptions, Errors)
{
    EXPECT_FALSE(pack({}).error.empty());
    EXPECT_FALSE(pack({"out.ace"}).error.empty());
    EXPECT_FALSE(pack({"-d", "33", "o", "i"}).error.empty());
    EXPECT_FALSE(pack({"-v", "0", "o", "i"}).error.empty());
    EXPECT_FALSE(pack({"-v"}).error.empty());
    EXPECT_FALSE(pack({"-m", "o", "i"}).error.empty());
    EXPECT_FALSE(pack({"--file-comment", "=x", "o", "i"}).error.empty());
    EXPECT_FALSE(pack({"--file-comment", "noequals", "o", "i"}).error.empty());
    EXPECT_FALSE(pack({"--bogus", "o", "i"}).error.empty());
    EXPECT_FALSE(pack({"-x", "", "o", "i"}).error.empty());
}

TEST(CliNames, CompletedLikeTheJob)
{
    EXPECT_EQ(completed_archive_name("kelvo"), "kelvo.ACE");
    EXPECT_EQ(completed_archive_name("a.b\\kelvo"), "a.b\\kelvo.ACE");
    EXPECT_EQ(completed_archive_name("kelvo.C01"), "kelvo.C01");
    EXPECT_EQ(completed_archive_name("kelvo."), "kelvo.");
    EXPECT_EQ(completed_archive_name("dir.d/arc"), "dir.d/arc.ACE");
}

TEST(CliNames, PatternsSelectNamesFoldersAndWildcards)
{
    struct Case {
        const char* pattern;
        const char* name;
        bool selected;
    } cases[] = {
        {"readme.txt", "readme.txt", true},       {"readme.txt", "docs\\readme.txt", false},
        {"docs", "docs\\deep\\a.bin", true},      {"docs/", "docs\\a.bin", true},
        {"docs/deep", "docs\\deep\\a.bin", true}, {"docs\\deep", "docs\\deeper\\a.bin", false},
        {"*.txt", "one.txt", true},               {"*.txt", "docs\\one.txt", false},
        {"docs\\*.txt", "docs\\one.txt", true},   {"*\\*.txt", "docs\\one.txt", true},
        {"?ne.txt", "one.txt", true},             {"?ne.txt", "\\ne.txt", false},
        {"*", "anything", true},                  {"d*", "docs\\x", true},
        {"", "x", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(name_matches(c.pattern, c.name), c.selected) << c.pattern << " / " << c.name;
}

TEST(CliExtractOptions, SwitchesNamesAndErrors)
{
    auto parse = [](std::vector<const char*> args) {
        args.insert(args.begin(), {"kelvo", "x"});
        return parse_extract_options(int(args.size()), args.data(), 1);
    };
    ExtractCommandOptions o = parse({"-Yes", "-o", "out", "-aos", "arc", "a*", "-u", "--", "-b"});
    ASSERT_TRUE(o.error.empty()) << o.error;
    EXPECT_TRUE(o.yes);
    EXPECT_EQ(o.output_dir, "out");
    EXPECT_EQ(o.overwrite, OverwritePolicy::UPDATE);  // the last one counts
    EXPECT_EQ(o.archive, "arc");
    EXPECT_EQ(o.patterns, (std::vector<std::string>{"a*", "-b"}));
    EXPECT_EQ(parse({"--output=d", "arc"}).output_dir, "d");
    EXPECT_EQ(parse({"-aoa", "arc"}).overwrite, OverwritePolicy::ALWAYS);

    EXPECT_EQ(parse({}).error, "no archive name after the command");
    EXPECT_EQ(parse({"-q", "arc"}).error, "unknown switch -q after the command; options of the tool go before it");
    EXPECT_EQ(parse({"-z", "arc"}).error, "unknown switch -z after the command");
    EXPECT_EQ(parse({"arc", "-o"}).error, "-o needs a folder");
}
