// The provisioning dialog on the Linux desktop: the window of the "MAINMENU"
// template in GTK 3, its boxes and button, the success and "not detected"
// message boxes, single instance, and the worker thread that keeps every
// library call off the main loop.
//
// Threads: GTK and the dialog's state live on the main loop. The library
// runs on the one worker thread (LibraryWorker); each call's result comes
// back through g_idle_add. The library's "not detected" notice is raised on
// the worker, inside PassThruOpen: it is shown on the main loop while the
// worker waits for the user's OK, as the library's call would.
//
// Failure reporting: library outcomes become the dialog's texts ("ERROR",
// "ERROR:FILE") and message boxes; RunDesktopDialog() returns 2 only when
// the display cannot be opened.
#include "app/gtk/desktop_dialog.h"

#include <glib-unix.h>
#include <gtk/gtk.h>

#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include "app/gtk/desktop_files.h"
#include "app/gtk/dialog_flow.h"
#include "app/gtk/library_worker.h"
#include "app/gtk/notice_platform.h"
#include "app/gtk/single_instance.h"
#include "app/provision_core.h"
#include "orvanta_j2534.h"
#include "platform/platform.h"

namespace orv::app::desktop {

namespace {

// --- the dialog template, in dialog units ----------------------------------------

struct TemplateRect {
  int x;
  int y;
  int width;
  int height;
};

constexpr int kTemplateWidth = 240;
constexpr int kTemplateHeight = 100;
constexpr TemplateRect kProvisionButton{70, 60, 60, 20};  // control 117
constexpr TemplateRect kSsidLabel{0, 17, 60, 18};         // control 111
constexpr TemplateRect kSsidBox{70, 15, 100, 18};         // control 108
constexpr TemplateRect kPasswordLabel{0, 37, 60, 18};     // control 112
constexpr TemplateRect kPasswordBox{70, 35, 100, 18};     // control 109
// Keeps the right-aligned label text off the window's left edge.
constexpr int kLeftMargin = 4;

constexpr char kSsidLabelText[] = "Network Name (SSID)";
constexpr char kPasswordLabelText[] = "Network Password";
constexpr char kProvisionText[] = "Provision";
constexpr char kProgram[] = "orvanta-provision";
constexpr size_t kStartupIdCapacity = 200;

// Dialog units scaled by the window's font the way the template's were: a
// horizontal unit is a quarter of the average character width, a vertical
// unit an eighth of the line height.
struct DialogUnits {
  double x_px = 1.5;
  double y_px = 1.625;
  int X(int units) const { return static_cast<int>(std::lround(units * x_px)); }
  int Y(int units) const { return static_cast<int>(std::lround(units * y_px)); }
};

DialogUnits MeasureDialogUnits(GtkWidget* widget) {
  constexpr char kSample[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  PangoLayout* layout = gtk_widget_create_pango_layout(widget, kSample);
  int width = 0;
  int height = 0;
  pango_layout_get_pixel_size(layout, &width, &height);
  g_object_unref(layout);
  DialogUnits units;
  if (width > 0 && height > 0) {
    units.x_px = width / static_cast<double>(sizeof kSample - 1) / 4.0;
    units.y_px = height / 8.0;
  }
  return units;
}

template <typename Handler>
GCallback Callback(Handler handler) {
  return reinterpret_cast<GCallback>(handler);
}

// --- state ---------------------------------------------------------------------

struct Dialog;

// Carries the library's notice from the worker to the main loop and the
// user's OK back. Closed at the end so a waiting worker is never stranded.
class NoticeBroker {
 public:
  void ShowAndWait(Dialog* dialog, const char* text, const char* caption);
  void Answer() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      ++answered_;
    }
    done_.notify_all();
  }
  void Close() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      closed_ = true;
    }
    done_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_;
  uint64_t asked_ = 0;
  uint64_t answered_ = 0;
  bool closed_ = false;
};

struct Dialog {
  GtkWidget* window = nullptr;
  GtkWidget* ssid_box = nullptr;
  GtkWidget* password_box = nullptr;
  GtkWidget* provision_button = nullptr;
  DialogFlow flow;
  LibraryWorker* worker = nullptr;
  NoticeBroker notices;
  const InstanceGuard* guard = nullptr;
  uint32_t device_id = 0;  // touched by the worker thread only
};

struct JobResult {
  Dialog* dialog;
  Job job;
  int32_t status;
};

struct NoticeRequest {
  Dialog* dialog;
  std::string text;
  std::string caption;
};

