// Loopback addresses for test servers. Every server listens on port 8000
// (the port the snap client always uses), so parallel tests tell their
// servers apart by address within 127.0.0.0/8.
#ifndef SNAPTEST_LOOPBACK_H_
#define SNAPTEST_LOOPBACK_H_

#include <string>

namespace snaptest {

// Returns a random 127.x.y.z address (never 127.0.0.1) on which `port` is
// free right now. Distinct between concurrently running test processes with
// overwhelming probability; callers that bind later should still retry with
// a new address if binding fails. Thread-safe.
std::string PickLoopbackAddress(int port = 8000);

}  // namespace snaptest

#endif  // SNAPTEST_LOOPBACK_H_
