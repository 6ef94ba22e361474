// The command-line tool's own failures.
#pragma once

#include <stdexcept>
#include <string>

#include "clsg/io/errors.h"

namespace clsg {

class CliError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A command line that asks for something impossible (exit status 2, with a
// pointer to the command's --help); every other failure is exit status 1.
class UsageError : public CliError {
public:
    using CliError::CliError;
};

// why, a file error, with its closing "; nothing was written" (which may be
// followed by what became of a temporary) said as instead: a command that
// writes several files tells which were lost. The words inside a file name
// are left alone.
inline std::string saidOfWhatWasWritten(std::string why, const std::string& instead) {
    const std::string nothing = "; nothing was written", temporary = "; the temporary file ";
    for (std::size_t at = why.rfind(nothing); at != std::string::npos;
         at = at == 0 ? std::string::npos : why.rfind(nothing, at - 1)) {
        const std::size_t end = at + nothing.size();
        if (end == why.size() || why.compare(end, temporary.size(), temporary) == 0)
            return why.replace(at, nothing.size(), instead);
    }
    return why;
}

}  // namespace clsg