const char* JobName(Job job) {
  switch (job) {
    case Job::kOpen:
      return "open";
    case Job::kProvision:
      return "provision";
    case Job::kClose:
      return "close";
    case Job::kNone:
      break;
  }
  return "none";
}

// A text for the one-line state log: line ends written as "\n".
std::string OneLine(std::string_view text) {
  std::string line;
  for (const char c : text) {
    if (c == '\n') {
      line += "\\n";
    } else {
      line += c;
    }
  }
  return line;
}

// --- message boxes ---------------------------------------------------------------

GtkWidget* NewMessageBox(Dialog* dialog, GtkMessageType type, const char* text,
                         const char* caption) {
  GtkWindow* owner = gtk_widget_get_visible(dialog->window) ? GTK_WINDOW(dialog->window) : nullptr;
  GtkWidget* box = gtk_message_dialog_new(
      owner, static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT), type,
      GTK_BUTTONS_OK, "%s", text);
  gtk_window_set_title(GTK_WINDOW(box), caption);
  if (owner == nullptr) gtk_window_set_position(GTK_WINDOW(box), GTK_WIN_POS_CENTER);
  LogState("box shown caption=%s text=%s", caption, OneLine(text).c_str());
  return box;
}

void OnNoticeAnswered(GtkDialog* box, gint /*response*/, gpointer data) {
  auto* dialog = static_cast<Dialog*>(data);
  gtk_widget_destroy(GTK_WIDGET(box));
  LogState("box closed caption=ERROR");
  dialog->notices.Answer();
}

gboolean ShowNoticeOnMainLoop(gpointer data) {
  const std::unique_ptr<NoticeRequest> request(static_cast<NoticeRequest*>(data));
  Dialog* dialog = request->dialog;
  if (dialog->flow.cancelled) {
    // The user has already left the dialog; nothing is waiting to be told.
    LogState("box skipped caption=%s", request->caption.c_str());
    dialog->notices.Answer();
    return G_SOURCE_REMOVE;
  }
  GtkWidget* box =
      NewMessageBox(dialog, GTK_MESSAGE_ERROR, request->text.c_str(), request->caption.c_str());
  g_signal_connect(box, "response", Callback(OnNoticeAnswered), dialog);
  gtk_widget_show(box);
  return G_SOURCE_REMOVE;
}

void NoticeBroker::ShowAndWait(Dialog* dialog, const char* text, const char* caption) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (closed_) return;
  const uint64_t ticket = ++asked_;
  lock.unlock();
  g_idle_add(ShowNoticeOnMainLoop, new NoticeRequest{dialog, text, caption});
  lock.lock();
  done_.wait(lock, [&] { return closed_ || answered_ >= ticket; });
}

// The platform table's notice, called on the worker thread.
void ShowNoticeAndWait(void* context, const char* text, const char* caption) {
  auto* dialog = static_cast<Dialog*>(context);
  dialog->notices.ShowAndWait(dialog, text, caption);
}

void OnSuccessAnswered(GtkDialog* box, gint /*response*/, gpointer /*data*/) {
  gtk_widget_destroy(GTK_WIDGET(box));
  LogState("box closed caption=%s", kCaptionProvisioned);
  gtk_main_quit();
}

void ShowSuccessBox(Dialog* dialog) {
  GtkWidget* box = NewMessageBox(dialog, GTK_MESSAGE_INFO, kTextProvisioned, kCaptionProvisioned);
  g_signal_connect(box, "response", Callback(OnSuccessAnswered), dialog);
  gtk_widget_show(box);
}

// --- boxes and button ------------------------------------------------------------

void SetBoxText(GtkWidget* box, const char* text, const char* which) {
  gtk_entry_set_text(GTK_ENTRY(box), text);
  LogState("%s text=%s", which, gtk_entry_get_text(GTK_ENTRY(box)));
}

std::string BoxText(GtkWidget* box, size_t limit) {
  return std::string(FittingPrefix(gtk_entry_get_text(GTK_ENTRY(box)), limit));
}

// The button takes no press while a call runs; once free again it gets the
// keyboard focus back if the window lost it while the button was disabled.
void ShowBusy(Dialog* dialog) {
  const bool busy = IsBusy(dialog->flow);
  if ((gtk_widget_get_sensitive(dialog->provision_button) != FALSE) == !busy) return;
  gtk_widget_set_sensitive(dialog->provision_button, busy ? FALSE : TRUE);
  LogState("button sensitive=%d", busy ? 0 : 1);
  if (!busy && gtk_window_get_focus(GTK_WINDOW(dialog->window)) == nullptr) {
    gtk_widget_grab_focus(dialog->provision_button);
  }
}

