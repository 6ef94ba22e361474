// The --diag folder of one clsg train or run, held for the command's life.
#pragma once

#include <string>

namespace clsg {

// Takes dir (which must exist) for this command's diagnostic records: two
// commands writing records of the same names into one folder would mix them
// on each other's pages. Also refuses a folder whose index.html is not a
// page of records, so that a folder of the user's own (a web site, say) is
// not written into. Throws CliError saying which. The lock is a hidden
// file in dir, removed again when this object goes, and with it dir when
// made is true (the command made it) and nothing else is there: a command
// that wrote no record leaves no folder.
class DiagFolder {
public:
    explicit DiagFolder(const std::string& dir, bool made = false);
    DiagFolder(const DiagFolder&) = delete;
    DiagFolder& operator=(const DiagFolder&) = delete;
    ~DiagFolder();

    static constexpr const char* kLockFile = ".clsg-diag.lock";

private:
    std::string dir_, path_;
    bool made_;
    int fd_ = -1;
};

}  // namespace clsg
