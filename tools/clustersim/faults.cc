#include "clustersim/faults.h"

namespace clustersim {

Status ParseFaultSettings(const JsonObject& body, FaultSettings* out) {
  FaultSettings settings;
  std::optional<uint64_t> number;
  std::optional<double> ratio;
  std::optional<bool> flag;
  // A misspelt switch would otherwise leave the fault off while the test believes it on.
  Status status = body.OnlyKeys({"fail_status", "fail_next", "fail_nth", "fail_ratio", "seed", "expire_tokens",
                                 "drop_next", "delay_ms", "malformed_next", "page_cap"});
  if (status.ok()) status = body.GetUint("fail_status", &number);
  if (!status.ok()) return status;
  if (number) {
    if (*number != 429 && *number != 500 && *number != 503) {
      return Status::BadRequest("fail_status must be 429, 500 or 503");
    }
    settings.fail_status = static_cast<int>(*number);
  }
  struct {
    const char* key;
    uint64_t* field;
  } counts[] = {{"fail_next", &settings.fail_next},   {"fail_nth", &settings.fail_nth},
                {"seed", &settings.seed},             {"drop_next", &settings.drop_next},
                {"delay_ms", &settings.delay_ms},     {"malformed_next", &settings.malformed_next},
                {"page_cap", &settings.page_cap}};
  for (const auto& count : counts) {
    status = body.GetUint(count.key, &number);
    if (!status.ok()) return status;
    if (number) *count.field = *number;
  }
  if (settings.delay_ms > 600000) return Status::BadRequest("delay_ms must be at most 600000");
  status = body.GetDouble("fail_ratio", &ratio);
  if (!status.ok()) return status;
  if (ratio) {
    if (!(*ratio >= 0 && *ratio <= 1)) return Status::BadRequest("fail_ratio must be between 0 and 1");
    settings.fail_ratio = *ratio;
  }
  status = body.GetBool("expire_tokens", &flag);
  if (!status.ok()) return status;
  settings.expire_tokens = flag.value_or(false);
  *out = settings;
  return Status::Ok();
}

void FaultSwitches::Set(const FaultSettings& settings) {
  std::lock_guard<std::mutex> lock(mutex_);
  settings_ = settings;
  requests_since_set_ = 0;
  random_.seed(settings.seed);
}

void FaultSwitches::Clear() { Set(FaultSettings()); }

FaultSettings FaultSwitches::Current() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return settings_;
}

FaultDecision FaultSwitches::OnRequest() {
  std::lock_guard<std::mutex> lock(mutex_);
  FaultDecision decision;
  decision.delay = std::chrono::milliseconds(settings_.delay_ms);
  ++requests_since_set_;
  bool fail = false;
  if (settings_.fail_next > 0) {
    --settings_.fail_next;
    fail = true;
  }
  if (settings_.fail_nth != 0 && requests_since_set_ == settings_.fail_nth) fail = true;
  if (settings_.fail_ratio > 0) {
    // Drawn for every request so that the sequence depends only on the seed.
    double draw = std::uniform_real_distribution<double>(0.0, 1.0)(random_);
    if (draw < settings_.fail_ratio) fail = true;
  }
  if (fail) decision.fail_status = settings_.fail_status;
  if (settings_.drop_next > 0) {
    --settings_.drop_next;
    decision.drop = true;
  }
  return decision;
}

bool FaultSwitches::TakeMalformed() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (settings_.malformed_next == 0) return false;
  --settings_.malformed_next;
  return true;
}

uint64_t FaultSwitches::PageCap() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return settings_.page_cap;
}

CounterValues Counters::Read() const {
  CounterValues values;
  values.requests = requests_.load(std::memory_order_relaxed);
  values.tls_connections = tls_connections_.load(std::memory_order_relaxed);
  return values;
}

void Counters::Reset() {
  requests_.store(0, std::memory_order_relaxed);
  tls_connections_.store(0, std::memory_order_relaxed);
}

}  // namespace clustersim