// Keeps a box within the byte limit of its field in "IOT.NET": an insertion
// that would go over is cut at a character boundary (and re-inserted, which
// then passes this check) or refused with the error bell.
void LimitInsertion(GtkEditable* editable, gchar* text, gint length, gint* position,
                    gpointer limit_data) {
  const size_t limit = GPOINTER_TO_SIZE(limit_data);
  const std::string_view insert(text, length < 0 ? std::strlen(text) : static_cast<size_t>(length));
  const size_t held = std::strlen(gtk_entry_get_text(GTK_ENTRY(editable)));
  const size_t take = InsertableBytes(insert, held, limit);
  if (take == insert.size()) return;
  g_signal_stop_emission_by_name(editable, "insert-text");
  if (take == 0) {
    gtk_widget_error_bell(GTK_WIDGET(editable));
    return;
  }
  gtk_editable_insert_text(editable, text, static_cast<gint>(take), position);
}

// Logs how many bytes a box holds (never what), so a test can see typing
// taken while a library call runs.
void OnBoxChanged(GtkEditable* editable, gpointer which) {
  LogState("%s length=%zu", static_cast<const char*>(which),
           std::strlen(gtk_entry_get_text(GTK_ENTRY(editable))));
}

// --- library calls -------------------------------------------------------------------

// Runs on the worker thread.
int32_t RunLibraryCall(Dialog* dialog, Job job, const std::string& ssid,
                       const std::string& password) {
  switch (job) {
    case Job::kOpen:
      return ProvisionOpenOnPaint(&dialog->device_id);
    case Job::kClose:
      return ProvisionCancel(dialog->device_id);
    case Job::kProvision:
      // Provision writes the file owner-only and sends exactly its bytes.
      return Provision(ssid, password);
    case Job::kNone:
      break;
  }
  return STATUS_NOERROR;
}

gboolean FinishJob(gpointer data);

// Hands a call, already marked running in the flow, to the worker.
void StartJob(Dialog* dialog, Job job, std::string ssid = {}, std::string password = {}) {
  if (job == Job::kNone) return;
  LogState("%s started", JobName(job));
  ShowBusy(dialog);
  dialog->worker->Post(
      [dialog, job, ssid = std::move(ssid), password = std::move(password)]() mutable {
        const int32_t status = RunLibraryCall(dialog, job, ssid, password);
        WipeSecret(password.data(), password.size());
        g_idle_add(FinishJob, new JobResult{dialog, job, status});
      });
}

gboolean FinishJob(gpointer data) {
  const std::unique_ptr<JobResult> result(static_cast<JobResult*>(data));
  Dialog* dialog = result->dialog;
  LogState("%s finished status=%ld", JobName(result->job), static_cast<long>(result->status));
  const JobOutcome outcome = OnJobDone(dialog->flow, result->job, result->status);
  if (outcome.show_open_failed) SetBoxText(dialog->ssid_box, kTextOpenFailed, "ssid-box");
  if (outcome.show_transfer_failed) {
    SetBoxText(dialog->password_box, kTextTransferFailed, "password-box");
  }
  if (outcome.show_success) ShowSuccessBox(dialog);
  StartJob(dialog, outcome.next);
  ShowBusy(dialog);
  if (outcome.quit) gtk_main_quit();
  return G_SOURCE_REMOVE;
}

// --- window events ------------------------------------------------------------------

void Cancel(Dialog* dialog) {
  if (dialog->flow.cancelled) return;
  LogState("cancel");
  const Job job = OnCancel(dialog->flow);
  gtk_widget_hide(dialog->window);
  StartJob(dialog, job);
}

gboolean OnDraw(GtkWidget* /*window*/, cairo_t* /*cr*/, gpointer data) {
  auto* dialog = static_cast<Dialog*>(data);
  StartJob(dialog, OnExposed(dialog->flow));
  return FALSE;  // drawing goes on
}

gboolean OnUnmap(GtkWidget* /*window*/, GdkEvent* /*event*/, gpointer data) {
  OnHidden(static_cast<Dialog*>(data)->flow);
  return FALSE;
}

gboolean OnWindowState(GtkWidget* /*window*/, GdkEventWindowState* event, gpointer data) {
  const bool iconified = (event->new_window_state & GDK_WINDOW_STATE_ICONIFIED) != 0;
  if ((event->changed_mask & GDK_WINDOW_STATE_ICONIFIED) != 0 && iconified) {
    OnHidden(static_cast<Dialog*>(data)->flow);
  }
  return FALSE;
}

