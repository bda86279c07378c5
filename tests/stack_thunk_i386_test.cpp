// The stack check of the i686 DLL calls, on i386 Linux (this machine runs no
// 32-bit Windows code): routines whose calling convention does or does not
// match the stdcall the thunk assumes. Built with -fomit-frame-pointer, so a
// thunk that failed to put the stack pointer back would make the caller
// return through a wrong address and crash.
#include <cstdint>
#include <cstdio>

#include "support/dll_commands.h"

namespace {

// Each argument weighted differently, so swapped or lost arguments show.
uint32_t Weighted(uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t e) {
  return a + 10 * b + 100 * c + 1000 * d + 10000 * e;
}

__attribute__((stdcall, noinline)) uint32_t Stdcall5(uint32_t a, uint32_t b, uint32_t c, uint32_t d,
                                                     uint32_t e) {
  return Weighted(a, b, c, d, e);
}

// The caller pops: called as stdcall, 20 bytes stay on the stack.
__attribute__((cdecl, noinline)) uint32_t Cdecl5(uint32_t a, uint32_t b, uint32_t c, uint32_t d,
                                                 uint32_t e) {
  return Weighted(a, b, c, d, e);
}

// Declared with too few arguments: pops 12 of the 20 bytes.
__attribute__((stdcall, noinline)) uint32_t Stdcall3(uint32_t a, uint32_t b, uint32_t c) {
  return Weighted(a, b, c, 0, 0);
}

// Declared with too many: pops 28, 8 more than were pushed.
__attribute__((stdcall, noinline)) uint32_t Stdcall7(uint32_t a, uint32_t b, uint32_t c, uint32_t d,
                                                     uint32_t e, uint32_t, uint32_t) {
  return Weighted(a, b, c, d, e);
}

struct Case {
  const char* what;
  const void* routine;
  int32_t imbalance;
  uint32_t result;
};

// noinline with a canary in its own frame: its return checks the stack pointer
// the hard way.
__attribute__((noinline)) bool Run(const Case& c) {
  volatile uint32_t canary = 0xC0FFEE;
  const uint32_t args[5] = {1, 2, 3, 4, 5};
  uint32_t result = 0;
  const int32_t imbalance = gf_call_stdcall5(c.routine, args, &result);
  bool ok = true;
  if (imbalance != c.imbalance) {
    std::fprintf(stderr, "%s: imbalance %d, expected %d\n", c.what, imbalance, c.imbalance);
    ok = false;
  }
  if (result != c.result) {
    std::fprintf(stderr, "%s: result %u, expected %u\n", c.what, result, c.result);
    ok = false;
  }
  if (canary != 0xC0FFEE) {
    std::fprintf(stderr, "%s: the caller's frame was overwritten\n", c.what);
    ok = false;
  }
  return ok;
}

}  // namespace

int main() {
  const Case cases[] = {
      {"stdcall with five arguments", reinterpret_cast<const void*>(&Stdcall5), 0, 54321},
      {"cdecl called as stdcall", reinterpret_cast<const void*>(&Cdecl5), 20, 54321},
      {"stdcall taking three", reinterpret_cast<const void*>(&Stdcall3), 8, 321},
      {"stdcall taking seven", reinterpret_cast<const void*>(&Stdcall7), -8, 54321},
  };
  int passed = 0;
  int failed = 0;
  // Repeated, so that a stack pointer drifting by a little each call adds up.
  for (int round = 0; round < 1000; ++round) {
    for (const Case& c : cases) {
      const bool ok = Run(c);
      if (round == 0) ok ? ++passed : ++failed;
      if (!ok && round > 0) {
        std::fprintf(stderr, "%s failed in round %d\n", c.what, round);
        ++failed;
      }
    }
  }
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
