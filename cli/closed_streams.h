// Standard streams the caller closed.
#pragma once

#include <string>

namespace clsg {

// A standard stream the caller closed would go to the next file opened (an
// output's temporary, the studio's lock) and take the lines meant for it:
// each gets a device first, standard output one that takes nothing, so that
// writing to it fails and is said. Call first thing in main.
void holdClosedStreams();

// said, a failure to write, with the full disk that the device standing for a
// closed standard output reports said as what it is.
std::string withClosedStdoutSaid(std::string said);

}  // namespace clsg