gboolean OnDelete(GtkWidget* /*window*/, GdkEvent* /*event*/, gpointer data) {
  Cancel(static_cast<Dialog*>(data));
  return TRUE;  // the window goes once the link is closed
}

gboolean OnKeyPress(GtkWidget* /*window*/, GdkEventKey* event, gpointer data) {
  if (event->keyval != GDK_KEY_Escape) return FALSE;
  Cancel(static_cast<Dialog*>(data));
  return TRUE;
}

void OnProvisionClicked(GtkButton* /*button*/, gpointer data) {
  auto* dialog = static_cast<Dialog*>(data);
  if (!OnProvisionPressed(dialog->flow)) return;
  StartJob(dialog, Job::kProvision, BoxText(dialog->ssid_box, kMaxSsidLength),
           BoxText(dialog->password_box, kMaxPasswordLength));
}

// A later instance asked for the window.
gboolean OnInstanceRequest(gint /*fd*/, GIOCondition /*condition*/, gpointer data) {
  auto* dialog = static_cast<Dialog*>(data);
  char startup_id[kStartupIdCapacity];
  if (!TakePresentRequest(*dialog->guard, startup_id, sizeof startup_id)) return G_SOURCE_CONTINUE;
  LogState("present requested");
  if (dialog->flow.cancelled) return G_SOURCE_CONTINUE;
  if (startup_id[0] != '\0') gtk_window_set_startup_id(GTK_WINDOW(dialog->window), startup_id);
  gtk_window_present(GTK_WINDOW(dialog->window));
  return G_SOURCE_CONTINUE;
}

// --- the window -----------------------------------------------------------------------

GtkWidget* NewLabel(const char* text, const TemplateRect& rect, const DialogUnits& units) {
  GtkWidget* label = gtk_label_new(text);
  gtk_label_set_xalign(GTK_LABEL(label), 1.0F);
  gtk_widget_set_size_request(label, units.X(rect.width), units.Y(rect.height));
  return label;
}

GtkWidget* NewBox(size_t limit, const TemplateRect& rect, const DialogUnits& units) {
  GtkWidget* box = gtk_entry_new();
  gtk_entry_set_max_length(GTK_ENTRY(box), static_cast<gint>(limit));
  gtk_entry_set_width_chars(GTK_ENTRY(box), 1);  // the template's width decides
  gtk_entry_set_activates_default(GTK_ENTRY(box), FALSE);
  gtk_widget_set_size_request(box, units.X(rect.width), units.Y(rect.height));
  g_signal_connect(box, "insert-text", Callback(LimitInsertion), GSIZE_TO_POINTER(limit));
  return box;
}

// The template's order of controls is its tab order: the button, then the
// SSID box, then the password box.
void SetTabOrder(GtkWidget* container, Dialog* dialog) {
  GList* chain = nullptr;
  chain = g_list_append(chain, dialog->provision_button);
  chain = g_list_append(chain, dialog->ssid_box);
  chain = g_list_append(chain, dialog->password_box);
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  gtk_container_set_focus_chain(GTK_CONTAINER(container), chain);
  G_GNUC_END_IGNORE_DEPRECATIONS
  g_list_free(chain);
}

