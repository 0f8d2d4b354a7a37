#include "sys/module_linux.h"

#include <dlfcn.h>

#include "sys/failure.h"

namespace pavo::sys {

namespace {

std::string LastError() {
  const char* e = dlerror();
  return e ? e : "unknown error";
}

}  // namespace

// Its own namespace of symbols (RTLD_LOCAL), so that nothing it brings along
// can stand in for a symbol of ours or of a library loaded later.
Module::Module(const char* name) : name_(name), handle_(dlopen(name, RTLD_NOW | RTLD_LOCAL)) {
  if (!handle_) throw Failure("cannot load " + name_ + ": " + LastError());
}

Module::Module(std::initializer_list<const char*> names) : handle_(nullptr) {
  std::string errors;
  for (const char* name : names) {
    name_ = name;
    handle_ = dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (handle_) return;
    errors += (errors.empty() ? "" : "; ") + LastError();
  }
  throw Failure("cannot load " + errors);
}

Module::~Module() { dlclose(handle_); }

void* Module::Address(const char* symbol) const {
  dlerror();
  void* p = dlsym(handle_, symbol);
  if (!p) throw Failure(name_ + " has no " + symbol + ": " + LastError());
  return p;
}

}  // namespace pavo::sys
