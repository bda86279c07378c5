// Every allocation of the program comes through here, so that memory that
// cannot be obtained ends the program with the allocation report, naming the
// number of bytes asked for, instead of an exception nobody handles.
#include <cstdlib>
#include <new>

#include "support/fatal.h"

namespace {

void* Allocate(std::size_t bytes) {
  if (void* p = std::malloc(bytes != 0 ? bytes : 1)) return p;
  gf::FatalOutOfMemory(bytes);
}

}  // namespace

void* operator new(std::size_t bytes) { return Allocate(bytes); }
void* operator new[](std::size_t bytes) { return Allocate(bytes); }
// The nothrow forms keep their contract: their callers check for null.
void* operator new(std::size_t bytes, const std::nothrow_t&) noexcept {
  return std::malloc(bytes != 0 ? bytes : 1);
}
void* operator new[](std::size_t bytes, const std::nothrow_t&) noexcept {
  return std::malloc(bytes != 0 ? bytes : 1);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
