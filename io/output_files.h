// All-or-nothing output: files are written under temporary names and renamed
// to their real names only when every one of them is complete. Until commit()
// the real names are untouched; without it, the destructor removes the
// temporary files and any directory this object created.
//
// Each temporary is created anew in its final directory (exclusively, with a
// random name, never through an existing file or link). commit() checks every
// final name before it renames the first file, so a directory in the way
// fails the whole commit with nothing renamed. Only a rename that fails after
// these checks (the directory changed meanwhile) can leave the outputs before
// it in place; the error says so. A file replaced keeps its permissions; a
// link at a final name is replaced by the file, its target left as it was.
// A device or pipe at a final name the user gave (or a link to one, as
// /dev/stdout is) is written into at commit instead, before the first rename:
// one that fails leaves no file renamed. Refused at stage() and again at
// commit(): a link to a directory, a socket or block device, a file that is
// read-only for this process, and a device or pipe at a name the program
// made. The renames hold a lock (flock) on the final names' folders, waited
// for a few seconds at most: two processes putting outputs of the same names
// in one folder do so one set at a time.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace clsg {

// Whether fileName is a temporary that OutputFiles made for finalName (left
// behind only when the process was killed while writing it).
bool isTemporaryOf(const std::string& fileName, const std::string& finalName);

// Whether path names this process's standard output (/dev/stdout,
// /proc/self/fd/1, or a link to one of them).
bool namesStandardOutput(const std::string& path);

// Removes every temporary file this process staged and has not yet renamed
// nor removed, from any OutputFiles: for a process about to end at once (a
// second Ctrl-C) without unwinding. Gives up when another thread holds the
// list for more than about 0.2 s. Returns whether every one is gone.
bool removeTemporariesNow();

// Throws FileError, as stage() and commit() would, when finalPath cannot be
// written: a read-only file, a directory or a socket in the way, or a folder
// that takes no new file (a temporary is made there and removed). For an
// output written only at the end of long work, checked before it starts.
void refuseUnwritable(const std::string& finalPath);

// Who chose a final name. A device or pipe at a name the user gave
// (--summary /dev/stdout) is what they asked to write into; one at a name the
// program made in a folder (an image's NAME-labels.png in --out) was left
// there, and writing into it would hang on a pipe or lose the output.
enum class FinalNameFrom { user, program };

class OutputFiles {
public:
    OutputFiles() : names_(std::make_shared<Names>()) {}
    // Commits on its own, but shares parent's final names: a name staged by
    // either is refused by both.
    explicit OutputFiles(const OutputFiles& parent, bool /*shareNames*/) : names_(parent.names_) {}
    OutputFiles(const OutputFiles&) = delete;
    OutputFiles& operator=(const OutputFiles&) = delete;
    ~OutputFiles();

    // Creates dir and its missing parents (remembering which it created).
    // Throws FileError when that fails or a path is not a directory; the
    // message starts with option and dir when an option (say "--out") gave it.
    // A file staged later in dir finds it again if it is gone (another
    // process's run, failed, removed the folder it had made).
    void makeDir(const std::string& dir, const std::string& option = "");

    // Whether makeDir created dir (not only found it).
    bool madeDir(const std::string& dir) const;

    // Creates an empty temporary file for finalPath's contents and returns its
    // name; write it without following links (the writers of image_io.h and
    // tool_file.h do). Throws FileError when finalPath is already staged (two
    // outputs of one name), its name is too long for its directory, or the
    // file cannot be created, or, for a name from the program, a device or
    // pipe is there. Thread-safe.
    std::string stage(const std::string& finalPath, FinalNameFrom from = FinalNameFrom::user);

    // Stages finalPath and writes data into its temporary, not following a
    // link put at the temporary's name meanwhile. Throws FileError naming
    // finalPath and the reason when the write fails.
    void writeStaged(const std::string& finalPath, const std::string& data,
                     FinalNameFrom from = FinalNameFrom::user);

    // Remembers path's file as an input of this command: commit() renames
    // no output over it (nor over another name of it), throwing FileError
    // instead. Shared with the objects that share the final names. A path
    // that does not exist is ignored.
    void protect(const std::string& path);
    // Throws FileError when finalPath names a protected input.
    void refuseInput(const std::string& finalPath) const;

    // Renames every staged file to its final name, and removes the folders
    // makeDir created that are still empty. An object commits once:
    // stage() and commit() afterwards throw std::logic_error (a file staged
    // then would never be committed nor removed).
    void commit();

private:
    // Removes the temporary files from staged_[from] on; those that could not
    // be, as the tail of a message ("" when none).
    std::string removeTemporaries(std::size_t from);
    // Makes the missing dirs of dir (remembering them); throws FileError.
    void createDirs(const std::string& dir, const std::string& given);

    struct Names {
        std::mutex mutex;
        std::set<std::string> keys;
        std::map<std::pair<uint64_t, uint64_t>, std::string> inputs;  // (device, inode) -> path
        std::set<std::string> folders;  // made (or found) by makeDir, lexically normal
    };
    std::shared_ptr<Names> names_;
    mutable std::mutex mutex_;
    std::vector<std::pair<std::string, std::string>> staged_;  // temporary, final
    std::vector<std::string> createdDirs_;                     // in creation order
    std::set<std::string> programNames_;  // final names staged as FinalNameFrom::program
    bool committed_ = false;
};

}  // namespace clsg
