// The step-level failure policy shared by the start-up and the daily run.
//
// Each numbered step of a sequence is guarded on its own: a failure inside a
// step abandons only the rest of that step, a value the step was to assign
// keeps what it had, and the sequence goes on with the next step. A
// conditional step whose test itself fails takes its first branch. Nothing
// is shown, logged or retried.
#pragma once

#include "sys/failure.h"

namespace pavo {

// Runs one step; any failure inside it is absorbed. Returns whether the step
// ran to its end (callers rarely need to know).
template <class Body>
bool Step(Body&& body) noexcept {
  try {
    body();
    return true;
  } catch (...) {
    return false;
  }
}

// The test of a conditional step: a test that fails counts as holding, so the
// step's first branch is entered.
template <class Test>
bool Holds(Test&& test) noexcept {
  try {
    return static_cast<bool>(test());
  } catch (...) {
    return true;
  }
}

}  // namespace pavo
