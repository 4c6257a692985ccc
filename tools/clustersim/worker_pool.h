// The server's worker threads, which answer requests that have arrived whole. A burst of slow
// requests (a large difference, a big snapshot copy) would leave a small fixed pool busy while
// quick ones wait; this pool grows on demand up to a bound instead. Thread-safe.
#ifndef CLUSTERSIM_WORKER_POOL_H_
#define CLUSTERSIM_WORKER_POOL_H_

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include <httplib.h>

namespace clustersim {

class WorkerPool : public httplib::TaskQueue {
 public:
  explicit WorkerPool(size_t max_threads) : max_threads_(max_threads) {}
  ~WorkerPool() override { shutdown(); }

  // Runs `job` on an idle worker, on a new one while under the bound, else once a worker frees.
  void enqueue(std::function<void()> job) override;
  // Runs what is queued, then joins every worker.
  void shutdown() override;

 private:
  void Work();

  const size_t max_threads_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  std::vector<std::thread> threads_;
  size_t idle_ = 0;
  bool stopping_ = false;
};

}  // namespace clustersim

#endif  // CLUSTERSIM_WORKER_POOL_H_
