// Tests of the dialog procedure on the real MAINMENU template, run under
// Wine on a display (Xvfb), with a stand-in of the provisioning core that
// records what the dialog asks of it.
#include "app/win32/main_menu.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>

#include "app/provision_core.h"
#include "app/win32/dialog_ids.h"

namespace {

struct FakeCore {
  int open_calls = 0;
  int32_t open_result = 0;
  uint32_t device_id = 7;
  std::function<void()> during_open;
  int cancel_calls = 0;
  uint32_t cancelled_device = 0;
  int provision_calls = 0;
  std::string ssid;
  std::string password;
  int32_t provision_result = 0;
};
FakeCore g_core;

}  // namespace

namespace orv::app {

int32_t ProvisionOpenOnPaint(uint32_t* device_id, const char* /*port_name*/) {
  ++g_core.open_calls;
  if (g_core.during_open) g_core.during_open();
  *device_id = g_core.device_id;
  return g_core.open_result;
}

int32_t ProvisionCancel(uint32_t device_id) {
  ++g_core.cancel_calls;
  g_core.cancelled_device = device_id;
  return 0;
}

int32_t Provision(std::string_view ssid, std::string_view password) {
  ++g_core.provision_calls;
  g_core.ssid = ssid;
  g_core.password = password;
  return g_core.provision_result;
}

}  // namespace orv::app

namespace {

class MainMenuTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_core = FakeCore{};
    dialog_ = CreateDialogParamA(GetModuleHandleA(nullptr), "MAINMENU", nullptr, MainMenuProc, 0);
    ASSERT_NE(dialog_, nullptr) << "no display? GetLastError " << GetLastError();
  }
  void TearDown() override {
    if (dialog_ != nullptr) DestroyWindow(dialog_);
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
  }

  // Shows the dialog and delivers its first paint.
  void ShowAndPaint() {
    ShowWindow(dialog_, SW_SHOW);
    UpdateWindow(dialog_);
  }
  void Repaint() { RedrawWindow(dialog_, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW); }

  // The text of a box, or with id 0 the dialog's title.
  std::string Text(int id) const {
    char text[256] = {};
    GetWindowTextA(id == 0 ? dialog_ : GetDlgItem(dialog_, id), text, sizeof text);
    return text;
  }
  // Calls the procedure directly: through SendMessage the dialog manager
  // would hide what it returns.
  INT_PTR Command(int id) {
    return MainMenuProc(dialog_, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                        reinterpret_cast<LPARAM>(GetDlgItem(dialog_, id)));
  }

  HWND dialog_ = nullptr;
};

TEST_F(MainMenuTest, EveryPaintSetsTheTitleAndOpensTheLinkButNeverInsideAnOpen) {
  g_core.open_result = 8;
  // A repaint while the link is being opened (as under the "not detected"
  // box) must not start a second open within the first.
  g_core.during_open = [this] {
    if (g_core.open_calls == 1) Repaint();
  };
  ShowAndPaint();
  EXPECT_EQ(g_core.open_calls, 1);
  EXPECT_EQ(Text(0), orv::app::kDialogTitle);
  EXPECT_EQ(Text(IDC_SSID), "ERROR");

  Repaint();  // while no adapter is found, each paint searches again
  EXPECT_EQ(g_core.open_calls, 2);
}

TEST_F(MainMenuTest, FailedProvisionTakesTheBoxesUpToTheirLimitsAndReportsInThePasswordBox) {
  ShowAndPaint();
  const std::string ssid(40, 's');
  const std::string password = std::string(63, 'p') + "OVERFLOW";
  SetDlgItemTextA(dialog_, IDC_SSID, ssid.c_str());
  SetDlgItemTextA(dialog_, IDC_PASSWORD, password.c_str());
  g_core.provision_result = 7;

  EXPECT_EQ(Command(IDC_PROVISION), FALSE);
  EXPECT_EQ(g_core.provision_calls, 1);
  EXPECT_EQ(g_core.ssid, ssid.substr(0, 31));
  EXPECT_EQ(g_core.password, password.substr(0, 63));
  EXPECT_EQ(Text(IDC_PASSWORD), "ERROR:FILE");
  EXPECT_EQ(Text(IDC_SSID), ssid);
  MSG msg;
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
}

TEST_F(MainMenuTest, SuccessfulProvisionShowsTheSuccessBoxThenAsksToQuit) {
  ShowAndPaint();
  SetDlgItemTextA(dialog_, IDC_SSID, "Home");
  SetDlgItemTextA(dialog_, IDC_PASSWORD, "password");
  std::string box_text;
  std::thread confirm([&box_text] {
    for (int i = 0; i < 200; ++i) {
      if (HWND box = FindWindowA(nullptr, orv::app::kCaptionProvisioned)) {
        char text[256] = {};
        GetDlgItemTextA(box, 0xFFFF, text, sizeof text);  // the box's message text
        box_text = text;
        PostMessageA(box, WM_COMMAND, IDOK, 0);
        return;
      }
      Sleep(50);
    }
  });
  Command(IDC_PROVISION);  // returns once the box is confirmed
  confirm.join();

  EXPECT_EQ(g_core.ssid, "Home");
  EXPECT_EQ(g_core.password, "password");
  EXPECT_EQ(box_text, orv::app::kTextProvisioned);
  MSG msg;
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
  EXPECT_EQ(msg.wParam, 0u);
}

TEST_F(MainMenuTest, CancelClosesTheOpenedDeviceAndEndsTheDialog) {
  g_core.device_id = 42;
  ShowAndPaint();
  EXPECT_EQ(Command(IDCANCEL), TRUE);
  EXPECT_EQ(g_core.cancel_calls, 1);
  EXPECT_EQ(g_core.cancelled_device, 42u);
  EXPECT_FALSE(IsWindowVisible(dialog_));
  EXPECT_EQ(g_core.provision_calls, 0);
}

}  // namespace
