// Keeps a command's console lines out of an output written to standard
// output: with `clsg train /dev/stdout ...` or `--summary /dev/stdout` the
// lines for people go to standard error, and the output's bytes stay whole.
#pragma once

#include <initializer_list>
#include <iosfwd>
#include <string>

namespace clsg {

class ConsoleAside {
public:
    // Sends std::cout to standard error while this lives when one of outputs
    // (empty ones are no output) names standard output.
    explicit ConsoleAside(std::initializer_list<std::string> outputs);
    ~ConsoleAside();
    ConsoleAside(const ConsoleAside&) = delete;
    ConsoleAside& operator=(const ConsoleAside&) = delete;

private:
    std::streambuf* saved_ = nullptr;
};

}  // namespace clsg
