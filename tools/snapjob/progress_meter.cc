#include "progress_meter.h"

#include <unistd.h>

#include <cstdio>

namespace snapjob {
namespace {

constexpr std::chrono::milliseconds kRedrawInterval(200);

std::string WithThousands(uint64_t value) {
  std::string digits = std::to_string(value);
  for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3) digits.insert(static_cast<size_t>(i), ",");
  return digits;
}

}  // namespace

ProgressMeter::ProgressMeter(StatusLine* line)
    : line_(line), output_on_terminal_(::isatty(STDOUT_FILENO) == 1) {
  if (line_->enabled()) thread_ = std::thread([this] { Run(); });
}

ProgressMeter::~ProgressMeter() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
  line_->Clear();
}

void ProgressMeter::Start(const std::string& label, bool counting) {
  if (!thread_.joinable()) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (counting && output_on_terminal_) {
    active_ = false;
    return;
  }
  label_ = label;
  counting_ = counting;
  active_ = true;
  started_ = std::chrono::steady_clock::now();
  count_.store(0);
  line_->Show(Render(label_, counting_, 0, 0.0));  // at once: short phases show up too
}

void ProgressMeter::Finish() {
  if (!thread_.joinable()) return;
  std::lock_guard<std::mutex> lock(mutex_);
  active_ = false;
  line_->Clear();
}

std::string ProgressMeter::Render(const std::string& label, bool counting, uint64_t count, double seconds) {
  // Figures first: a narrow terminal cuts the line's end, which is the path.
  char time[32];
  std::snprintf(time, sizeof(time), "%.1f s", seconds);
  if (!counting) return std::string(time) + " - " + label;
  const uint64_t rate = seconds > 0 ? static_cast<uint64_t>(static_cast<double>(count) / seconds) : 0;
  return WithThousands(count) + " items, " + WithThousands(rate) + "/s, " + time + " - " + label;
}

void ProgressMeter::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    wake_.wait_for(lock, kRedrawInterval);
    if (stop_ || !active_) continue;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    // Drawn under the lock so that a Finish cannot be overtaken by a stale redraw.
    line_->Show(Render(label_, counting_, count_.load(std::memory_order_relaxed), seconds));
  }
}

}  // namespace snapjob
