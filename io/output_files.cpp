#include "clsg/io/output_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <system_error>

#include "clsg/io/errors.h"
#include "clsg/io/image_io.h"
#include "clsg/io/stream_write.h"
#include "clsg/platform/attention.h"

namespace clsg {

namespace fs = std::filesystem;

namespace {

// Every temporary this process made and has not yet renamed nor removed, for
// removeTemporariesNow(). Never destroyed: a signal's thread may use it to the
// very end.
struct LiveTemporaries {
    std::mutex mutex;
    std::set<std::string> names;
};

LiveTemporaries& live() {
    static LiveTemporaries* temporaries = new LiveTemporaries;
    return *temporaries;
}

void remember(const std::string& temp) {
    std::lock_guard<std::mutex> lock(live().mutex);
    live().names.insert(temp);
}

void forget(const std::string& temp) {
    std::lock_guard<std::mutex> lock(live().mutex);
    live().names.erase(temp);
}

// Removes temp (as fs::remove) and forgets it.
void removeTemporary(const std::string& temp, std::error_code& ec) {
    fs::remove(temp, ec);
    forget(temp);
}

}  // namespace

bool removeTemporariesNow() {
    LiveTemporaries& l = live();
    // Not waited for: the thread that holds it may be stopped for good.
    for (int tries = 0; !l.mutex.try_lock(); ++tries) {
        if (tries == 20) return false;
        ::usleep(10000);
    }
    bool all = true;
    for (const std::string& name : l.names)
        all = (::unlink(name.c_str()) == 0 || errno == ENOENT) && all;
    l.names.clear();
    l.mutex.unlock();
    return all;
}

OutputFiles::~OutputFiles() {
    if (committed_) return;
    std::error_code ec;
    for (const auto& [temp, final] : staged_) removeTemporary(temp, ec);
    // Newest first, so a parent is empty by the time its turn comes.
    for (auto it = createdDirs_.rbegin(); it != createdDirs_.rend(); ++it) fs::remove(*it, ec);
}

namespace {

// A folder's name as makeDir remembers it and stage() looks it up: "o/", "o//"
// and "./o" are "o".
std::string folderKey(const std::string& dir) {
    fs::path p = fs::path(dir).lexically_normal();
    if (!p.has_filename() && p.has_parent_path() && p != p.root_path()) p = p.parent_path();
    return p.string();
}

}  // namespace

void OutputFiles::makeDir(const std::string& dir, const std::string& option) {
    std::lock_guard<std::mutex> lock(mutex_);
    createDirs(dir, option.empty() ? "" : option + " " + dir + ": ");
    std::lock_guard<std::mutex> namesLock(names_->mutex);
    names_->folders.insert(folderKey(dir));
}

bool OutputFiles::madeDir(const std::string& dir) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string key = folderKey(dir);
    return std::any_of(createdDirs_.begin(), createdDirs_.end(),
                       [&](const std::string& made) { return folderKey(made) == key; });
}

void OutputFiles::createDirs(const std::string& dir, const std::string& given) {
    std::vector<fs::path> missing;
    std::error_code ec;
    // Not normalised: '..' after a link goes where the system takes it, as the
    // outputs' open() and mkdir -p do.
    fs::path from(dir);
    if (!from.has_filename() && from.has_parent_path()) from = from.parent_path();
    for (fs::path p = from; !p.empty(); p = p.parent_path()) {
        if (!fs::exists(p, ec) && fs::is_symlink(fs::symlink_status(p, ec)))
            throw FileError(given + p.string() + " is a link to " +
                            fs::read_symlink(p, ec).string() + ", which does not exist");
        if (fs::exists(p, ec)) {
            if (!fs::is_directory(p, ec))
                throw FileError(given + p.string() + " is not a directory");
            break;
        }
        missing.push_back(p);
        if (p == p.parent_path()) break;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        // One taken for missing may be there ("gone/../there" while gone is
        // missing): not made here, it is not this run's to remove.
        if (!fs::create_directory(*it, ec)) {
            if (ec)
                throw FileError(given + "cannot create directory " + it->string() + ": " +
                                ec.message());
            continue;
        }
        createdDirs_.push_back(it->string());
        // Ours to write into whatever the umask, as mkdir -p makes its parents: under
        // umask 0222 the next folder, or the outputs, could not be made in it.
        fs::permissions(*it, fs::perms::owner_all, fs::perm_options::add, ec);
    }
}

