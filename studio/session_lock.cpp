#include "studio/session_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <utility>
#include <vector>

#include "clsg/io/output_files.h"
#include "studio/session_files.h"
#include "studio/studio_session.h"

namespace clsg {

namespace {

// dir from the root, without a closing '/': its parents are the folders above it.
// Not normalised: '..' after a link goes where the system takes it, as open() will.
std::filesystem::path absoluteDir(const std::string& dir) {
    std::error_code ec;
    std::filesystem::path p = std::filesystem::absolute(dir, ec);
    return p.has_filename() ? p : p.parent_path();
}

}  // namespace

SessionLock::SessionLock(const std::string& dir)
    : dir_(dir), path_((std::filesystem::path(dir) / kLockFile).string()) {
    namespace fs = std::filesystem;
    struct stat st;
    std::vector<fs::path> missing;  // from the folder up to the first that is there
    for (fs::path p = absoluteDir(dir); p != p.parent_path() && ::lstat(p.c_str(), &st) != 0;
         p = p.parent_path())
        missing.push_back(p);
    if (!missing.empty()) madeFrom_ = missing.back().string();
    // Made one by one, each the studio's to write into whatever the umask (under umask 0222
    // the next could not be made in it), as mkdir -p makes its parents.
    std::error_code ec;
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (!fs::create_directory(*it, ec) && ec)
            throw StudioError("cannot create " + dir + ": " + ec.message());
        fs::permissions(*it, fs::perms::owner_all, fs::perm_options::add, ec);
    }
    const std::string& path = path_;
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    madeFile_ = fd_ >= 0;
    if (fd_ < 0 && errno == EEXIST) fd_ = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd_ < 0)
        throw StudioError("cannot open " + path + " to keep other studios off " + dir + ": " +
                          std::strerror(errno));
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd_);
        if (error == EWOULDBLOCK)
            throw StudioError("another clsg studio saves its session in " + dir +
                              "; stop it, or give this one another --out");
        throw StudioError("cannot lock " + path + ": " + std::strerror(error));
    }
    // Held, so no other studio writes here: a session file's temporaries are
    // what a killed studio left behind (it leaves no other trace).
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        if (isTemporaryOf(it->path().filename().string(), kSessionFile) &&
            it->is_regular_file(ec) && !it->is_symlink(ec))
            fs::remove(it->path(), ec);
}

SessionLock::~SessionLock() { ::close(fd_); }

void SessionLock::abandon() {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (madeFile_) fs::remove(path_, ec);
    ::close(fd_);
    fd_ = -1;
    if (madeFrom_.empty()) return;
    // Only folders left empty go: fs::remove takes no folder with files in it.
    for (fs::path p = absoluteDir(dir_); p.string().size() >= madeFrom_.size() && fs::remove(p, ec);
         p = p.parent_path()) {
    }
}

bool SessionLock::renew() {
    struct stat held, named;
    if (::fstat(fd_, &held) == 0 && ::stat(path_.c_str(), &named) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino)
        return false;
    try {
        SessionLock fresh(dir_);
        std::swap(fd_, fresh.fd_);
        return true;
    } catch (const StudioError& e) {
        throw StudioError(dir_ + " was removed or replaced while this studio ran, and " +
                          "its lock could not be taken again (" + e.what() + ")");
    }
}

}  // namespace clsg
