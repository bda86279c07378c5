// The Linux half of the window: one GTK 3 window with its six controls at
// fixed places, the message loop, and the folder opener.
#include <gtk/gtk.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

#include "support/fatal.h"
#include "window/main_window.h"

namespace gf {
namespace {

constexpr size_t kControlCount = std::size(kControls);

GtkWidget* g_window = nullptr;
std::array<GtkWidget*, kControlCount> g_widgets{};
// Set once the window has begun to close; the window thread may then be
// waiting for the worker and can show nothing more.
std::atomic<bool> g_closing{false};
std::thread::id g_windowThread;

GtkWidget*& WidgetOf(Control id) { return g_widgets[static_cast<size_t>(id)]; }

// The order Tab walks; Shift+Tab walks it backwards.
constexpr Control kTabCycle[] = {Control::Button1, Control::Address, Control::Button2};

// Test hook: when GALLERYFETCH_CAPTION_LOG names a file, every caption shown in
// 标签1 is appended to it as a line, since a GTK label cannot be read from
// outside the process.
void LogCaption(const Text& caption) {
  const char* path = std::getenv("GALLERYFETCH_CAPTION_LOG");
  if (path == nullptr || path[0] == '\0') return;
  if (FILE* file = std::fopen(path, "a")) {
    std::fprintf(file, "%s\n", caption.c_str());
    std::fclose(file);
  }
}

// GTK takes UTF-8 only; anything else would be refused with a warning.
Text ValidUtf8(const Text& text) {
  if (g_utf8_validate(text.c_str(), static_cast<gssize>(text.size()), nullptr)) return text;
  gchar* valid = g_utf8_make_valid(text.c_str(), static_cast<gssize>(text.size()));
  Text result = valid;
  g_free(valid);
  return result;
}

GtkWidget* MakeLabel(const char* text) {
  GtkWidget* label = gtk_label_new(text);  // plain text: no mnemonic, no markup
  gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
  gtk_label_set_yalign(GTK_LABEL(label), 0.5f);
  gtk_label_set_single_line_mode(GTK_LABEL(label), TRUE);
  gtk_label_set_line_wrap(GTK_LABEL(label), FALSE);
  gtk_label_set_ellipsize(GTK_LABEL(label), PANGO_ELLIPSIZE_NONE);
  return label;
}

GtkWidget* MakeEntry() {
  GtkWidget* entry = gtk_entry_new();
  gtk_entry_set_text(GTK_ENTRY(entry), kDefaultAddress);
  gtk_editable_set_position(GTK_EDITABLE(entry), 0);
  gtk_entry_set_activates_default(GTK_ENTRY(entry), FALSE);
  // The theme's minimum height is taller than the box's 24 pixels; without
  // this the box would spill onto the labels below it.
  GtkCssProvider* css = gtk_css_provider_new();
  gtk_css_provider_load_from_data(
      css, "entry { min-height: 0; padding-top: 0; padding-bottom: 0; }", -1, nullptr);
  gtk_style_context_add_provider(gtk_widget_get_style_context(entry), GTK_STYLE_PROVIDER(css),
                                 GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  g_object_unref(css);
  return entry;
}

void OnButtonClicked(GtkButton*, gpointer data) {
  // A click that arrives while the error dialog is up is dropped.
  if (FatalReportRaised()) return;
  if (static_cast<Control>(GPOINTER_TO_INT(data)) == Control::Button1) {
    OnStartClicked();
  } else {
    OnOpenFolderClicked();
  }
}

void MoveFocus(bool backwards) {
  GtkWidget* focus = gtk_window_get_focus(GTK_WINDOW(g_window));
  constexpr int n = static_cast<int>(std::size(kTabCycle));
  int at = -1;
  for (int i = 0; i < n; ++i) {
    if (WidgetOf(kTabCycle[i]) == focus) at = i;
  }
  // From nowhere, Tab goes to the first stop and Shift+Tab to the last.
  int next = at < 0 ? (backwards ? n - 1 : 0) : (at + (backwards ? n - 1 : 1)) % n;
  // A disabled button is stepped over, as long as some stop can take the focus.
  for (int tries = 0; tries < n && !gtk_widget_is_sensitive(WidgetOf(kTabCycle[next])); ++tries) {
    next = (next + (backwards ? n - 1 : 1)) % n;
  }
  gtk_widget_grab_focus(WidgetOf(kTabCycle[next]));
}

gboolean OnKeyPress(GtkWidget*, GdkEventKey* event, gpointer) {
  const GdkModifierType mods =
      static_cast<GdkModifierType>(event->state & gtk_accelerator_get_default_mod_mask());
  switch (event->keyval) {
    case GDK_KEY_Escape:
      if (mods == 0) {
        gtk_window_close(GTK_WINDOW(g_window));  // the same path as the close box
        return TRUE;
      }
      break;
    case GDK_KEY_Tab:
    case GDK_KEY_KP_Tab:
    case GDK_KEY_ISO_Left_Tab:
      if ((mods & ~GDK_SHIFT_MASK) == 0) {
        MoveFocus(event->keyval == GDK_KEY_ISO_Left_Tab || (mods & GDK_SHIFT_MASK) != 0);
        return TRUE;
      }
      break;
    default:
      break;
  }
  return FALSE;
}

gboolean OnDeleteEvent(GtkWidget*, GdkEvent*, gpointer) {
  // The process ends as soon as the error dialog is closed; closing now could
  // wait for a worker that is itself waiting for that dialog.
  if (FatalReportRaised()) return TRUE;
  g_closing = true;
  OnWindowClosing();
  return FALSE;
}

void OnDestroy(GtkWidget*, gpointer) {
  // Also when the window goes without a delete event: the worker is never left running.
  if (!g_closing.exchange(true)) OnWindowClosing();
  g_window = nullptr;
  g_widgets.fill(nullptr);
  gtk_main_quit();
}

// The fatal report's dialog, on the window thread.
void RunErrorDialog(const char* boxText) {
  GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_ERROR,
                                             GTK_BUTTONS_OK, "%s", boxText);
  gtk_window_set_title(GTK_WINDOW(dialog), UiText(Ui::ErrorBoxCaption));
  gtk_dialog_run(GTK_DIALOG(dialog));
  gtk_widget_destroy(dialog);
}

struct DialogRequest {
  const char* boxText = nullptr;
  std::mutex mutex;
  std::condition_variable done;
  bool shown = false;
};

gboolean RunRequestedDialog(gpointer data) {
  auto* request = static_cast<DialogRequest*>(data);
  RunErrorDialog(request->boxText);
  std::lock_guard lock(request->mutex);
  request->shown = true;
  request->done.notify_all();
  return G_SOURCE_REMOVE;
}

void ShowFatalDialog(const char* boxText) {
  if (std::this_thread::get_id() == g_windowThread) {
    RunErrorDialog(boxText);
    return;
  }
  // GTK may be used from the window thread only: hand the dialog over and wait
  // until it is dismissed, unless that thread is busy closing the window and
  // waiting for this very thread.
  static DialogRequest request;
  request.boxText = boxText;
  g_idle_add(RunRequestedDialog, &request);
  std::unique_lock lock(request.mutex);
  while (!request.shown && !g_closing) {
    request.done.wait_for(lock, std::chrono::milliseconds(100));
  }
}

gboolean RunPosted(gpointer data) {
  (*static_cast<std::function<void()>*>(data))();
  return G_SOURCE_REMOVE;
}

void DeletePosted(gpointer data) { delete static_cast<std::function<void()>*>(data); }

}  // namespace

bool LoadWindow() {
  if (!gtk_init_check(nullptr, nullptr)) return false;
  g_windowThread = std::this_thread::get_id();
  SetFatalBoxHook(ShowFatalDialog);

  g_window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(g_window), "");
  gtk_window_set_resizable(GTK_WINDOW(g_window), FALSE);
  gtk_window_set_position(GTK_WINDOW(g_window), GTK_WIN_POS_CENTER);
  gtk_window_set_default_size(GTK_WINDOW(g_window), kWindowWidth, kWindowHeight);