namespace {

// The start of a temporary's name for finalName, before mkostemp's six
// characters; within a file name's 255 bytes.
std::string temporaryPrefix(const std::string& finalName) {
    return "." + finalName.substr(0, 200) + ".tmp-";
}

// The process's file-creation mask, read without changing it (umask() would
// change it for every thread for a moment).
mode_t currentUmask() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("Umask:", 0) == 0)
            return static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8));
    return 022;
}

// The name two paths of one file share (for paths whose directory exists).
std::string fileKey(const std::string& path) {
    std::error_code ec;
    const fs::path p(path);
    const fs::path dir = fs::weakly_canonical(p.parent_path().empty() ? "." : p.parent_path(), ec);
    return (ec ? p.parent_path() : dir).string() + "/" + p.filename().string();
}

// Throws FileError when finalPath's name is too long to be made in its
// directory: found at commit, its rename would fail after others were done.
void checkNameLength(const std::string& finalPath) {
    const fs::path p(finalPath);
    const std::string dir = p.parent_path().empty() ? "." : p.parent_path().string();
    const long limit = ::pathconf(dir.c_str(), _PC_NAME_MAX);
    const std::size_t most = limit > 0 ? static_cast<std::size_t>(limit) : 255;
    const std::size_t length = p.filename().string().size();
    if (length > most)
        throw FileError("cannot write " + finalPath + ": its name is " + std::to_string(length) +
                        " bytes long, more than the " + std::to_string(most) +
                        " a file name may have there; nothing was written");
    if (finalPath.size() >= PATH_MAX)
        throw FileError("cannot write " + finalPath + ": the path is " +
                        std::to_string(finalPath.size()) + " bytes long, more than the " +
                        std::to_string(PATH_MAX - 1) + " a path may have; nothing was written");
}

// What commit() does with a final name.
enum class FinalName { replace, writeThrough };

// The descriptor a path names when it is one of this process's open streams
// (/dev/stdout, /dev/fd/63 of a >(...), /proc/self/fd/2), following links;
// -1 for any other path.
int streamOf(const std::string& path) {
    fs::path p(path);
    std::error_code ec;
    for (int hops = 0; hops < 8; ++hops) {
        const fs::path dir = fs::canonical(p.parent_path().empty() ? "." : p.parent_path(), ec);
        if (ec) return -1;
        const std::string name = p.filename().string();
        if (dir == fs::path("/proc") / std::to_string(::getpid()) / "fd" && !name.empty() &&
            name.size() < 10 && name.find_first_not_of("0123456789") == std::string::npos)
            return std::stoi(name);
        if (!fs::is_symlink(fs::symlink_status(p, ec))) return -1;
        const fs::path target = fs::read_symlink(p, ec);
        if (ec) return -1;
        p = target.is_absolute() ? target : dir / target;
    }
    return -1;
}

