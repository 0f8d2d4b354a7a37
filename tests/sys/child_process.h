// A process of the test's own, so that a pending file can belong to a copy
// that still runs and to one that has ended.
#pragma once

#include <cstdint>

namespace apptest {

// Starts a process that idles until EndChild; returns its id.
std::uint32_t StartChild();
void EndChild();

// A process that has ended but that this one still holds (a zombie not
// waited for; a handle still open); returns its id. LetGoOfHeld lets go.
std::uint32_t HeldEndedChild();
void LetGoOfHeld();

// Whether the platform gives a process id to a new process soon after the
// old one ended (Windows does; Linux counts up to its limit first), so that
// a running process with the id is taken for the owner of a pending file
// only when it started before the file was last written.
extern const bool kProcessIdsComeBackSoon;

}  // namespace apptest
