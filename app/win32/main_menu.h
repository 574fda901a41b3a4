// The procedure of the provisioning dialog MAINMENU (provision.rc), kept
// apart from the program's entry so that tests can run the dialog against
// a stand-in of the provisioning core.
#pragma once

#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

// WM_PAINT: sets the title and opens the adapter link ("ERROR" in the SSID
// box when that fails); button 117: provisions the network typed into the
// boxes ("ERROR:FILE" in the password box on failure, else the success box
// and the quit message); cancel (Escape, close box): closes the link and
// ends the dialog with 1.
INT_PTR CALLBACK MainMenuProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam);
