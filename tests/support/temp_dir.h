// A scratch folder for one test, removed with everything in it at the end.
#ifndef SITEMIRROR_TESTS_SUPPORT_TEMP_DIR_H
#define SITEMIRROR_TESTS_SUPPORT_TEMP_DIR_H

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

class TempDir {
public:
    TempDir()
    {
        const char *base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/support_test.XXXXXX";
        if (mkdtemp(&tmpl[0]) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        path_ = tmpl;
    }
    ~TempDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

    // Writes content to name (relative to the folder) and returns the full path.
    std::string write(const std::string &name, const std::string &content) const
    {
        const std::string full = *this / name;
        std::ofstream out(full, std::ios::binary | std::ios::trunc);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        if (!out) {
            throw std::runtime_error("cannot write " + full);
        }
        return full;
    }

private:
    std::string path_;
};

#endif  // SITEMIRROR_TESTS_SUPPORT_TEMP_DIR_H
