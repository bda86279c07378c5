// What only the Windows services do: the late binding of DLL routines, the
// file sharing of ReadWholeFile, double-byte program paths and downloads from
// a thread of its own. Runs under wine64 with the code page 936.
#include <windows.h>
// After windows.h, which it builds on.
#include <objbase.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "image_host_process.h"
#include "support/dll_commands.h"
#include "support/fatal.h"
#include "support/services.h"
#include "support/ui_text.h"

namespace gf {
namespace {

using ::testing::HasSubstr;

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::string ThisProgramDirectory() {
  char path[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  return DirectoryOfPath(std::string_view(path, n), CharRule::DoubleByte);
}

std::string SystemDirectory() {
  char path[MAX_PATH];
  const UINT n = GetSystemDirectoryA(path, sizeof path);
  return std::string(path, n);
}

// A fresh folder under the temporary directory, removed with what is in it.
class TempFolder {
 public:
  explicit TempFolder(const std::string& name = "gf-win32-test") {
    char temp[MAX_PATH];
    const DWORD n = GetTempPathA(sizeof temp, temp);
    for (int i = 0; n > 0 && n < sizeof temp && i < 100 && path_.empty(); ++i) {
      const std::string candidate = std::string(temp) + name + "-" +
                                    std::to_string(GetCurrentProcessId()) + "-" + std::to_string(i);
      if (CreateDirectoryA(candidate.c_str(), nullptr)) path_ = candidate;
    }
  }
  ~TempFolder() {
    for (const std::string& file : files_) DeleteFileA(file.c_str());
    if (!path_.empty()) RemoveDirectoryA(path_.c_str());
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& path() const { return path_; }
  // A file in the folder, to be removed with it.
  std::string File(const std::string& name) {
    files_.push_back(path_ + "\\" + name);
    return files_.back();
  }

 private:
  std::string path_;
  std::vector<std::string> files_;
};

// ---------------------------------------------------------------------------
// Late-bound DLL routines

TEST(DllBindMessage, NamesTheLibraryAndTheRoutine) {
  EXPECT_EQ(Utf8FromNative(DllBindMessage("KERNEL32.DLL", "NoSuchRoutineAnywhere")),
            "无法找到指定DLL库文件“KERNEL32.DLL”中的输出命令“NoSuchRoutineAnywhere”");
}

class BindDllCommandDeathTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(BindDllCommandDeathTest, WhatCannotBeFoundEndsTheProgramNamingIt) {
  const struct {
    const char* library;
    const char* routine;
  } cases[] = {
      {"KERNEL32.DLL", "NoSuchRoutineAnywhere"},
      {"NOSUCHLIBRARYANYWHERE.DLL", "URLDownloadToFileA"},
  };
  for (const auto& c : cases) {
    const std::string expected =
        std::string("无法找到指定DLL库文件“") + c.library + "”中的输出命令“" + c.routine + "”";
    EXPECT_EXIT(BindDllCommand(DeclareDllCommand(c.library, c.routine)),
                ::testing::ExitedWithCode(kFatalExitCode),
                ::testing::AllOf(
                    HasSubstr(c.library), HasSubstr(c.routine),
                    ::testing::ResultOf([](const std::string& box) { return Utf8FromNative(box); },
                                        HasSubstr(expected))))
        << c.library << " " << c.routine;
  }
}

TEST(BindDllCommand, BindsOnceAndKeepsTheAddress) {
  // A library nothing else in this process loads, so its reference count shows
  // how often it was loaded.
  ASSERT_EQ(GetModuleHandleA("CABINET.DLL"), nullptr);
  const int32_t entry = DeclareDllCommand("CABINET.DLL", "FCICreate");
  void* first = BindDllCommand(entry);
  void* second = BindDllCommand(entry);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(second, first);
  const HMODULE loaded = GetModuleHandleA("CABINET.DLL");
  ASSERT_NE(loaded, nullptr);
  EXPECT_EQ(first, reinterpret_cast<void*>(GetProcAddress(loaded, "FCICreate")));

  void* download = BindDllCommand(kUrlDownloadToFileEntry);
  EXPECT_EQ(BindDllCommand(kUrlDownloadToFileEntry), download);
  EXPECT_EQ(download, reinterpret_cast<void*>(
                          GetProcAddress(GetModuleHandleA("URLMON.DLL"), "URLDownloadToFileA")));

  // One release leaves nothing loaded: the second bind took no reference.
  ReleaseDllCommands();
  EXPECT_EQ(GetModuleHandleA("CABINET.DLL"), nullptr);
  // And binding works again afterwards.
  EXPECT_NE(BindDllCommand(entry), nullptr);
  ReleaseDllCommands();
}

// ---------------------------------------------------------------------------
// The probe: a copy of program_directory_probe.exe run from a folder of the
// test's choice.

struct ProbeReport {
  bool ran = false;
  std::string programDirectory;
  std::string currentDirectory;
  std::string boundModule;
};

ProbeReport RunProbeCopy(TempFolder& folder, const std::string& exeName, bool bind) {
  ProbeReport report;
  const std::string probe = ThisProgramDirectory() + "\\program_directory_probe.exe";
  const std::string copy = folder.File(exeName);
  if (!CopyFileA(probe.c_str(), copy.c_str(), FALSE)) {
    ADD_FAILURE() << "cannot copy " << probe << " to " << copy << ": " << GetLastError();
    return report;
  }
  const std::string output = folder.File("probe-output.txt");
  std::string commandLine = "\"" + copy + "\" \"" + output + "\"" + (bind ? " bind" : "");
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  // Started from elsewhere, so the current directory it reports is its own doing.
  const std::string elsewhere = SystemDirectory();
  if (!CreateProcessA(copy.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      elsewhere.c_str(), &startup, &process)) {
    ADD_FAILURE() << "cannot start " << copy << ": " << GetLastError();
    return report;
  }
  WaitForSingleObject(process.hProcess, 60000);
  DWORD code = 1;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  EXPECT_EQ(code, 0u) << copy;
  std::ifstream in(output, std::ios::binary);
  report.ran = static_cast<bool>(std::getline(in, report.programDirectory)) &&
               static_cast<bool>(std::getline(in, report.currentDirectory)) &&
               static_cast<bool>(std::getline(in, report.boundModule));
  return report;
}

// A code-page 936 character whose second byte is 0x5C, the byte of "\".
std::string DoubleByteWithBackslash() {
  for (int lead = 0x81; lead <= 0xFE; ++lead) {
    const char bytes[2] = {static_cast<char>(lead), '\\'};
    wchar_t wide[2];
    if (MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, bytes, 2, wide, 2) == 1) {
      return std::string(bytes, 2);
    }
  }
  return std::string();
}

TEST(InitializeServices, ProgramDirectoryWithASecondByteThatIsABackslash) {
  ASSERT_EQ(GetACP(), 936u) << "the tests run with LANG=zh_CN.UTF-8";
  const std::string character = DoubleByteWithBackslash();
  ASSERT_EQ(character.size(), 2u);
  // In the folder's name and in the program's, where a cut at the last 0x5C
  // byte would go wrong.
  TempFolder folder("gf" + character + "dir");
  ASSERT_FALSE(folder.path().empty());
  const ProbeReport report = RunProbeCopy(folder, character + "probe.exe", false);
  ASSERT_TRUE(report.ran);
  EXPECT_EQ(report.programDirectory, folder.path());
  EXPECT_EQ(report.currentDirectory, folder.path());
}

TEST(BindDllCommand, APlantedUrlmonBesideTheProgramIsNotLoaded) {
  TempFolder folder;
  ASSERT_FALSE(folder.path().empty());
  {
    // Not a DLL at all: loading it would fail and end the probe.
    std::ofstream planted(folder.File("URLMON.DLL"), std::ios::binary);
    planted << "MZ this is no library";
  }
  const ProbeReport report = RunProbeCopy(folder, "probe.exe", true);
  ASSERT_TRUE(report.ran);
  EXPECT_EQ(report.programDirectory, folder.path());
  EXPECT_EQ(Lower(report.boundModule), Lower(SystemDirectory() + "\\urlmon.dll"));
}

// ---------------------------------------------------------------------------
// Files

TEST(ReadWholeFile, AFileHeldOpenForWritingReadsAsEmpty) {
  TempFolder folder;
  ASSERT_FALSE(folder.path().empty());
  const std::string path = folder.File("being-written.bin");
  const HANDLE writer = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(writer, "partial", 7, &written, nullptr));
  ASSERT_TRUE(FlushFileBuffers(writer));
  EXPECT_TRUE(ReadWholeFile(path).empty());
  EXPECT_FALSE(ReadsBackWithContent(path));
  CloseHandle(writer);
  EXPECT_EQ(ReadWholeFile(path), ByteBuffer({'p', 'a', 'r', 't', 'i', 'a', 'l'}));
  EXPECT_TRUE(ReadsBackWithContent(path));
}

// ---------------------------------------------------------------------------
// Downloads

TEST(Downloader, WorksFromAThreadInTheMultithreadedApartment) {
  testing_support::ImageHost host({});
  ASSERT_TRUE(host.ok());
  TempFolder folder;
  ASSERT_FALSE(folder.path().empty());
  const std::string path = folder.File("2.jpg");
  folder.File("2.jpg.part");
  FetchResult result;
  HRESULT apartment = E_FAIL;
  std::thread worker([&] {
    // A thread that chose COM's other model: OLE cannot start on it.
    apartment = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    Downloader downloader;
    result = downloader.Fetch(host.origin() + "/images/img/20103/2.jpg", path);
    if (SUCCEEDED(apartment)) CoUninitialize();
  });
  worker.join();
  EXPECT_EQ(apartment, S_OK);
  EXPECT_EQ(result.outcome, FetchOutcome::Fetched) << result.reason;
  EXPECT_EQ(result.bytes, 2048u);
  EXPECT_EQ(ReadWholeFile(path).size(), 2048u);
}

}  // namespace
}  // namespace gf