// Labels left of their boxes, SSID above password, the button below with
// its left edge under the boxes'; margins and gaps from the template. A
// label whose text needs more than its template width widens its column.
void BuildWindow(Dialog* dialog) {
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  dialog->window = window;
  gtk_window_set_title(GTK_WINDOW(window), kDialogTitle);
  gtk_window_set_resizable(GTK_WINDOW(window), FALSE);
  gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
  gtk_window_set_type_hint(GTK_WINDOW(window), GDK_WINDOW_TYPE_HINT_DIALOG);
  const DialogUnits units = MeasureDialogUnits(window);

  dialog->ssid_box = NewBox(kMaxSsidLength, kSsidBox, units);
  dialog->password_box = NewBox(kMaxPasswordLength, kPasswordBox, units);
  dialog->provision_button = gtk_button_new_with_label(kProvisionText);
  GtkWidget* button = dialog->provision_button;
  gtk_widget_set_size_request(button, units.X(kProvisionButton.width),
                              units.Y(kProvisionButton.height));
  gtk_widget_set_halign(button, GTK_ALIGN_START);
  const int row_gap = units.Y(kPasswordBox.y - (kSsidBox.y + kSsidBox.height));
  gtk_widget_set_margin_top(
      button, units.Y(kProvisionButton.y - (kPasswordBox.y + kPasswordBox.height)) - row_gap);

  GtkWidget* grid = gtk_grid_new();
  gtk_grid_set_column_spacing(GTK_GRID(grid),
                              static_cast<guint>(units.X(kSsidBox.x - kSsidLabel.width)));
  gtk_grid_set_row_spacing(GTK_GRID(grid), static_cast<guint>(row_gap));
  gtk_widget_set_margin_top(grid, units.Y(kSsidBox.y));
  gtk_widget_set_margin_start(grid, units.X(kSsidLabel.x + kLeftMargin));
  gtk_widget_set_margin_end(grid, units.X(kTemplateWidth - (kSsidBox.x + kSsidBox.width)));
  gtk_widget_set_margin_bottom(
      grid, units.Y(kTemplateHeight - (kProvisionButton.y + kProvisionButton.height)));
  gtk_grid_attach(GTK_GRID(grid), NewLabel(kSsidLabelText, kSsidLabel, units), 0, 0, 1, 1);
  gtk_grid_attach(GTK_GRID(grid), dialog->ssid_box, 1, 0, 1, 1);
  gtk_grid_attach(GTK_GRID(grid), NewLabel(kPasswordLabelText, kPasswordLabel, units), 0, 1, 1, 1);
  gtk_grid_attach(GTK_GRID(grid), dialog->password_box, 1, 1, 1, 1);
  gtk_grid_attach(GTK_GRID(grid), button, 1, 2, 1, 1);
  gtk_container_add(GTK_CONTAINER(window), grid);
  SetTabOrder(grid, dialog);
  gtk_widget_grab_focus(button);  // the first tab stop has the focus at the start

  g_signal_connect(dialog->ssid_box, "changed", Callback(OnBoxChanged),
                   const_cast<char*>("ssid-box"));
  g_signal_connect(dialog->password_box, "changed", Callback(OnBoxChanged),
                   const_cast<char*>("password-box"));
  g_signal_connect(button, "clicked", Callback(OnProvisionClicked), dialog);
  g_signal_connect(window, "draw", Callback(OnDraw), dialog);
  g_signal_connect(window, "unmap-event", Callback(OnUnmap), dialog);
  g_signal_connect(window, "window-state-event", Callback(OnWindowState), dialog);
  g_signal_connect(window, "delete-event", Callback(OnDelete), dialog);
  g_signal_connect(window, "key-press-event", Callback(OnKeyPress), dialog);
}

// After the instance check: runs the window until the dialog has ended.
void RunWindow(const InstanceGuard& guard) {
  Dialog dialog;
  dialog.guard = &guard;
  NoticePlatform notices(platform::native(), ShowNoticeAndWait, &dialog);
  platform::Platform* previous = platform::install(&notices);
  LibraryWorker worker;
  dialog.worker = &worker;

  BuildWindow(&dialog);
  guint listen_source = 0;
  if (guard.listen_fd >= 0) {
    listen_source = g_unix_fd_add(guard.listen_fd, G_IO_IN, OnInstanceRequest, &dialog);
  }
  gtk_widget_show_all(dialog.window);
  gtk_window_present(GTK_WINDOW(dialog.window));
  LogState("window shown title=%s", kDialogTitle);

  gtk_main();

  LogState("exit");
  if (listen_source != 0) g_source_remove(listen_source);
  dialog.notices.Close();
  worker.Stop();
  platform::install(previous);
  gtk_widget_destroy(dialog.window);
}

}  // namespace

bool DisplayAvailable() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && value[0] != '\0') return true;
  }
  return false;
}

int RunDesktopDialog() {
  InstanceGuard guard;
  const InstanceRole role = ClaimInstance(&guard);
  if (role == InstanceRole::kLater) {
    const bool delivered = AskFirstToPresent(guard, std::getenv("DESKTOP_STARTUP_ID"));
    LogState("later instance: present request %s", delivered ? "delivered" : "not delivered");
    return 0;
  }
  if (gtk_init_check(nullptr, nullptr) == FALSE) {
    std::fprintf(stderr, "%s: cannot open the display; for the command line see '%s --help'\n",
                 kProgram, kProgram);
    ReleaseInstance(&guard);
    return 2;
  }
  RunWindow(guard);
  ReleaseInstance(&guard);
  return 0;
}

}  // namespace orv::app::desktop
