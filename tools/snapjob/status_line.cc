#include "status_line.h"

#include <sys/ioctl.h>
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
  // A line wider than the terminal would wrap, and erasing would then leave its first part behind.
  std::string shown = text_;
  struct winsize size;
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1 && shown.size() >= size.ws_col) {
    shown.resize(size.ws_col - 1u);
    while (!shown.empty() && (static_cast<unsigned char>(shown.back()) & 0xC0) == 0x80) shown.pop_back();
    if (!shown.empty() && static_cast<unsigned char>(shown.back()) >= 0xC0) shown.pop_back();  // a cut lead byte
  }
  std::fputs(shown.c_str(), stderr);
  std::fflush(stderr);
  drawn_ = true;
}

}  // namespace snapjob