  GtkWidget* fixed = gtk_fixed_new();
  // The fixed area alone sets the window's size, whatever the controls ask for.
  gtk_widget_set_size_request(fixed, kWindowWidth, kWindowHeight);
  gtk_container_add(GTK_CONTAINER(g_window), fixed);

  // In reverse, as the controls are created; they do not overlap.
  for (size_t i = kControlCount; i-- > 0;) {
    const ControlLayout& layout = kControls[i];
    GtkWidget* widget = nullptr;
    switch (layout.kind) {
      case ControlKind::Label:
        widget = MakeLabel(layout.hasText ? UiText(layout.text) : "");
        break;
      case ControlKind::Edit:
        widget = MakeEntry();
        break;
      case ControlKind::Button:
        widget = gtk_button_new_with_label(layout.hasText ? UiText(layout.text) : "");
        g_signal_connect(widget, "clicked", G_CALLBACK(OnButtonClicked),
                         GINT_TO_POINTER(static_cast<int>(layout.id)));
        break;
    }
    gtk_widget_set_size_request(widget, layout.width, layout.height);
    gtk_fixed_put(GTK_FIXED(fixed), widget, layout.left, layout.top);
    WidgetOf(layout.id) = widget;
  }

  g_signal_connect(g_window, "key-press-event", G_CALLBACK(OnKeyPress), nullptr);
  g_signal_connect(g_window, "delete-event", G_CALLBACK(OnDeleteEvent), nullptr);
  g_signal_connect(g_window, "destroy", G_CALLBACK(OnDestroy), nullptr);