// A name that does not exist, or names a file or a link, is replaced by the
// rename; a device or pipe (or a link to one: /dev/stdout) cannot be, and
// gets the bytes written into it when the user gave the name. Throws
// FileError for a name that can take no output: a link to a directory, a
// socket or block device, a device or pipe at a name the program made, or a
// file made read-only (with no write permission for anyone, or none for this
// process: a rename would replace it regardless).
FinalName finalNameKind(const std::string& finalPath, FinalNameFrom from = FinalNameFrom::user) {
    const auto refuse = [&](const std::string& why) {
        throw FileError("cannot write " + finalPath + ": " + why + "; nothing was written");
    };
    const bool fromUser = from == FinalNameFrom::user;
    if (streamOf(finalPath) >= 0) {
        if (!fromUser)
            refuse("it is a link to one of this program's streams (as /dev/stdout), not a file");
        return FinalName::writeThrough;
    }
    struct stat named, target;
    if (::lstat(finalPath.c_str(), &named) != 0) return FinalName::replace;
    if (::stat(finalPath.c_str(), &target) != 0) return FinalName::replace;  // a dangling link
    if (S_ISDIR(target.st_mode))
        refuse(S_ISLNK(named.st_mode) ? "it is a link to a directory"
                                      : "a directory is in the way");
    if (S_ISCHR(target.st_mode) || S_ISFIFO(target.st_mode)) {
        if (!fromUser)
            refuse(std::string(S_ISLNK(named.st_mode) ? "it is a link to " : "it is ") +
                   (S_ISFIFO(target.st_mode) ? "a pipe (FIFO)" : "a device") + ", not a file");
        return FinalName::writeThrough;
    }
    if (!S_ISREG(target.st_mode)) refuse("it is a socket or block device, not a file");
    // No write permission for anyone is a choice, unless every output is made
    // so (a umask of 0222).
    static const mode_t mask = currentUmask();
    const bool readOnly = (named.st_mode & 0222) == 0 && (mask & 0222) != 0222;
    const bool notOurs =
        named.st_uid != ::geteuid() && ::access(finalPath.c_str(), W_OK) != 0 && errno == EACCES;
    if (!S_ISLNK(named.st_mode) && readOnly) refuse("the file is read-only");
    if (!S_ISLNK(named.st_mode) && notOurs) refuse("this user may not write the file");
    // In a shared directory (sticky, as /tmp is) only the name's owner, the
    // directory's owner or the superuser may replace it: the rename would
    // fail once other outputs were in place.
    const fs::path parent = fs::path(finalPath).parent_path();
    struct stat dir;
    if (::stat(parent.empty() ? "." : parent.c_str(), &dir) == 0 && (dir.st_mode & S_ISVTX) &&
        ::geteuid() != 0 && named.st_uid != ::geteuid() && dir.st_uid != ::geteuid())
        refuse(
            "it belongs to another user, in a shared directory where only its owner may "
            "replace it");
    return FinalName::replace;
}

// Opens finalPath, a device or pipe, for writing. A pipe without a reader
// is waited for, as a shell's redirection waits, but an abort request (Ctrl-C)
// ends the wait. Returns the descriptor, or -1 with errno set.
int openThrough(const std::string& finalPath) {
    for (;;) {
        const int fd = ::open(finalPath.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
            return fd;
        }
        if (errno != ENXIO) return -1;
        kfThrowExceptionOnFailure(ksys_attention_check());
        ::usleep(20000);
    }
}

// Why a write failed; a stream given up on is no fault of the system's.
std::string writeFailure(const std::error_code& ec) {
    if (ec.value() != ECANCELED) return ec.message();
    return "its reader took nothing for a second once the command was asked to stop (what it "
           "took may be cut short)";
}

// Copies temp's bytes into finalPath, a device or pipe, or one of this
// process's streams (written where it stands, after what the process has
// buffered for it); returns 0 or errno.
int writeThrough(const std::string& temp, const std::string& finalPath) {
    const int in = ::open(temp.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (in < 0) return errno;
    const int stream = streamOf(finalPath);
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    const int out = stream >= 0 ? stream : openThrough(finalPath);
    int error = out < 0 ? errno : 0;
    char buffer[1 << 16];
    for (ssize_t got = 1; error == 0 && got > 0;) {
        got = ::read(in, buffer, sizeof buffer);
        if (got < 0 && errno != EINTR) error = errno;
        // The process's own stream may have a reader that stopped reading,
        // which must not hold a command asked to stop.
        if (stream >= 0 && got > 0) error = writeUnlessStopped(out, buffer, got);
        for (ssize_t done = 0; stream < 0 && error == 0 && got > 0 && done < got;) {
            const ssize_t n = ::write(out, buffer + done, static_cast<std::size_t>(got - done));
            if (n < 0 && errno != EINTR) error = errno;
            if (n > 0) done += n;
        }
    }
    ::close(in);
    if (stream < 0 && out >= 0 && ::close(out) != 0 && error == 0) error = errno;
    return error;
}

}  // namespace

