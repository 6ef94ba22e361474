#include "apps/output_files.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "apps/cli_error.h"

namespace fs = std::filesystem;

OutputFiles::~OutputFiles() {
    if (committed_) return;
    std::error_code ec;
    for (const auto& [temp, final] : staged_) fs::remove(temp, ec);
    // Newest first, so a parent is empty by the time its turn comes.
    for (auto it = createdDirs_.rbegin(); it != createdDirs_.rend(); ++it) fs::remove(*it, ec);
}

void OutputFiles::makeDir(const std::string& dir) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<fs::path> missing;
    std::error_code ec;
    for (fs::path p = fs::path(dir).lexically_normal(); !p.empty(); p = p.parent_path()) {
        if (fs::exists(p, ec)) {
            if (!fs::is_directory(p, ec)) throw CliError(p.string() + " is not a directory");
            break;
        }
        missing.push_back(p);
        if (p == p.parent_path()) break;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (!fs::create_directory(*it, ec) && ec)
            throw CliError("cannot create directory " + it->string() + ": " + ec.message());
        createdDirs_.push_back(it->string());
    }
}

std::string OutputFiles::stage(const std::string& finalPath) {
    std::lock_guard<std::mutex> lock(mutex_);
    const fs::path p(finalPath);
    const std::string temp =
        (p.parent_path() / ("." + p.filename().string() + ".tmp-" + std::to_string(::getpid()) +
                            "-" + std::to_string(staged_.size())))
            .string();
    staged_.emplace_back(temp, finalPath);
    return temp;
}

void OutputFiles::commit() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [temp, final] : staged_) {
        std::error_code ec;
        fs::rename(temp, final, ec);
        if (ec) throw CliError("cannot rename " + temp + " to " + final + ": " + ec.message());
    }
    committed_ = true;
}