  gtk_widget_grab_focus(WidgetOf(Control::Button1));
  gtk_widget_show_all(g_window);
  return true;
}

void RunMessageLoop() {
  if (g_window == nullptr) return;
  gtk_main();
  // Run what the worker posted before it was joined, so nothing is left queued.
  while (g_main_context_iteration(nullptr, FALSE)) {
  }
}

Text ReadControlText(Control id) {
  GtkWidget* widget = WidgetOf(id);
  if (widget == nullptr) return {};
  const gchar* text = nullptr;
  switch (LayoutOf(id).kind) {
    case ControlKind::Label:
      text = gtk_label_get_text(GTK_LABEL(widget));
      break;
    case ControlKind::Edit:
      text = gtk_entry_get_text(GTK_ENTRY(widget));
      break;
    case ControlKind::Button:
      text = gtk_button_get_label(GTK_BUTTON(widget));
      break;
  }
  return text != nullptr ? Text(text) : Text();
}

void WriteControlText(Control id, const Text& text) {
  GtkWidget* widget = WidgetOf(id);
  if (widget == nullptr) return;
  const Text valid = ValidUtf8(text);
  switch (LayoutOf(id).kind) {
    case ControlKind::Label:
      gtk_label_set_text(GTK_LABEL(widget), valid.c_str());
      break;
    case ControlKind::Edit:
      gtk_entry_set_text(GTK_ENTRY(widget), valid.c_str());
      break;
    case ControlKind::Button:
      gtk_button_set_label(GTK_BUTTON(widget), valid.c_str());
      break;
  }
  if (id == Control::Label1) LogCaption(valid);
}

void SetControlEnabled(Control id, bool enabled) {
  if (GtkWidget* widget = WidgetOf(id)) gtk_widget_set_sensitive(widget, enabled);
}

void PostToWindowThread(std::function<void()> work) {
  // Idle sources of one priority run in the order they were added.
  g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, RunPosted, new std::function<void()>(std::move(work)),
                  DeletePosted);
}

bool OpenInFileManager(const Text& folder) {
  // GIO's launcher rather than gtk_show_uri_on_window: that one launches later
  // and reports success even when no program handles folders, which would
  // leave the fallback below unreachable.
  if (gchar* uri = g_filename_to_uri(folder.c_str(), nullptr, nullptr)) {
    GdkAppLaunchContext* context = gdk_display_get_app_launch_context(gdk_display_get_default());
    gdk_app_launch_context_set_timestamp(context, GDK_CURRENT_TIME);
    const gboolean shown =
        g_app_info_launch_default_for_uri(uri, G_APP_LAUNCH_CONTEXT(context), nullptr);
    g_object_unref(context);
    g_free(uri);
    if (shown) return true;
  }
  // No registered handler for folders: ask xdg-open directly.
  gchar* argv[] = {const_cast<gchar*>("xdg-open"), const_cast<gchar*>(folder.c_str()), nullptr};
  return g_spawn_async(nullptr, argv, nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr, nullptr,
                       nullptr);
}

}  // namespace gf

int main() { return gf::ProgramStart(); }