namespace {

// Where the bytes for a device or pipe wait until commit: where temporary
// files go (TMPDIR, else /tmp). A TMPDIR that names no folder is said, not
// taken for the current one.
fs::path temporaryFolder(const std::string& finalPath) {
    if (const char* given = std::getenv("TMPDIR"); given && !*given) return "/tmp";  // as unset
    std::error_code ec;
    const fs::path dir = fs::temp_directory_path(ec);
    if (!ec) return dir;
    const char* given = std::getenv("TMPDIR");
    throw FileError("cannot write " + finalPath + ": its bytes wait for it in a temporary file, " +
                    (given ? "and TMPDIR names " + std::string(given) + ", which cannot be used"
                           : "and the folder for temporary files cannot be used") +
                    ": " + ec.message() + "; nothing was written");
}

}  // namespace

bool isTemporaryOf(const std::string& fileName, const std::string& finalName) {
    const std::string prefix = temporaryPrefix(finalName);
    return fileName.size() == prefix.size() + 6 && fileName.compare(0, prefix.size(), prefix) == 0;
}

bool namesStandardOutput(const std::string& path) { return streamOf(path) == STDOUT_FILENO; }

void refuseUnwritable(const std::string& finalPath) {
    // A temporary made now, and removed, finds a folder that takes no new
    // file as the real one would, however its permissions came about.
    OutputFiles().stage(finalPath);
}

void OutputFiles::writeStaged(const std::string& finalPath, const std::string& data,
                              FinalNameFrom from) {
    if (const int e = writeFileBytes(stage(finalPath, from), data))
        throw FileError("cannot write " + finalPath + ": " + std::strerror(e));
}

std::string OutputFiles::stage(const std::string& finalPath, FinalNameFrom from) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (committed_) throw std::logic_error("OutputFiles::stage after commit: " + finalPath);
    if (finalPath.empty()) throw FileError("cannot write a file of an empty name: give one");
    {
        std::lock_guard<std::mutex> namesLock(names_->mutex);
        if (!names_->keys.insert(fileKey(finalPath)).second)
            throw FileError("two outputs would both be written to " + finalPath);
    }
    const fs::path p(finalPath);
    std::error_code ec;
    if (fs::is_directory(fs::symlink_status(p, ec)))
        throw FileError("cannot write " + finalPath +
                        ": it names a directory, not a file; nothing was written");
    if (p.filename().empty())
        throw FileError("cannot write " + finalPath +
                        ": the name ends in '/', as a directory's does, not a file's; nothing "
                        "was written");
    // Refuses what no output can replace, before the work. A device or pipe's
    // directory (/dev, /proc/self/fd) takes no temporary: it goes where
    // temporary files go.
    const bool through = finalNameKind(finalPath, from) == FinalName::writeThrough;
    if (!through) checkNameLength(finalPath);
    const fs::path tempDir = through ? temporaryFolder(finalPath) : p.parent_path();
    std::string name = (tempDir / (temporaryPrefix(p.filename().string()) + "XXXXXX")).string();
    int fd = ::mkostemp(name.data(), O_CLOEXEC);
    int error = errno;
    // A folder made for the outputs that is gone is made again: another run
    // made it too and, failing, removed it (empty, as this run had staged
    // nothing there yet), or someone removed it meanwhile.
    for (int again = 0; fd < 0 && error == ENOENT && !through && again < 3; ++again) {
        const std::string dir = folderKey(tempDir.string());
        {
            std::lock_guard<std::mutex> namesLock(names_->mutex);
            if (dir.empty() || !names_->folders.count(dir) || fs::exists(tempDir, ec)) break;
        }
        createDirs(tempDir.string(), "");
        name = (tempDir / (temporaryPrefix(p.filename().string()) + "XXXXXX")).string();
        fd = ::mkostemp(name.data(), O_CLOEXEC);
        error = errno;
    }
    // ENOENT in a folder that is there (/proc) is the folder's refusal; one
    // removed while the program stood in it is still there to stat, unlinked.
    if (fd < 0 && error == ENOENT && !through) {
        const std::string dir = tempDir.empty() ? "." : tempDir.string();
        struct stat st;
        const bool missing = ::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode);
        if (missing || st.st_nlink == 0)
            throw FileError("cannot write " + finalPath + ": " +
                            (dir == "." ? std::string("the current folder was removed")
                             : missing  ? "the folder " + dir + " does not exist"
                                        : "the folder " + dir + " was removed") +
                            "; nothing was written");
    }
    if (fd < 0)
        throw FileError("cannot create a temporary file " +
                        (through ? "in " + tempDir.string() + " for " : "next to ") + finalPath +
                        ": " + std::strerror(error) + "; nothing was written");
    // Its owner's alone until commit() gives it its mode: readable and
    // writable while it is written, whatever the umask (mkostemp's 0600 is
    // masked, and a umask of 0200 would leave it read-only).
    (void)::fchmod(fd, S_IRUSR | S_IWUSR);
    ::close(fd);
    remember(name);
    staged_.emplace_back(name, finalPath);
    if (from == FinalNameFrom::program) programNames_.insert(finalPath);
    return name;
}

