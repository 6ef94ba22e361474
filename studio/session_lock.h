// Keeps other studios off an output directory while this one saves its
// session there: a second studio on the same directory would write its own
// session over this one's, and the marks of both would be lost in turn.
#pragma once

#include <string>

namespace clsg {

class SessionLock {
public:
    static constexpr const char* kLockFile = ".studio-session.lock";

    // Creates dir when missing and takes its lock for this object's life
    // (the system lets it go when the process ends, however it ends), then
    // removes the session file's temporaries a killed studio left there.
    // Throws StudioError when another studio holds it, or it cannot be taken.
    explicit SessionLock(const std::string& dir);
    SessionLock(const SessionLock&) = delete;
    SessionLock& operator=(const SessionLock&) = delete;
    ~SessionLock();

    // Takes the lock again when its file is gone or replaced (the directory
    // removed while the studio runs), before a save: else a second studio
    // could start there and each would write over the other's session.
    // Returns true when it took it again: a session found there now is not
    // this studio's. Throws StudioError when another studio holds it.
    bool renew();

    // For a studio that did not start: lets the lock go and removes the lock
    // file and the folders this lock made, so that nothing is left of it.
    void abandon();

private:
    std::string dir_, path_;
    std::string madeFrom_;  // the outermost folder this lock made, if any
    bool madeFile_ = false;
    int fd_ = -1;
};

}  // namespace clsg
