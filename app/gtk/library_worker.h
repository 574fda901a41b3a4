// The one thread on which the desktop dialog runs every library call.
//
// The library is single-threaded: its state is process-wide and unguarded.
// The dialog keeps it so by handing each call to this worker, which runs
// them one after another in the order posted, never two at once, while the
// window's main loop stays free to draw and take input. A task reports its
// result back to the main loop itself.
//
// Failure reporting: none; a task posted after Stop() is dropped.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

namespace orv::app::desktop {

class LibraryWorker {
 public:
  using Task = std::function<void()>;

  LibraryWorker() : thread_([this] { Run(); }) {}
  ~LibraryWorker() { Stop(); }
  LibraryWorker(const LibraryWorker&) = delete;
  LibraryWorker& operator=(const LibraryWorker&) = delete;

  void Post(Task task) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) return;
      tasks_.push_back(std::move(task));
    }
    wake_.notify_one();
  }

  // Runs what is already queued, then ends the thread.
  void Stop() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
  }

 private:
  void Run() {
    for (;;) {
      Task task;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
        if (tasks_.empty()) return;  // stopping, and nothing left
        task = std::move(tasks_.front());
        tasks_.pop_front();
      }
      task();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Task> tasks_;
  bool stopping_ = false;
  std::thread thread_;  // last: starts once the queue exists
};

}  // namespace orv::app::desktop
