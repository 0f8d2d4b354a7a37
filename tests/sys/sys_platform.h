// Processes of the test's own, whose pending files a start must tell apart.
#pragma once

#include <cstdint>

namespace pavo::test {

struct Children {
  std::uint32_t ended, running, held;  // held: ended, its id held (a zombie, an open handle) until EndChildren
};
Children StartChildren();
void EndChildren();
// Whether an ended process's id may come back at once (Windows): a running
// process then owns only a file written after it started.
extern const bool kProcessIdsComeBackSoon;

}  // namespace pavo::test
