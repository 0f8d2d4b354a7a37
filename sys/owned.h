// A resource held through a pointer-like handle and given back by its
// platform's function when its owner goes, on every path.
#pragma once

#include <memory>
#include <type_traits>

namespace pavo::sys {

template <auto Free>
struct FreeWith {
  template <class H>
  void operator()(H h) const {
    Free(h);
  }
};

// A handle of type H (a pointer type) given back by Free; empty when null.
template <class H, auto Free>
using Owned = std::unique_ptr<std::remove_pointer_t<H>, FreeWith<Free>>;

}  // namespace pavo::sys
