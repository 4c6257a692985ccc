// Shows a person at a terminal that a long change list is moving: the phase, the count of items,
// their rate and the time spent, redrawn a few times a second on the status line. Does nothing
// when standard error is not a terminal. Start, Add and Finish may be called from one thread
// while the meter's own thread redraws.
#ifndef SNAPJOB_PROGRESS_METER_H_
#define SNAPJOB_PROGRESS_METER_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "status_line.h"

namespace snapjob {

class ProgressMeter {
 public:
  explicit ProgressMeter(StatusLine* line);
  ~ProgressMeter();
  ProgressMeter(const ProgressMeter&) = delete;
  ProgressMeter& operator=(const ProgressMeter&) = delete;

  // Begins a phase. A counting phase shows its count and rate; the other only the time spent
  // (fetching happens inside one blocking call of the plug-in, which reports no count). When
  // standard output is a terminal too, counting phases are not shown: the items themselves
  // scroll by there, and a status line would land among them.
  void Start(const std::string& label, bool counting);
  void Add(uint64_t items) { count_.fetch_add(items, std::memory_order_relaxed); }
  // Ends the phase and takes it off the screen.
  void Finish();

  // The status text for a phase, e.g. "120,000 items, 85,000/s, 1.4 s - changes of /mnt/p".
  static std::string Render(const std::string& label, bool counting, uint64_t count, double seconds);

 private:
  void Run();

  StatusLine* line_;
  const bool output_on_terminal_;
  std::atomic<uint64_t> count_{0};
  std::mutex mutex_;
  std::condition_variable wake_;
  std::string label_;
  bool counting_ = false;
  bool active_ = false;
  bool stop_ = false;
  std::chrono::steady_clock::time_point started_;
  std::thread thread_;
};

}  // namespace snapjob

#endif  // SNAPJOB_PROGRESS_METER_H_
