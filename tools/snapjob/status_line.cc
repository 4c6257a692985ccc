#include "status_line.h"

#include <unistd.h>

#include <cstdio>

namespace snapjob {

StatusLine& StatusLine::Stderr() {
  static StatusLine* line = new StatusLine(::isatty(STDERR_FILENO) == 1);  // lives to exit
  return *line;
}

void StatusLine::Show(const std::string& text) {
  if (!enabled_) return;
  std::lock_guard<std::mutex> lock(mutex_);
  text_ = text;
  EraseLocked();
  DrawLocked();
}

void StatusLine::Clear() {
  if (!enabled_) return;
  std::lock_guard<std::mutex> lock(mutex_);
  text_.clear();
  EraseLocked();
}

void StatusLine::WriteAbove(const std::function<void()>& write) {
  if (!enabled_) {
    write();
    return;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  EraseLocked();
  write();
  DrawLocked();
}

void StatusLine::EraseLocked() {
  if (!drawn_) return;
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  drawn_ = false;
}

void StatusLine::DrawLocked() {
  if (text_.empty()) return;
  std::fputs(text_.c_str(), stderr);
  std::fflush(stderr);
  drawn_ = true;
}

}  // namespace snapjob
