// The desktop dialog's library side without a window: its calls run one
// after another on the worker thread, and its platform table sends the
// "not detected" notice to the dialog while every other service still
// reaches the wrapped table.
#include <gtest/gtest.h>

#include <future>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/gtk/library_worker.h"
#include "app/gtk/notice_platform.h"
#include "app/provision_core.h"
#include "platform/platform.h"
#include "tests/support/library_fixture.h"

namespace orv::app::desktop {
namespace {

using Notice = std::pair<std::string, std::string>;

// Tasks run in order on a thread of the worker's own; Stop runs what is
// queued and drops later posts.
TEST(GtkLibraryWorker, RunsTasksInOrderOnItsOwnThreadAndStopsAfterTheQueue) {
  std::vector<int> order;
  std::vector<std::thread::id> threads;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  LibraryWorker worker;
  worker.Post([released] { released.wait(); });  // holds the queue
  for (int i = 0; i < 5; ++i) {
    worker.Post([&, i] {
      order.push_back(i);
      threads.push_back(std::this_thread::get_id());
    });
  }
  release.set_value();
  worker.Stop();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
  ASSERT_EQ(threads.size(), 5u);
  for (const auto& id : threads) {
    EXPECT_EQ(id, threads.front());
    EXPECT_NE(id, std::this_thread::get_id());
  }
  worker.Post([&] { order.push_back(5); });
  worker.Stop();
  EXPECT_EQ(order.size(), 5u);
}

class GtkNoticePlatform : public test::LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    platform::install(&desktop_);
  }

  // Runs `call` on the worker, as the dialog does, and returns its status.
  int32_t OnWorker(int32_t (*call)(uint32_t*)) {
    std::promise<int32_t> status;
    worker_.Post([&] { status.set_value(call(&device_id_)); });
    return status.get_future().get();
  }
  static int32_t Open(uint32_t* id) { return ProvisionOpenOnPaint(id); }
  static int32_t Close(uint32_t* id) { return ProvisionCancel(*id); }

  static void Record(void* context, const char* text, const char* caption) {
    static_cast<std::vector<Notice>*>(context)->emplace_back(text, caption);
  }

  std::vector<Notice> notices_;
  NoticePlatform desktop_{platform_, Record, &notices_};
  LibraryWorker worker_;
  uint32_t device_id_ = 0;
};

TEST_F(GtkNoticePlatform, OpenAndCloseOnTheWorkerReachTheAdapterThroughTheWrapper) {
  EXPECT_EQ(OnWorker(Open), 0);
  EXPECT_EQ(device_id_, kAdapterPort);
  EXPECT_EQ(platform_.port(kAdapterPort).opens, 1u);
  EXPECT_EQ(OnWorker(Close), 0);
  EXPECT_EQ(platform_.port(kAdapterPort).handle, platform::kInvalidHandle);
  EXPECT_TRUE(notices_.empty());
}

TEST_F(GtkNoticePlatform, NotDetectedGoesToTheDialogOnceAndNeverToTheWrappedTable) {
  platform_.remove_port(kAdapterPort);
  EXPECT_EQ(OnWorker(Open), 8);
  EXPECT_EQ(OnWorker(Open), 8);  // the window exposed again
  EXPECT_EQ(notices_, (std::vector<Notice>{{"Orvanta not detected", "ERROR"}}));
  EXPECT_TRUE(platform_.message_boxes().empty());
}

TEST_F(GtkNoticePlatform, SuppressedNoticeNeverReachesTheDialog) {
  platform_.set_registry(
      {emu::RegistrySubkey{"Adapter", {}}.text("Name", "Orvanta-IOT").text("SuppressPopups", "")});
  platform_.remove_port(kAdapterPort);
  EXPECT_EQ(OnWorker(Open), 8);
  EXPECT_TRUE(notices_.empty());
}

}  // namespace
}  // namespace orv::app::desktop
