// Files an earlier run left under the names of an input's outputs: should
// the input fail, they stay, and a note says they are not this run's.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace clsg {

// A file as found before this run wrote anything for its input.
struct EarlierOutput {
    std::string path;
    dev_t device;
    ino_t inode;
};

// The regular files among names in dir ("" for the current directory).
std::vector<EarlierOutput> earlierFiles(const std::string& dir,
                                        const std::vector<std::string>& names);

// The note for an input (as shown) that failed, naming the earlier outputs
// still there as they were: a commit that failed half-way replaced some ("" when
// none).
std::string earlierOutputsNote(const std::string& input, const std::vector<EarlierOutput>& earlier);

}  // namespace clsg
