// The portable half of the window program: its start and end, and what the
// two buttons do.
#include <atomic>
#include <cfenv>
#include <thread>

#include "gallery/download_run.h"
#include "gallery/url_parser.h"
#include "support/fatal.h"
#include "support/runtime.h"
#include "support/services.h"
#include "window/main_window.h"

namespace gf {
namespace {

// The program's four global texts. During a run only its worker writes
// fileName; galleryId, which the open-folder button reads, stays put.
GalleryGlobals g_globals;

std::thread g_worker;
std::atomic<bool> g_cancel{false};
std::atomic<bool> g_running{false};

void ReleaseGlobals() { g_globals = GalleryGlobals{}; }

void JoinWorker() {
  if (g_worker.joinable()) g_worker.join();
}

void ShowCaptionLater(const Text& caption) {
  PostToWindowThread([caption] { WriteControlText(Control::Label1, caption); });
}

}  // namespace

const ControlLayout& LayoutOf(Control id) {
  for (const ControlLayout& layout : kControls) {
    if (layout.id == id) return layout;
  }
  return kControls[0];
}

Text FolderToOpen() {
  const Text directory = ProgramDirectory();
  if (!g_globals.galleryId.empty()) {
    const Text gallery = TextJoin({directory, kPathSeparator, g_globals.galleryId});
    if (FolderExists(gallery)) return gallery;
  }
  return directory;
}

bool RunInProgress() { return g_running.load(); }

void OnStartClicked() {
  if (g_running) return;  // the button is disabled meanwhile; a queued click is dropped
  JoinWorker();

  RunHooks hooks;
  hooks.writeCaption = [](const Text& caption) { WriteControlText(Control::Label1, caption); };
  // The program directory is asked for anew at every run.
  const PreparedRun prepared =
      PrepareRun(g_globals, ReadControlText(Control::Address), ProgramDirectory(), hooks);
  if (!prepared.ready()) return;

  SetControlEnabled(Control::Button1, false);
  g_cancel = false;
  g_running = true;
  g_worker = std::thread([prepared] {
    RunHooks workerHooks;
    workerHooks.writeCaption = ShowCaptionLater;
    RunOptions options;
    options.jobs = kDefaultJobs;
    FetchImages(g_globals, prepared, workerHooks, options, &g_cancel);
    g_running = false;
    PostToWindowThread([] {
      JoinWorker();
      SetControlEnabled(Control::Button1, true);
    });
  });
}

bool OnOpenFolderClicked() { return OpenInFileManager(FolderToOpen()); }

void OnWindowClosing() {
  g_cancel = true;
  JoinWorker();
  g_running = false;
}

int ProgramStart() {
  InitializeServices();
  // A known floating-point state: round to nearest, every exception masked.
  std::fesetenv(FE_DFL_ENV);
  RegisterExitRoutine(ReleaseGlobals);
  if (!LoadWindow()) FatalRunError(UiText(Ui::WindowLoadFailed), 0, kMainWindowId, 0);
  RunMessageLoop();
  OnWindowClosing();  // in case the loop ended without a close
  RunExitRoutines();
  RunShutdownSteps();
  return 0;
}

}  // namespace gf
