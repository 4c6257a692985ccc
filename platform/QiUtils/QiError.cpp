#include "QiError.h"

#include <cstdarg>
#include <cstdio>

#include <boost/make_shared.hpp>

#include "FXErrorUtil.h"
#include "FXString.h"

unsigned int CQiError::Win32Code() const {
  if (m_detail) return m_detail->win32Code;
  // A failure made without its detail (no memory left for one) still carries the code in its status.
  const uint32_t status = static_cast<uint32_t>(m_status);
  return (status & 0xFFFF0000u) == 0x80070000u ? status & 0xFFFFu : 0;
}

std::vector<std::string> CQiError::Messages() const {
  std::vector<std::string> out;
  if (!m_detail) return out;
  for (const auto& frame : m_detail->frames) {
    if (!frame.message.empty()) out.push_back(frame.message);
  }
  return out;
}

std::vector<std::string> CQiError::LocationStack() const {
  std::vector<std::string> out;
  if (!m_detail) return out;
  for (const auto& frame : m_detail->frames) {
    std::string line = frame.file + ": " + frame.function + ":" + std::to_string(frame.line);
    if (!frame.message.empty()) line += ": " + frame.message;
    out.push_back(line);
  }
  return out;
}

std::string CQiError::ToString() const {
  if (!IsError()) return "success";
  std::string text = FXString::Format("error %u (status 0x%08X)", Win32Code(), static_cast<uint32_t>(m_status));
  for (const auto& line : LocationStack()) text += "\n  at " + line;
  return text;
}

CQiError CQiError::PushFrame(const FXCodeLocation& location, std::string message) const {
  if (!IsError()) return *this;
  CQiError out = *this;
  if (!out.m_detail) out.m_detail = boost::make_shared<FXErrorPrivate>();
  FXErrorFrame frame;
  frame.file = location.File() ? location.File() : "";
  frame.function = location.Function() ? location.Function() : "";
  frame.line = location.Line();
  frame.message = std::move(message);
  out.m_detail->frames.push_back(std::move(frame));
  return out;
}

CQiError CQiError::Push(const FXCodeLocation& location) const { return PushFrame(location, std::string()); }

CQiError CQiError::Push(const FXCodeLocation& location, const char* format, ...) const {
  va_list args;
  va_start(args, format);
  std::string message = FXString::FormatV(format, args);
  va_end(args);
  return PushFrame(location, std::move(message));
}

int32_t FXErrorUtil::StatusFromWin32(unsigned int code) {
  return static_cast<int32_t>(0x80070000u | (code & 0xFFFFu));
}

static CQiError MakeError(const FXCodeLocation& location, unsigned int code, std::string message) {
  auto detail = boost::make_shared<FXErrorPrivate>();
  detail->win32Code = code;
  return CQiError(FXErrorUtil::StatusFromWin32(code), detail).Push(location, "%s", message.c_str());
}

CQiError FXErrorUtil::ErrorWin32(const FXCodeLocation& location, unsigned int code) {
  return MakeError(location, code, std::string());
}

CQiError FXErrorUtil::ErrorWin32(const FXCodeLocation& location, unsigned int code, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string message = FXString::FormatV(format, args);
  va_end(args);
  return MakeError(location, code, std::move(message));
}
