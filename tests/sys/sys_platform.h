// What the sys tests need of the platform: processes that still run or have
// ended, and names that lead to something other than a file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pavo::test {

// A process that idles until EndChild; its id.
std::uint32_t StartChild();
void EndChild();
// A process that has ended but whose id this one still holds (a zombie not
// waited for; a handle kept open) until LetGoOfHeld.
std::uint32_t HeldEndedChild();
void LetGoOfHeld();
// Whether a new process may get an ended one's id at once (Windows), so that
// a running process only owns a file written after it started.
extern const bool kProcessIdsComeBackSoon;

// Names in dir (or the system's) that a read would wait on for ever: a pipe
// nobody writes to, a device that never ends.
std::vector<std::string> EndlessNames(const std::string& dir);

}  // namespace pavo::test
