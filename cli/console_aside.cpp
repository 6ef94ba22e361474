#include "cli/console_aside.h"

#include <iostream>

#include "clsg/io/output_files.h"

namespace clsg {

ConsoleAside::ConsoleAside(std::initializer_list<std::string> outputs) {
    for (const std::string& output : outputs)
        if (!output.empty() && namesStandardOutput(output)) {
            std::cout.flush();
            saved_ = std::cout.rdbuf(std::cerr.rdbuf());
            return;
        }
}

ConsoleAside::~ConsoleAside() {
    if (saved_) std::cout.rdbuf(saved_);
}

}  // namespace clsg
