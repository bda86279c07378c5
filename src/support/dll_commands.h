// Routines of system DLLs bound by name at their first use, so that the
// program starts even where a library is missing and says which one it was.
#pragma once

#include <cstdint>
#include <string_view>

#include "support/text.h"

namespace gf {

// Entry 0 of the table: URLMON.DLL's URLDownloadToFileA.
inline constexpr int32_t kUrlDownloadToFileEntry = 0;

// Adds {library, routine} to the table (the texts must live as long as the
// program) and returns the new entry's number. Windows only.
int32_t DeclareDllCommand(const char* library, const char* routine);

// The routine's address: bound once, from the system directory only, and kept.
// A library or routine that cannot be found ends the program with a report
// naming both. Windows only.
void* BindDllCommand(int32_t entry);

// Frees every library the table holds and forgets the addresses; the shutdown
// step registered by InitializeServices. Windows only.
void ReleaseDllCommands();

// The report's text for a routine that could not be bound, in the platform's
// narrow encoding. Windows only.
Text DllBindMessage(std::string_view library, std::string_view routine);

}  // namespace gf

#if defined(__i386__)
// Calls routine(args[0], ..., args[4]) as a stdcall routine, stores its EAX in
// *result and returns how many bytes the stack pointer stayed below where it
// was before the arguments were pushed (0 when the convention matched; a cdecl
// routine leaves 20). The stack pointer is put back either way.
extern "C" int32_t gf_call_stdcall5(const void* routine, const uint32_t* args, uint32_t* result);
#endif
