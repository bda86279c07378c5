// The program's exit routines and shutdown steps.
//
// Exit routines run once each, in the order of their registration, at the
// normal end only; a fatal error drops them. Shutdown steps (releasing bound
// libraries, ending OLE) run at both ends, after the exit routines.
#pragma once

namespace gf {

using Routine = void (*)();

// Appends routine unless it is registered already.
void RegisterExitRoutine(Routine routine);
// Runs the exit routines in order and empties the list.
void RunExitRoutines();
// Empties the list without calling anything.
void DropExitRoutines();

// Appends a shutdown step unless it is registered already.
void RegisterShutdownStep(Routine step);
// Runs the shutdown steps in order and empties the list.
void RunShutdownSteps();

}  // namespace gf
