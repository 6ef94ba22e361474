#include "studio/session_files.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <system_error>
#include <utility>

namespace clsg {

namespace fs = std::filesystem;

namespace {

constexpr const char* kOlderPrefix = "studio-session.";
constexpr const char* kSuffix = ".clsgs";

bool present(const fs::path& p) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(p, ec));
}

// Only files are moved: a directory in a session file's place stays there
// (and the session cannot be saved until it is gone).
bool isFile(const fs::path& p) {
    std::error_code ec;
    return fs::is_regular_file(fs::status(p, ec));
}

// The time stamp in an older session's name; empty for any other name.
std::string stampOf(const std::string& name) {
    const std::size_t head = std::strlen(kOlderPrefix), tail = std::strlen(kSuffix);
    if (name.size() < head + 15 + tail || name.rfind(kOlderPrefix, 0) != 0 ||
        name.compare(name.size() - tail, tail, kSuffix) != 0)
        return "";
    const std::string stamp = name.substr(head, name.size() - head - tail);
    return std::isdigit(static_cast<unsigned char>(stamp[0])) ? stamp : "";
}

// When an older session was moved aside: its time, then its count within
// that second (1 for none, then -0002, -0003 ...).
std::pair<std::string, unsigned long> ageOf(const fs::path& p) {
    const std::string stamp = stampOf(p.filename().string());
    const std::size_t dash = stamp.find('-', 9);  // after the date's own dash
    unsigned long count = 1;
    if (dash != std::string::npos) count = std::strtoul(stamp.c_str() + dash + 1, nullptr, 10);
    return {stamp.substr(0, dash), count};
}

// dir's older sessions, newest first.
std::vector<fs::path> olderSessions(const std::string& dir) {
    std::vector<fs::path> older;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        if (!stampOf(it->path().filename().string()).empty() && isFile(it->path()))
            older.push_back(it->path());
    std::sort(older.begin(), older.end(),
              [](const fs::path& a, const fs::path& b) { return ageOf(a) > ageOf(b); });
    return older;
}

// A free name for a session moved aside now.
fs::path olderName(const std::string& dir) {
    char stamp[32] = "";
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    if (localtime_r(&now, &parts)) std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &parts);
    fs::path name = fs::path(dir) / (std::string(kOlderPrefix) + stamp + kSuffix);
    for (int n = 2; present(name); ++n) {  // -0002, -0003, ...: the names sort by time
        const std::string count = std::to_string(n);
        name = fs::path(dir) /
               (std::string(kOlderPrefix) + stamp + "-" +
                std::string(count.size() < 4 ? 4 - count.size() : 0, '0') + count + kSuffix);
    }
    return name;
}

}  // namespace

bool moveSessionAside(const std::string& dir) {
    const fs::path current = fs::path(dir) / kSessionFile;
    const fs::path previous = fs::path(dir) / kPreviousSessionFile;
    if (!isFile(current)) return true;
    std::error_code ec;
    if (isFile(previous)) fs::rename(previous, olderName(dir), ec);
    // Where the previous one could not go (or something else holds its
    // name), the current one goes among the older ones instead.
    bool moved = false;
    if (!ec && !present(previous)) {
        fs::rename(current, previous, ec);
        moved = !ec;
    }
    if (!moved) {
        ec.clear();
        fs::rename(current, olderName(dir), ec);
        if (ec) return false;
    }
    const std::vector<fs::path> older = olderSessions(dir);
    for (std::size_t i = kOlderSessionsKept; i < older.size(); ++i) fs::remove(older[i], ec);
    return true;
}

std::vector<std::string> sessionFilesNewestFirst(const std::string& dir) {
    std::vector<std::string> files;
    for (const char* name : {kSessionFile, kPreviousSessionFile})
        if (present(fs::path(dir) / name)) files.push_back((fs::path(dir) / name).string());
    for (const fs::path& p : olderSessions(dir)) files.push_back(p.string());
    return files;
}

}  // namespace clsg
