// Options in front of the argument forms: what is an option, what is an argument.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "options.h"

namespace {

CommandLine parse(std::vector<std::string> words)
{
    words.insert(words.begin(), "sitemirror");
    std::vector<char *> argv;
    for (std::string &w : words)
        argv.push_back(&w[0]);
    argv.push_back(nullptr);
    return parseCommandLine(static_cast<int>(words.size()), argv.data());
}

TEST(Options, FlagsBeforeTheFormsAndArgumentsAfterThem)
{
    struct Row {
        std::vector<std::string> words;
        bool bDryRun, bQuiet, bUsage;
        std::string strJobs;
        std::vector<std::string> args;
    };
    const Row rows[] = {
        {{}, false, false, false, "", {}},
        {{"site/a.html"}, false, false, false, "", {"site/a.html"}},
        {{"-n"}, true, false, false, "", {}},
        {{"--dry-run", "--quiet"}, true, true, false, "", {}},
        {{"-nq", "-j", "4"}, true, true, false, "4", {}},
        {{"-j8", "f"}, false, false, false, "8", {"f"}},
        {{"--jobs=2"}, false, false, false, "2", {}},
        // "--" ends the options: what follows is a file, whatever its name.
        {{"--", "--help"}, false, false, false, "", {"--help"}},
        {{"-q", "--", "-n"}, false, true, false, "", {"-n"}},
        // Options end at the first argument: a later "-n" is a second argument.
        {{"f", "-n"}, false, false, false, "", {"f", "-n"}},
        {{"-"}, false, false, false, "", {"-"}},
        {{"-x"}, false, false, true, "", {}},
        {{"--frobnicate"}, false, false, true, "", {}},
        {{"-j"}, false, false, true, "", {}},
    };
    for (const Row &r : rows) {
        std::string strWords;
        for (const std::string &w : r.words)
            strWords += w + " ";
        CommandLine cl = parse(r.words);
        EXPECT_EQ(cl.bDryRun, r.bDryRun) << strWords;
        EXPECT_EQ(cl.bQuiet, r.bQuiet) << strWords;
        EXPECT_EQ(cl.bUsage, r.bUsage) << strWords;
        EXPECT_EQ(cl.strJobs, r.strJobs) << strWords;
        EXPECT_EQ(cl.args, r.args) << strWords;
    }
}

TEST(Options, HelpAndVersionAreRecognisedInBothSpellings)
{
    EXPECT_TRUE(parse({"-h"}).bHelp);
    EXPECT_TRUE(parse({"--help"}).bHelp);
    EXPECT_TRUE(parse({"-V"}).bVersion);
    EXPECT_TRUE(parse({"--version"}).bVersion);
    // Parsing twice in one process starts afresh.
    EXPECT_FALSE(parse({"f"}).bHelp);
    EXPECT_TRUE(parse({"-j", "3"}).bJobs);
    EXPECT_FALSE(parse({}).bJobs);
}

TEST(Options, ProgressAndNoWaitAreFlagsThatTakeNoValue)
{
    struct Row {
        std::vector<std::string> words;
        bool bProgress, bNoWait, bUsage;
        std::vector<std::string> args;
    };
    const Row rows[] = {
        {{"-P"}, true, false, false, {}},
        {{"--progress", "--no-wait"}, true, true, false, {}},
        {{"-nP", "f"}, true, false, false, {"f"}},
        {{"--no-wait", "f"}, false, true, false, {"f"}},
        {{"--no-wait=1"}, false, false, true, {}},
        {{"-p"}, false, false, true, {}},
        {{"f", "-P"}, false, false, false, {"f", "-P"}},
    };
    for (const Row &r : rows) {
        std::string strWords;
        for (const std::string &w : r.words)
            strWords += w + " ";
        CommandLine cl = parse(r.words);
        EXPECT_EQ(cl.bProgress, r.bProgress) << strWords;
        EXPECT_EQ(cl.bNoWait, r.bNoWait) << strWords;
        EXPECT_EQ(cl.bUsage, r.bUsage) << strWords;
        EXPECT_EQ(cl.args, r.args) << strWords;
    }
}

} // namespace

namespace {

TEST(Options, DeleteAndChangedListAreLongOptionsBeforeTheArguments)
{
    CommandLine cl = parse({"--delete", "--changed-list", "/tmp/changed.txt"});
    EXPECT_FALSE(cl.bUsage);
    EXPECT_TRUE(cl.bDelete);
    EXPECT_EQ(cl.strChangedList, "/tmp/changed.txt");
    EXPECT_TRUE(cl.args.empty());

    cl = parse({"--changed-list=out.txt", "-n", "f"});
    EXPECT_FALSE(cl.bDelete);
    EXPECT_EQ(cl.strChangedList, "out.txt");
    EXPECT_EQ(cl.args, std::vector<std::string>{"f"});

    // A value is required, and an empty one names no file.
    EXPECT_TRUE(parse({"--changed-list"}).bUsage);
    EXPECT_TRUE(parse({"--changed-list="}).bUsage);
    // After the argument it is an argument.
    cl = parse({"f", "--delete"});
    EXPECT_FALSE(cl.bDelete);
    EXPECT_EQ(cl.args, (std::vector<std::string>{"f", "--delete"}));
}

} // namespace
