#include "snaptest/loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <random>

namespace snaptest {

namespace {

bool PortFree(const std::string& address, int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  bool ok = ::inet_pton(AF_INET, address.c_str(), &addr.sin_addr) == 1 &&
            ::bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

std::string PickLoopbackAddress(int port) {
  static std::mutex mutex;
  static std::mt19937_64 random([] {
    std::random_device device;
    uint64_t seed = (uint64_t{device()} << 32) ^ device();
    seed ^= static_cast<uint64_t>(::getpid()) << 40;
    seed ^= static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    return seed;
  }());
  std::lock_guard<std::mutex> lock(mutex);
  std::string address;
  for (int attempt = 0; attempt < 1000; ++attempt) {
    // 127.1.0.1 to 127.254.255.254: clear of 127.0.0.x, which people use by hand.
    uint64_t draw = random();
    address = "127." + std::to_string(1 + draw % 254) + "." + std::to_string((draw >> 8) % 256) + "." +
              std::to_string(1 + (draw >> 16) % 254);
    if (PortFree(address, port)) return address;
  }
  return address;
}

}  // namespace snaptest
