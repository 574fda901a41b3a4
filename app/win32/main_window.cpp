// The Win32 window layer of the provisioning program: the single-instance
// check through the window class "Tarnwick", the hidden main window and the
// modal dialog MAINMENU (provision.rc). What the buttons do is the
// platform-free provisioning core (app/provision_core.h); this file only
// reads and sets the box texts, shows the success box and ends the program.
//
// Failure reporting: a window class or main window that cannot be created
// ends the program silently (exit code 0, which carries no meaning); the
// core's failures show as "ERROR" in the SSID box and "ERROR:FILE" in the
// password box.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <cstdint>
#include <string_view>

#include "app/provision_core.h"
#include "app/win32/dialog_ids.h"

namespace {

HINSTANCE hInst = nullptr;
const char tszAppName[9] = "Tarnwick";  // window class, menu and class icon name
uint32_t gDeviceID = 0;

// Set while the paint handler is opening the link. The "not detected" box
// runs a message loop of its own, and the repaints it causes must not start
// a second discovery (and a second box) inside the first.
bool g_opening_link = false;

constexpr char kDialogTemplate[] = "MAINMENU";
constexpr int kSsidCapacity = 32;      // 31 characters and the zero
constexpr int kPasswordCapacity = 64;  // 63 characters and the zero

// The text of a dialog box, cut to `capacity` - 1 characters.
std::string_view BoxText(HWND dialog, int id, char* buffer, int capacity) {
  const UINT length = GetDlgItemTextA(dialog, id, buffer, capacity);
  return std::string_view(buffer, length);
}

void PaintAndOpenLink(HWND dialog) {
  PAINTSTRUCT paint;
  BeginPaint(dialog, &paint);
  SetWindowTextA(dialog, orv::app::kDialogTitle);
  EndPaint(dialog, &paint);
  if (g_opening_link) return;
  g_opening_link = true;
  if (orv::app::ProvisionOpenOnPaint(&gDeviceID) != 0) {
    SetDlgItemTextA(dialog, IDC_SSID, orv::app::kTextOpenFailed);
  }
  g_opening_link = false;
}

void ProvisionFromBoxes(HWND dialog) {
  char ssid[kSsidCapacity];
  char password[kPasswordCapacity];
  const std::string_view ssid_text = BoxText(dialog, IDC_SSID, ssid, kSsidCapacity);
  const std::string_view password_text = BoxText(dialog, IDC_PASSWORD, password, kPasswordCapacity);
  if (orv::app::Provision(ssid_text, password_text) != 0) {
    SetDlgItemTextA(dialog, IDC_PASSWORD, orv::app::kTextTransferFailed);
    return;
  }
  MessageBoxA(GetFocus(), orv::app::kTextProvisioned, orv::app::kCaptionProvisioned, MB_OK);
  PostQuitMessage(0);  // ends the dialog's loop and with it the program
}

}  // namespace

LRESULT CALLBACK WndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcA(hWnd, message, wParam, lParam);
}

INT_PTR CALLBACK MainMenuProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM /*lParam*/) {
  switch (message) {
    case WM_INITDIALOG:
      return TRUE;  // the system sets the default focus
    case WM_PAINT:
      PaintAndOpenLink(hDlg);
      return FALSE;
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDCANCEL:  // Escape or the close box
          orv::app::ProvisionCancel(gDeviceID);
          EndDialog(hDlg, 1);
          return TRUE;
        case IDC_PROVISION:
          ProvisionFromBoxes(hDlg);
          return FALSE;
        default:
          return FALSE;
      }
    default:
      return FALSE;
  }
}

// Returns FALSE when an earlier instance runs (it is brought to the
// foreground) or the window class cannot be registered.
BOOL InitApplication(HINSTANCE hInstance) {
  HWND earlier = FindWindowA(tszAppName, nullptr);
  if (earlier != nullptr) {
    if (IsIconic(earlier)) ShowWindow(earlier, SW_RESTORE);
    SetForegroundWindow(earlier);
    return FALSE;
  }
  WNDCLASSA window_class{};
  window_class.style = CS_HREDRAW | CS_VREDRAW;
  window_class.lpfnWndProc = WndProc;
  window_class.cbClsExtra = 0;
  window_class.cbWndExtra = 0;
  window_class.hInstance = hInstance;
  window_class.hIcon = LoadIconA(hInstance, tszAppName);  // none of that name: no class icon
  window_class.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
  window_class.lpszMenuName = tszAppName;
  window_class.lpszClassName = tszAppName;
  return RegisterClassA(&window_class) != 0 ? TRUE : FALSE;
}

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR /*lpCmdLine*/,
                   int /*nCmdShow*/) {
  if (hPrevInstance == nullptr && !InitApplication(hInstance)) return 0;
  hInst = hInstance;
  HWND main_window =
      CreateWindowExA(0, tszAppName, "", 0, 0, 0, 0, 0, nullptr, nullptr, hInstance, nullptr);
  if (main_window == nullptr) return 0;
  ShowWindow(main_window, SW_HIDE);
  UpdateWindow(main_window);
  DialogBoxParamA(hInst, kDialogTemplate, main_window, MainMenuProc, 0);
  return 0;
}
