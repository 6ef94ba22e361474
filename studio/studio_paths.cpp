#include "studio/studio_paths.h"

#include <sys/stat.h>

#include <filesystem>

#include "clsg/platform/str.h"
#include "studio/studio_session.h"

namespace clsg {

std::string confinedPath(const std::string& outDir, const std::string& name,
                         const std::string& extension) {
    constexpr std::size_t kLongest = 128;
    const bool plain = !name.empty() && name[0] != '.' &&
                       name.find_first_not_of(
                           "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-.") ==
                           std::string::npos;
    // Shown safe: a name may hold any byte, a NUL too.
    const std::string shown = "\"" + kfPrintable(name, 64) + "\"";
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
