// The desktop dialog's decisions without a window: when the link is opened,
// one library call at a time, what each outcome shows, cancel, and the byte
// limits of the two boxes.
#include <gtest/gtest.h>

#include <string>

#include "app/gtk/dialog_flow.h"
#include "app/provision_core.h"

namespace orv::app::desktop {
namespace {

constexpr int32_t kNotConnected = 8;

// A dialog that has been shown and whose first open has returned `status`.
DialogFlow ShownAndOpened(int32_t status = 0) {
  DialogFlow flow;
  EXPECT_EQ(OnExposed(flow), Job::kOpen);
  OnJobDone(flow, Job::kOpen, status);
  return flow;
}

// A failed open shows "ERROR" in the SSID box and leaves the dialog usable.
TEST(GtkDialogFlow, OpensOnFirstExposeAndAfterHidingButNotOnRedraws) {
  DialogFlow flow;
  EXPECT_EQ(OnExposed(flow), Job::kOpen);
  EXPECT_TRUE(IsBusy(flow));
  EXPECT_EQ(OnExposed(flow), Job::kNone);  // redraw while the open runs
  EXPECT_FALSE(OnProvisionPressed(flow));  // nor a transfer
  const JobOutcome failed = OnJobDone(flow, Job::kOpen, kNotConnected);
  EXPECT_TRUE(failed.show_open_failed);
  EXPECT_FALSE(failed.show_transfer_failed);
  EXPECT_FALSE(failed.quit);
  EXPECT_FALSE(IsBusy(flow));
  for (int redraw = 0; redraw < 3; ++redraw) EXPECT_EQ(OnExposed(flow), Job::kNone);

  OnHidden(flow);  // iconified or unmapped
  EXPECT_EQ(OnExposed(flow), Job::kOpen);
  EXPECT_FALSE(OnJobDone(flow, Job::kOpen, 0).show_open_failed);
}

TEST(GtkDialogFlow, HiddenAndShownDuringACallOpensOnceTheCallReturns) {
  DialogFlow flow;
  ASSERT_EQ(OnExposed(flow), Job::kOpen);
  OnHidden(flow);
  EXPECT_EQ(OnExposed(flow), Job::kNone);  // one call at a time
  const JobOutcome outcome = OnJobDone(flow, Job::kOpen, kNotConnected);
  EXPECT_TRUE(outcome.show_open_failed);
  EXPECT_EQ(outcome.next, Job::kOpen);
  EXPECT_EQ(flow.running, Job::kOpen);

  // Hidden during a call and still hidden when it returns: the open waits
  // for the window to be seen again.
  OnJobDone(flow, Job::kOpen, 0);
  ASSERT_TRUE(OnProvisionPressed(flow));
  OnHidden(flow);
  EXPECT_EQ(OnJobDone(flow, Job::kProvision, kNotConnected).next, Job::kNone);
  EXPECT_EQ(OnExposed(flow), Job::kOpen);
}

TEST(GtkDialogFlow, FailedTransferShowsErrorFileAndAllowsAnotherTry) {
  for (const int32_t status : {kNotConnected, kProvisionFileNotWritten}) {
    DialogFlow flow = ShownAndOpened();
    ASSERT_TRUE(OnProvisionPressed(flow));
    EXPECT_FALSE(OnProvisionPressed(flow));  // a second press during the transfer
    EXPECT_EQ(flow.running, Job::kProvision);
    const JobOutcome outcome = OnJobDone(flow, Job::kProvision, status);
    EXPECT_TRUE(outcome.show_transfer_failed) << status;
    EXPECT_FALSE(outcome.show_success);
    EXPECT_FALSE(outcome.quit);
    EXPECT_TRUE(OnProvisionPressed(flow));
  }
}

TEST(GtkDialogFlow, SuccessShowsTheBoxAndTakesNoMoreWork) {
  DialogFlow flow = ShownAndOpened();
  ASSERT_TRUE(OnProvisionPressed(flow));
  const JobOutcome outcome = OnJobDone(flow, Job::kProvision, 0);
  EXPECT_TRUE(outcome.show_success);
  EXPECT_FALSE(outcome.show_transfer_failed);
  EXPECT_EQ(outcome.next, Job::kNone);
  EXPECT_TRUE(IsBusy(flow));
  EXPECT_FALSE(OnProvisionPressed(flow));
  OnHidden(flow);
  EXPECT_EQ(OnExposed(flow), Job::kNone);
}

TEST(GtkDialogFlow, CancelClosesTheLinkThenEnds) {
  DialogFlow flow = ShownAndOpened();
  EXPECT_EQ(OnCancel(flow), Job::kClose);
  EXPECT_EQ(OnCancel(flow), Job::kNone);  // Escape and the close box both
  EXPECT_FALSE(OnProvisionPressed(flow));
  EXPECT_TRUE(OnJobDone(flow, Job::kClose, 0).quit);
}

TEST(GtkDialogFlow, CancelDuringACallClosesAfterItWithoutShowingItsResult) {
  DialogFlow flow;
  ASSERT_EQ(OnExposed(flow), Job::kOpen);
  EXPECT_EQ(OnCancel(flow), Job::kNone);
  const JobOutcome after_open = OnJobDone(flow, Job::kOpen, kNotConnected);
  EXPECT_FALSE(after_open.show_open_failed);
  EXPECT_EQ(after_open.next, Job::kClose);
  EXPECT_FALSE(after_open.quit);
  EXPECT_TRUE(OnJobDone(flow, Job::kClose, kNotConnected).quit);

  DialogFlow transfer = ShownAndOpened();
  ASSERT_TRUE(OnProvisionPressed(transfer));
  OnCancel(transfer);
  const JobOutcome after_transfer = OnJobDone(transfer, Job::kProvision, 0);
  EXPECT_FALSE(after_transfer.show_success);
  EXPECT_EQ(after_transfer.next, Job::kClose);
}

TEST(GtkDialogFlow, BoxTextIsCutToTheFieldLimitAtACharacterBoundary) {
  const std::string forty(40, 's');
  EXPECT_EQ(FittingPrefix(forty, kMaxSsidLength).size(), 31u);
  EXPECT_EQ(FittingPrefix("short", kMaxSsidLength), "short");

  // 30 ASCII bytes and a two-byte "é": the 31st byte would split it.
  const std::string accented = std::string(30, 'a') + "\xC3\xA9";
  EXPECT_EQ(FittingPrefix(accented, kMaxSsidLength), std::string(30, 'a'));
  // A four-byte character at the end of a 63-byte password is kept whole or
  // not at all.
  const std::string emoji = std::string(61, 'p') + "\xF0\x9F\x94\x91";
  EXPECT_EQ(FittingPrefix(emoji, kMaxPasswordLength).size(), 61u);
  EXPECT_EQ(FittingPrefix(emoji, 65).size(), 65u);
}

TEST(GtkDialogFlow, InsertionsStopAtTheByteLimitOfTheBox) {
  EXPECT_EQ(InsertableBytes("abc", 0, kMaxSsidLength), 3u);
  EXPECT_EQ(InsertableBytes("abc", 29, kMaxSsidLength), 2u);
  EXPECT_EQ(InsertableBytes("abc", 31, kMaxSsidLength), 0u);
  EXPECT_EQ(InsertableBytes("abc", 40, kMaxSsidLength), 0u);
  EXPECT_EQ(InsertableBytes("\xC3\xA9\xC3\xA9", 28, kMaxSsidLength), 2u);
  EXPECT_EQ(InsertableBytes("\xC3\xA9", 30, kMaxSsidLength), 0u);
  // 70 characters pasted into the password box: 63 are taken.
  EXPECT_EQ(InsertableBytes(std::string(70, 'x'), 0, kMaxPasswordLength), 63u);
}

}  // namespace
}  // namespace orv::app::desktop
