// Keeping the studio's writes inside its output directory. The page names
// files only by a plain name; anything that could reach elsewhere is refused.
#pragma once

#include <string>

namespace clsg {

// outDir/name for a name of 1 to 128 letters, digits, '_', '-' and '.' that
// does not start with '.'; the extension is appended unless name already
// ends with it. Throws StudioError for any other name (separators, "..",
// absolute paths), for a name ending in .clsgs (the session files') and when
// the path exists as a symbolic link.
std::string confinedPath(const std::string& outDir, const std::string& name,
                         const std::string& extension);

// Throws StudioError when path exists as a symbolic link.
void refuseLinks(const std::string& path);

}  // namespace clsg
