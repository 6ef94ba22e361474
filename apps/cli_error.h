// The command-line tool's own failures, and one-line descriptions of any
// failure.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>

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

// The message of e on one line; a text of our own for the library's errors
// that carry no message.
std::string describeError(const std::exception& e);
