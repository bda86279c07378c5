// Started by services_win32_test from a copy placed in a chosen folder. Writes,
// one per line, to the file its first argument names: what InitializeServices
// recorded as the program directory, the current directory it set, and with
// a second argument "bind", the file of the module URLDownloadToFileA was
// bound from.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "support/dll_commands.h"
#include "support/services.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  gf::InitializeServices();
  char current[MAX_PATH];
  const DWORD n = GetCurrentDirectoryA(sizeof current, current);
  char module[MAX_PATH] = "";
  if (argc > 2 && std::strcmp(argv[2], "bind") == 0) {
    HMODULE bound = nullptr;
    GetModuleHandleExA(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        static_cast<const char*>(gf::BindDllCommand(gf::kUrlDownloadToFileEntry)), &bound);
    if (bound == nullptr || GetModuleFileNameA(bound, module, sizeof module) == 0) return 5;
  }
  std::FILE* out = std::fopen(argv[1], "wb");
  if (out == nullptr) return 3;
  std::fprintf(out, "%s\n%.*s\n%s\n", gf::ProgramDirectory().c_str(), static_cast<int>(n), current,
               module);
  return std::fclose(out) == 0 ? 0 : 4;
}
