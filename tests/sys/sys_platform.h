// Processes of the test's own, so that a pending file can belong to a copy
// that still runs or to one that has ended, and names that a read would wait
// on for ever.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pavo::test {

std::uint32_t StartChild();  // idles until EndChild
void EndChild();
std::uint32_t HeldEndedChild();  // ended, but its id held (a zombie, an open handle) until LetGoOfHeld
void LetGoOfHeld();
// Whether a new process may get an ended one's id at once (Windows): a
// running process then owns only a file written after it started.
extern const bool kProcessIdsComeBackSoon;
// A pipe nobody writes to, a device that never ends.
std::vector<std::string> EndlessNames(const std::string& dir);

}  // namespace pavo::test