void OutputFiles::protect(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return;
    std::lock_guard<std::mutex> namesLock(names_->mutex);
    names_->inputs.emplace(std::make_pair(uint64_t{st.st_dev}, uint64_t{st.st_ino}), path);
}

void OutputFiles::refuseInput(const std::string& finalPath) const {
    // A rename replaces the name itself: a link to an input is no loss.
    struct stat named;
    if (::lstat(finalPath.c_str(), &named) != 0) return;
    std::lock_guard<std::mutex> namesLock(names_->mutex);
    const auto input =
        names_->inputs.find(std::make_pair(uint64_t{named.st_dev}, uint64_t{named.st_ino}));
    if (input != names_->inputs.end())
        throw FileError("cannot write " + finalPath + ": it is the input " + input->second +
                        ", which is never written over; nothing was written");
}

namespace {

// The folders of final names from, locked (flock) while they take their
// files: another clsg putting its outputs in one of them waits, so that two
// runs writing the same names (the same images, say) leave each image's
// outputs whole from one of them, never mixed. Taken in the order of the
// folders' inode numbers, so that two commits never wait for each other. A
// lock is waited for a few seconds at most (Ctrl-C ends the wait): one that
// does not come (held by whoever started this process, as `flock DIR clsg
// ...` does) is gone without.
class FolderLocks {
public:
    FolderLocks(const std::vector<std::pair<std::string, std::string>>& staged, std::size_t from) {
        std::map<std::pair<uint64_t, uint64_t>, std::string> folders;
        for (std::size_t i = from; i < staged.size(); ++i) {
            const fs::path parent = fs::path(staged[i].second).parent_path();
            const std::string dir = parent.empty() ? "." : parent.string();
            struct stat st;
            if (::stat(dir.c_str(), &st) == 0)
                folders.emplace(std::make_pair(uint64_t{st.st_dev}, uint64_t{st.st_ino}), dir);
        }
        try {
            for (const auto& [key, dir] : folders) {
                const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
                if (fd < 0) continue;  // the rename says what is wrong there
                fds_.push_back(fd);
                if (!lock(fd)) ::close(fds_.back()), fds_.pop_back();
            }
        } catch (...) {  // Ctrl-C: the locks taken are given back
            release();
            throw;
        }
    }
    FolderLocks(const FolderLocks&) = delete;
    FolderLocks& operator=(const FolderLocks&) = delete;
    ~FolderLocks() { release(); }

private:
    // Unlocked before closed: a process forked meanwhile shares the descriptor.
    void release() {
        for (const int fd : fds_) ::flock(fd, LOCK_UN), ::close(fd);
        fds_.clear();
    }
    static bool lock(int fd) {
        for (int tries = 0; tries < 500; ++tries) {
            if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
            if (errno != EWOULDBLOCK && errno != EINTR) return false;
            kfThrowExceptionOnFailure(ksys_attention_check());
            ::usleep(10000);
        }
        return false;
    }
    std::vector<int> fds_;
};

// A file replaced keeps its permissions (a private file stays private); a new
// one has the usual mode. At best effort: the contents matter more.
void giveMode(const std::string& temp, const std::string& final) {
    static const mode_t mask = currentUmask();
    struct stat old;
    const bool replaced = ::lstat(final.c_str(), &old) == 0 && S_ISREG(old.st_mode);
    const int fd = ::open(temp.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return;
    (void)::fchmod(fd, replaced ? old.st_mode & 0777 : 0666 & ~mask);
    ::close(fd);
}

}  // namespace

void OutputFiles::commit() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (committed_) throw std::logic_error("OutputFiles::commit called twice");
    // Every final name first: nothing is renamed when one cannot take its file.
    std::vector<FinalName> kinds;
    for (const auto& [temp, final] : staged_) {
        kinds.push_back(finalNameKind(
            final, programNames_.count(final) ? FinalNameFrom::program : FinalNameFrom::user));
        refuseInput(final);
    }
    // Devices and pipes before the renames: one that fails (a full device), or
    // a pipe whose wait for its reader is ended by Ctrl-C, leaves no file in
    // place. The bytes a device took cannot be taken back; the renames can
    // wait for them.
    std::vector<std::pair<std::string, std::string>> ordered;
    for (const FinalName first : {FinalName::writeThrough, FinalName::replace})
        for (std::size_t i = 0; i < staged_.size(); ++i)
            if (kinds[i] == first) ordered.push_back(staged_[i]);
    std::stable_partition(kinds.begin(), kinds.end(),
                          [](FinalName kind) { return kind == FinalName::writeThrough; });
    staged_ = std::move(ordered);
    std::optional<FolderLocks> locks;
    for (std::size_t i = 0; i < staged_.size(); ++i) {
        const auto& [temp, final] = staged_[i];
        std::error_code ec;
        if (kinds[i] == FinalName::replace && !locks) locks.emplace(staged_, i);
        if (kinds[i] == FinalName::writeThrough) {
            if (const int e = writeThrough(temp, final))
                ec = std::error_code(e, std::generic_category());
            else {
                std::error_code ignored;  // the bytes are written; a temporary left is no failure
                removeTemporary(temp, ignored);
            }
        } else {
            giveMode(temp, final);
            fs::rename(temp, final, ec);
            if (!ec) forget(temp);
        }
        if (ec)
            throw FileError("cannot write " + final + ": " + writeFailure(ec) +
                            (i == 0
                                 ? "; nothing was written"
                                 : "; " + std::to_string(i) + " of " +
                                       std::to_string(staged_.size()) + " outputs were written") +
                            removeTemporaries(i));
    }
    committed_ = true;
    // A folder made for outputs that none took (every image of a run failed,
    // say) goes: rmdir leaves one that holds anything.
    for (auto it = createdDirs_.rbegin(); it != createdDirs_.rend(); ++it) ::rmdir(it->c_str());
}

std::string OutputFiles::removeTemporaries(std::size_t from) {
    std::vector<std::string> kept;
    for (std::size_t i = from; i < staged_.size(); ++i) {
        std::error_code ec;
        removeTemporary(staged_[i].first, ec);
        if (ec && fs::exists(fs::symlink_status(staged_[i].first)))
            kept.push_back(staged_[i].first);
    }
    if (kept.empty()) return "";
    return "; the temporary file " + kept.front() +
           (kept.size() > 1 ? " and " + std::to_string(kept.size() - 1) + " more" : "") +
           " could not be removed";
}

}  // namespace clsg
