// The progress display of put, get and firmware on standard error: a bar
// redrawn in place on a terminal, plain lines (at most one a second)
// otherwise; both with bytes, rate and, when the total is known, the time
// left. Redraws are throttled so that the display costs the transfer
// nothing measurable.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace orv::app::adapter {

class ProgressMeter {
 public:
  ProgressMeter(std::FILE* out, bool terminal, std::string label);
  // `total` 0: not known beforehand.
  void Update(uint64_t done, uint64_t total);
  // The last state, drawn once more whatever the throttle says, and the
  // end of the line.
  void Finish();

 private:
  using Clock = std::chrono::steady_clock;
  void Draw(uint64_t done, uint64_t total, double seconds);

  std::FILE* out_;
  bool terminal_;
  std::string label_;
  Clock::time_point start_ = Clock::now();
  Clock::time_point last_draw_{};
  uint64_t done_ = 0, total_ = 0;
  bool drawn_ = false;
};

// "512.0 KiB", "3 B".
std::string FormatBytes(double bytes);

}  // namespace orv::app::adapter
