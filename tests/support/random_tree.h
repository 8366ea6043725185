// A random tree of files and folders under given names, for the tests that
// hold the walks' order against a plain sort.
#ifndef SITEMIRROR_TESTS_SUPPORT_RANDOM_TREE_H
#define SITEMIRROR_TESTS_SUPPORT_RANDOM_TREE_H

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <string>
#include <vector>

// Fills dir with up to 16 entries (6 below the top) under names, each a
// folder (to three levels) or a file of one of sizes bytes.
inline void growRandomTree(const std::string &dir, const std::vector<std::string> &names,
                           const std::vector<std::size_t> &sizes, std::mt19937 &rng, int depth = 0)
{
    std::vector<std::string> chosen = names;
    std::shuffle(chosen.begin(), chosen.end(), rng);
    chosen.resize(std::min(chosen.size(), std::uniform_int_distribution<std::size_t>(1, depth == 0 ? 16 : 6)(rng)));
    for (const std::string &name : chosen) {
        const std::string path = dir + "/" + name;
        if (depth < 3 && rng() % 3 == 0) {
            ::mkdir(path.c_str(), 0755);
            growRandomTree(path, names, sizes, rng, depth + 1);
        } else {
            std::ofstream(path, std::ios::binary) << std::string(sizes[rng() % sizes.size()], 'x');
        }
    }
}

#endif // SITEMIRROR_TESTS_SUPPORT_RANDOM_TREE_H
