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

}  // namespace clsg
