// The dialog procedure of the provisioning program. What the buttons do is
// the platform-free provisioning core (app/provision_core.h); this file
// only reads and sets the box texts, shows the success box and asks the
// program to end.
//
// Failure reporting: the core's failures show as "ERROR" in the SSID box
// and "ERROR:FILE" in the password box.
#include "app/win32/main_menu.h"

#include <cstdint>
#include <string_view>

#include "app/provision_core.h"
#include "app/win32/dialog_ids.h"

namespace {

uint32_t gDeviceID = 0;  // from the link's open, handed back at cancel

// Set while the paint handler is opening the link. The "not detected" box
// runs a message loop of its own, and a repaint of the dialog inside it must
// not start a second discovery (and a second box) within the first.
bool g_opening_link = false;

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
