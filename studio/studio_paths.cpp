#include "studio/studio_paths.h"

#include <sys/stat.h>

#include <filesystem>

#include "clsg/platform/str.h"
#include "studio/studio_session.h"

namespace clsg {

namespace {

// A name as the page shows it: letters of any script as they are, control
// characters (a NUL too) as \xNN, cut after 64 bytes at a character's start.
std::string shownName(const std::string& name) {
    std::size_t end = name.size();
    if (end > 64)
        for (end = 64; end > 0 && (static_cast<unsigned char>(name[end]) & 0xc0) == 0x80;) --end;
    std::string out = "\"";
    for (std::size_t i = 0; i < end; ++i) {
        const auto byte = static_cast<unsigned char>(name[i]);
        const bool plain = byte >= 0x20 && byte != 0x7f && byte != '\\';
        out += plain ? name.substr(i, 1) : kfPrintable(name.substr(i, 1), 4);
    }
    return out + (end < name.size() ? "...\"" : "\"");
}

}  // namespace

std::string confinedPath(const std::string& outDir, const std::string& name,
                         const std::string& extension) {
    constexpr std::size_t kLongest = 128;
    const bool plain = !name.empty() && name[0] != '.' &&
                       name.find_first_not_of(
                           "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-.") ==
                           std::string::npos;
    const std::string shown = shownName(name);
    if (!plain)
        throw StudioError(shown +
                          " is not a plain file name (letters, digits, '_', '-' and '.', not "
                          "starting with '.'); files are written only into " +
                          outDir);
    if (name.size() > kLongest)
        throw StudioError(shown + " is longer than " + std::to_string(kLongest) +
                          " characters; choose a shorter name");
    std::string file = name;
    if (file.size() < extension.size() ||
        file.compare(file.size() - extension.size(), extension.size(), extension) != 0)
        file += extension;
    if (file.size() >= 6 && file.compare(file.size() - 6, 6, ".clsgs") == 0)
        throw StudioError("\"" + name +
                          "\" ends in .clsgs, as the studio's session files do; choose another "
                          "name");
    const std::string path = (std::filesystem::path(outDir) / file).string();
    refuseLinks(path);
    return path;
}

void refuseLinks(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
        throw StudioError(path + " is a symbolic link; the studio does not write through links");
}

}  // namespace clsg
