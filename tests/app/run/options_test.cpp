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

// The value given for the setting strVariable, "-" when none was.
std::string given(const CommandLine &cl, const std::string &strVariable)
{
    for (const CommandLine::Given &g : cl.settings)
        if (g.strVariable == strVariable)
            return g.strValue;
    return "-";
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
        EXPECT_EQ(given(cl, "SITEMIRROR_JOBS"), r.strJobs.empty() ? "-" : r.strJobs) << strWords;
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
    EXPECT_EQ(given(parse({"-j", "3"}), "SITEMIRROR_JOBS"), "3");
    EXPECT_EQ(given(parse({}), "SITEMIRROR_JOBS"), "-");
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

TEST(Options, SettingOptionsStandForTheirVariablesAndTheLastOneWins)
{
    CommandLine cl = parse({"--root", "public", "--bucket=b", "--prefix", "", "--endpoint",
                            "http://127.0.0.1:9", "--target", "staging", "--output", "json",
                            "--bucket", "c", "site.html"});
    EXPECT_FALSE(cl.bUsage);
    EXPECT_EQ(given(cl, "SITEMIRROR_ROOT"), "public");
    EXPECT_EQ(given(cl, "SITEMIRROR_BUCKET"), "c");
    EXPECT_EQ(given(cl, "SITEMIRROR_PREFIX"), ""); // the whole bucket
    EXPECT_EQ(given(cl, "SITEMIRROR_ENDPOINT"), "http://127.0.0.1:9");
    EXPECT_EQ(given(cl, "SITEMIRROR_TARGET"), "staging");
    EXPECT_EQ(given(cl, "SITEMIRROR_OUTPUT"), "json");
    EXPECT_EQ(cl.args, std::vector<std::string>{"site.html"});
    for (const CommandLine::Given &g : cl.settings) {
        if (g.strVariable == "SITEMIRROR_BUCKET") {
            EXPECT_EQ(g.strOption, "--bucket");
        }
    }
}

TEST(Options, ExcludesGatherInOrderAndForceAndSummaryAreRead)
{
    CommandLine cl = parse({"--exclude", "*.psd", "--force", "--exclude=drafts/",
                            "--summary-markdown", "s.md"});
    EXPECT_FALSE(cl.bUsage);
    EXPECT_EQ(cl.excludes, (std::vector<std::string>{"*.psd", "drafts/"}));
    EXPECT_TRUE(cl.bForce);
    EXPECT_EQ(cl.strSummaryMarkdown, "s.md");
    EXPECT_FALSE(parse({}).bForce);
}

TEST(Options, EmptyOrMultiLineValuesThatMeanNothingAreUsageErrors)
{
    for (const std::vector<std::string> &words :
         {std::vector<std::string>{"--root", ""}, {"--bucket="}, {"--target", ""}, {"--output="},
          {"--exclude", ""}, {"--exclude", "a\nb"}, {"--exclude", "a\rb"},
          {"--summary-markdown", ""}, {"--root"}})
        EXPECT_TRUE(parse(words).bUsage) << words[0];
}
