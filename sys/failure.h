// What every operation of the program throws when it cannot do its work: a
// platform call that fails, a file that is not what it must be.
#pragma once

#include <stdexcept>

namespace pavo {

class Failure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace pavo
