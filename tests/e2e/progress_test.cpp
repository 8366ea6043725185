// The progress line of -P under a pseudo-terminal: redrawn in place on
// standard error, its last drawing the whole run's counts with the retries it
// took, erased at the end, with no libcurl trace beside it; and nothing of it
// off a terminal.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <utility>
#include <vector>
#include <sstream>
#include <string>

#include "harness.h"
#include "site.h"

namespace {

using e2e::ToolRun;

// Runs the rest of its command line with standard error on a pseudo-terminal
// (raw, so line ends stay as written) and standard output in a file; the
// terminal's bytes go to a second file; exits with the command's status.
const char kPtyRunner[] = R"(import os, subprocess, sys, tty
out_path, tty_path, argv = sys.argv[1], sys.argv[2], sys.argv[3:]
master, slave = os.openpty()
tty.setraw(slave)
with open(out_path, 'wb') as out:
    child = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out, stderr=slave)
os.close(slave)
seen = b''
while True:
    try:
        chunk = os.read(master, 65536)
    except OSError:  # the terminal is gone once the command has ended
        break
    if not chunk:
        break
    seen += chunk
status = child.wait()
with open(tty_path, 'wb') as f:
    f.write(seen)
sys.exit(status)
)";

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool endsWith(const std::string &text, const std::string &tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The texts the terminal showed, in order: each "\r TEXT ESC[K" drawing.
std::vector<std::string> drawings(const std::string &seen, std::string &rest)
{
    std::vector<std::string> out;
    rest.clear();
    const std::string erase = "\x1b[K";
    for (std::size_t at = 0; at < seen.size();) {
        const std::size_t end = seen[at] == '\r' ? seen.find(erase, at) : std::string::npos;
        const std::string text =
            end == std::string::npos ? "" : seen.substr(at + 1, end - at - 1);
        if (end == std::string::npos || text.find_first_of("\r\x1b") != std::string::npos) {
            rest += seen[at++];
            continue;
        }
        if (!text.empty())
            out.push_back(text);
        at = end + erase.size();
    }
    return out;
}

// A mirror run with -P under the pseudo-terminal: its status, standard
// output, and the drawings of the line on the terminal.
struct OnTerminal {
    ToolRun tool;
    std::string stdoutText, ttyText, rest;
    std::vector<std::string> texts; // the drawings, in order
};
OnTerminal mirrorOnTerminal(e2e::StoreRun &run, const std::map<std::string, std::string> &extra = {})
{
    const std::string runner = run.site.base() + "/pty.py";
    std::ofstream(runner) << kPtyRunner;
    const std::string out = run.site.base() + "/out", seen = run.site.base() + "/tty";
    auto vars = run.site.env(run.bucket, "http://" + run.store.endpoint());
    vars["SITEMIRROR_RETRIES"] = "3";
    for (const auto &kv : extra)
        vars[kv.first] = kv.second;
    OnTerminal result;
    result.tool = e2e::runTool("-P", vars,
                               "python3 " + e2e::quote(runner) + " " + e2e::quote(out) + " " +
                                   e2e::quote(seen) + " ");
    result.stdoutText = readFile(out);
    result.ttyText = readFile(seen);
    result.texts = drawings(result.ttyText, result.rest);
    return result;
}

// "D of T" of a drawing "files N/M, D of T, ...": the bytes done and the total.
std::pair<std::string, std::string> bytesDoneOf(const std::string &text)
{
    const std::size_t start = text.find(", ") + 2;
    const std::string sizes = text.substr(start, text.find(", ", start) - start);
    const std::size_t of = sizes.find(" of ");
    if (of == std::string::npos)
        return {"", "?"};
    return {sizes.substr(0, of), sizes.substr(of + 4)};
}

TEST(Progress, OnATerminalOneLineIsRedrawnAndEndsOnTheRunsCountsAndRetries)
{
    harness::StoreOptions options;
    options.slowDownPuts = 1; // every file's first try is refused: one retry each
    e2e::StoreRun run(options, "progress.example", "-P");
    run.site.write("a.html", "a");
    run.site.write("big.bin", std::string(300000, 'b'));
    run.site.write("docs/c.txt", "c");
    const OnTerminal seen = mirrorOnTerminal(run);
    const std::string &stdoutText = seen.stdoutText, &ttyText = seen.ttyText, &rest = seen.rest;
    const std::vector<std::string> &texts = seen.texts;
    ASSERT_EQ(seen.tool.status, 0) << stdoutText << seen.tool.err;
    ASSERT_FALSE(texts.empty()) << ttyText;
    // Nothing but the line, erased at the end: no libcurl trace.
    EXPECT_EQ(rest, "") << ttyText;
    // The first drawing, before a byte has gone: the files of the first
    // uploads (all of them, or the first phase's) and their bytes.
    const std::string &first = texts.front();
    EXPECT_EQ(first.rfind("files 0/", 0), 0u) << first;
    EXPECT_NE(first.find(", 0 B of "), std::string::npos) << first;
    EXPECT_TRUE(endsWith(first, ", -- B/s, ETA --, 0 retries")) << first;
    const std::string last = texts.back();
    ASSERT_EQ(last.rfind("files 4/4, ", 0), 0u) << last;
    ASSERT_TRUE(endsWith(last, ", ETA 0:00, 4 retries")) << last;
    // Every byte done of the total: the bytes of the tries sent again are not counted twice.
    const auto done = bytesDoneOf(last);
    EXPECT_EQ(done.first, done.second) << last;
    // The designed lines are all still on standard output.
    EXPECT_EQ(e2e::uploadedKeys(stdoutText),
              (std::set<std::string>{"a.html", "big.bin", "docs/c.txt", "fileLists.html"}))
        << stdoutText;
    EXPECT_NE(stdoutText.find("retry 1 of 3"), std::string::npos) << stdoutText;
}

// Files sent encoded and tried again: the bytes done never go below nothing
// and end equal to the total of the bytes actually sent.
TEST(Progress, EncodedFilesTriedAgainEndWithEveryByteDone)
{
    harness::StoreOptions options;
    options.slowDownPuts = 1;
    e2e::StoreRun run(options, "progress-gzip.example", "-P");
    std::string text;
    for (int i = 0; i < 20000; ++i)
        text += "line " + std::to_string(i % 97) + " of a page that compresses well\n";
    run.site.write("notes.txt", text);
    run.site.write("b.txt", "b");
    const std::string config = run.site.base() + "/rules.toml";
    std::ofstream(config) << "rules = [ { match = \"*.txt\", content_encoding = \"gzip\" } ]\n";
    const OnTerminal seen = mirrorOnTerminal(run, {{"SITEMIRROR_CONFIG", config}});
    ASSERT_EQ(seen.tool.status, 0) << seen.stdoutText << seen.tool.err;
    ASSERT_FALSE(seen.texts.empty()) << seen.ttyText;
    ASSERT_EQ(seen.texts.back().rfind("files 3/3, ", 0), 0u) << seen.texts.back();
    const auto done = bytesDoneOf(seen.texts.back());
    EXPECT_EQ(done.first, done.second) << seen.ttyText;
    EXPECT_NE(seen.stdoutText.find("retry 1 of 3"), std::string::npos) << seen.stdoutText;
}

TEST(Progress, OffATerminalThereIsNoLineAndNoTrace)
{
    e2e::StoreRun run({}, "progress-pipe.example");
    run.site.write("a.html", "a");
    ToolRun traced = run.mirror();
    ASSERT_EQ(traced.status, 0) << traced.out;
    EXPECT_FALSE(traced.err.empty()); // libcurl's trace, as designed

    run.site.write("a.html", "b");
    run.args = "-P";
    ToolRun piped = run.mirror();
    ASSERT_EQ(piped.status, 0) << piped.out;
    EXPECT_EQ(piped.err, "");
    EXPECT_NE(piped.out.find("upload:" + run.site.path("a.html")), std::string::npos) << piped.out;
}

} // namespace
