#include "support/runtime.h"

#include <algorithm>
#include <array>
#include <cstddef>

namespace gf {
namespace {

// Fixed capacity: the lists must not allocate, since a fatal out-of-memory
// report runs the shutdown steps.
struct RoutineList {
  std::array<Routine, 16> items{};
  size_t count = 0;

  void Add(Routine r) {
    if (std::find(items.begin(), items.begin() + count, r) != items.begin() + count) return;
    if (count < items.size()) items[count++] = r;
  }
  void RunAndClear() {
    // A routine may register another; run until the list is drained.
    for (size_t i = 0; i < count; ++i) items[i]();
    count = 0;
  }
};

RoutineList& ExitRoutines() {
  static RoutineList list;
  return list;
}

RoutineList& ShutdownSteps() {
  static RoutineList list;
  return list;
}

}  // namespace

void RegisterExitRoutine(Routine routine) { ExitRoutines().Add(routine); }
void RunExitRoutines() { ExitRoutines().RunAndClear(); }
void DropExitRoutines() { ExitRoutines().count = 0; }

void RegisterShutdownStep(Routine step) { ShutdownSteps().Add(step); }
void RunShutdownSteps() { ShutdownSteps().RunAndClear(); }

}  // namespace gf
