// All-or-nothing output: files are written under temporary names and renamed
// to their real names only when every one of them is complete. Until commit()
// the real names are untouched; without it, the destructor removes the
// temporary files and any directory this object created.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

class OutputFiles {
public:
    OutputFiles() = default;
    OutputFiles(const OutputFiles&) = delete;
    OutputFiles& operator=(const OutputFiles&) = delete;
    ~OutputFiles();

    // Creates dir and its missing parents (remembering which it created).
    // Throws CliError when that fails or a path is not a directory.
    void makeDir(const std::string& dir);

    // The temporary name to write finalPath's contents to. Thread-safe.
    std::string stage(const std::string& finalPath);

    // Renames every staged file to its final name.
    void commit();

private:
    std::mutex mutex_;
    std::vector<std::pair<std::string, std::string>> staged_;  // temporary, final
    std::vector<std::string> createdDirs_;                     // in creation order
    bool committed_ = false;
};
