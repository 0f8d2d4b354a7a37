// Failures of POSIX calls, as the rest of the program reports them.
#pragma once

#include <cerrno>
#include <cstring>
#include <string>

#include "sys/failure.h"

namespace pavo::sys {

// Throws pavo::Failure naming the call and errno's message.
[[noreturn]] inline void ThrowErrno(const std::string& what) {
  throw Failure(what + ": " + std::strerror(errno));
}

}  // namespace pavo::sys
