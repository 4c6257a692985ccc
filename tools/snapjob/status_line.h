// The transient status line at the bottom of standard error when it is a terminal. The progress
// meter draws it; whatever else writes to standard error goes through WriteAbove, so that a log
// line never lands in the middle of a progress line. Thread-safe.
#ifndef SNAPJOB_STATUS_LINE_H_
#define SNAPJOB_STATUS_LINE_H_

#include <functional>
#include <mutex>
#include <string>

namespace snapjob {

class StatusLine {
 public:
  // The process's one status line; enabled exactly when standard error is a terminal.
  static StatusLine& Stderr();

  bool enabled() const { return enabled_; }

  // Replaces the status text (no effect when disabled).
  void Show(const std::string& text);
  // Removes the status text from the screen.
  void Clear();
  // Runs `write`, which writes whole lines to standard error, with the status taken off the
  // screen before and put back after.
  void WriteAbove(const std::function<void()>& write);

 private:
  explicit StatusLine(bool enabled) : enabled_(enabled) {}
  void EraseLocked();
  void DrawLocked();

  const bool enabled_;
  std::mutex mutex_;
  std::string text_;
  bool drawn_ = false;
};

}  // namespace snapjob

#endif  // SNAPJOB_STATUS_LINE_H_
