// The entry of the Windows provisioning program: the single-instance check
// through the window class "Tarnwick", the hidden main window, and the
// modal dialog MAINMENU (provision.rc, procedure in main_menu.cpp).
//
// Failure reporting: a window class or main window that cannot be created
// ends the program silently (exit code 0, which carries no meaning).
#include "app/win32/main_menu.h"

namespace {

HINSTANCE hInst = nullptr;
const char tszAppName[9] = "Tarnwick";  // window class, menu and class icon name

constexpr char kDialogTemplate[] = "MAINMENU";

}  // namespace

LRESULT CALLBACK WndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcA(hWnd, message, wParam, lParam);
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
