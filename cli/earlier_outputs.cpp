#include "cli/earlier_outputs.h"

#include <sys/stat.h>

#include <filesystem>

namespace clsg {

std::vector<EarlierOutput> earlierFiles(const std::string& dir,
                                        const std::vector<std::string>& names) {
    const std::filesystem::path base = dir.empty() ? "." : dir;
    std::vector<EarlierOutput> found;
    for (const std::string& name : names) {
        struct stat s;  // files only: a folder in the way is no output
        const std::string path = (base / name).string();
        if (::lstat(path.c_str(), &s) == 0 && S_ISREG(s.st_mode))
            found.push_back({path, s.st_dev, s.st_ino});
    }
    return found;
}

std::string earlierOutputsNote(const std::string& input,
                               const std::vector<EarlierOutput>& earlier) {
    std::vector<std::string> found;
    for (const EarlierOutput& e : earlier) {
        struct stat s;
        if (::lstat(e.path.c_str(), &s) == 0 && S_ISREG(s.st_mode) && s.st_dev == e.device &&
            s.st_ino == e.inode)
            found.push_back(e.path);
    }
    if (found.empty()) return "";
    const std::size_t more = found.size() - 1;
    return found.front() + (more ? " and " + std::to_string(more) + " more" : "") +
           (more ? " are" : " is") + " from an earlier run, not this one's outputs of " + input;
}

}  // namespace clsg
