// The progress bar and its plain-line form.
#include "app/adapter/progress.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace orv::app::adapter {

namespace {

constexpr auto kTerminalInterval = std::chrono::milliseconds(100);
constexpr auto kPlainInterval = std::chrono::seconds(1);
constexpr int kBarWidth = 24;

}  // namespace

std::string FormatBytes(double bytes) {
  static constexpr const char* kUnits[] = {"B", "KiB", "MiB", "GiB"};
  size_t unit = 0;
  while (bytes >= 1024 && unit + 1 < std::size(kUnits)) {
    bytes /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, kUnits[unit]);
  return text;
}

ProgressMeter::ProgressMeter(std::FILE* out, bool terminal, std::string label)
    : out_(out), terminal_(terminal), label_(std::move(label)) {}

void ProgressMeter::Update(uint64_t done, uint64_t total) {
  done_ = done;
  total_ = total;
  if (!terminal_ && done == 0) return;  // plain lines report bytes that moved
  const auto now = Clock::now();
  if (drawn_ && now - last_draw_ < (terminal_ ? kTerminalInterval : kPlainInterval)) return;
  last_draw_ = now;
  drawn_ = true;
  Draw(done, total, std::chrono::duration<double>(now - start_).count());
}

void ProgressMeter::Finish() {
  Draw(done_, total_, std::chrono::duration<double>(Clock::now() - start_).count());
  if (terminal_) std::fputc('\n', out_);
  std::fflush(out_);
}

void ProgressMeter::Draw(uint64_t done, uint64_t total, double seconds) {
  const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
  std::string left;
  if (total != 0 && rate > 0 && done <= total) {
    char text[32];
    std::snprintf(text, sizeof text, ", %.0f s left", static_cast<double>(total - done) / rate);
    left = text;
  }
  const std::string amount = total != 0 ? FormatBytes(static_cast<double>(done)) + " of " +
                                              FormatBytes(static_cast<double>(total))
                                        : FormatBytes(static_cast<double>(done));
  const std::string speed = FormatBytes(rate) + "/s";
  if (!terminal_) {
    std::fprintf(out_, "%s: %s, %s%s\n", label_.c_str(), amount.c_str(), speed.c_str(),
                 left.c_str());
    return;
  }
  std::string bar(kBarWidth, total != 0 ? '.' : ' ');
  if (total != 0) {
    const auto filled =
        static_cast<size_t>(kBarWidth * static_cast<double>(done) / static_cast<double>(total));
    bar.replace(0, std::min<size_t>(filled, kBarWidth), std::min<size_t>(filled, kBarWidth), '#');
  }
  // "\033[K" clears what a longer earlier line left behind.
  std::fprintf(out_, "\r%s [%s] %s, %s%s\033[K", label_.c_str(), bar.c_str(), amount.c_str(),
               speed.c_str(), left.c_str());
  std::fflush(out_);
}

}  // namespace orv::app::adapter
