#include "cli/diag_folder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "cli/cli_error.h"
#include "cli/diag_html.h"

namespace clsg {

namespace {

// Why dir's index.html may not be replaced: "" when it is missing, or a page
// of records (as every version of clsg has begun them). Only a file is read:
// a pipe there would be waited on.
std::string whyNotOurs(const std::string& dir) {
    const std::string page = (std::filesystem::path(dir) / "index.html").string();
    struct stat st;
    if (::stat(page.c_str(), &st) != 0) return "";
    if (!S_ISREG(st.st_mode)) return "its index.html is not a file";
    const std::string head = diagPageStart();
    std::string start(head.size(), '\0');
    std::ifstream in(page, std::ios::binary);
    if (in.read(start.data(), static_cast<std::streamsize>(start.size())) && start == head)
        return "";
    return "its index.html is not a page of diagnostic records";
}

}  // namespace

DiagFolder::DiagFolder(const std::string& dir, bool made)
    : dir_(dir), path_((std::filesystem::path(dir) / kLockFile).string()), made_(made) {
    if (const std::string why = whyNotOurs(dir); !why.empty())
        throw CliError("--diag " + dir + ": " + why +
                       ", and is never written over; give another "
                       "--diag");
    // Locked, then checked to be the file at the name still: one removed by a
    // command that just finished holds no one off.
    for (;;) {
        fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd_ < 0)
            throw CliError("--diag " + dir + ": cannot create " + path_ +
                           " to keep other commands' records out: " + std::strerror(errno));
        if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            if (error == ENOLCK || error == EOPNOTSUPP || error == ENOSYS) {
                // A file system without locks (some network mounts): as
                // the output folders go without, so do the records.
                ::close(fd_);
                fd_ = -1;
                ::unlink(path_.c_str());
                return;
            }
            ::close(fd_);
            fd_ = -1;
            throw CliError("--diag " + dir + ": " +
                           (error == EWOULDBLOCK
                                ? std::string("another clsg command writes its diagnostic records "
                                              "there; give this one another --diag")
                                : "cannot lock " + path_ + ": " + std::strerror(error)));
        }
        struct stat held, named;
        if (::fstat(fd_, &held) == 0 && ::stat(path_.c_str(), &named) == 0 &&
            held.st_dev == named.st_dev && held.st_ino == named.st_ino)
            return;
        ::close(fd_);
    }
}

DiagFolder::~DiagFolder() {
    if (fd_ < 0) return;
    ::unlink(path_.c_str());
    ::close(fd_);
    if (made_) ::rmdir(dir_.c_str());  // only when empty
}

}  // namespace clsg
