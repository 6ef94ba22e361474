// The session files of an output directory: the current one, the one the
// studio found at its start (moved aside at its first change), and older
// ones, so that a studio opened on other images loses nobody's marks.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace clsg {

constexpr const char* kSessionFile = "studio-session.clsgs";
constexpr const char* kPreviousSessionFile = "studio-session.previous.clsgs";
// Older sessions kept, each named studio-session.YYYYMMDD-HHMMSS.clsgs
// (local time of when it was moved aside; -0002, -0003 ... on a clash).
constexpr std::size_t kOlderSessionsKept = 20;

// Moves dir's session file aside as the previous one before a new session
// writes its own; the previous one becomes the newest of the older ones, and
// the oldest beyond kOlderSessionsKept are deleted. When the previous one's
// name cannot be had, the session file goes among the older ones. False when
// the session file could not be moved at all (it must then not be replaced);
// true when moved or when there is none.
bool moveSessionAside(const std::string& dir);

// The session files of dir a studio may offer marks from, newest first: the
// current one, the previous one, then the older ones (those that exist).
std::vector<std::string> sessionFilesNewestFirst(const std::string& dir);

}  // namespace clsg
