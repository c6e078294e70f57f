// Work spread over all cores whose results are still taken one after the other, in order.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace brannock {

/// The number of threads to spread work over: the machine's cores.
inline unsigned WorkerThreads() { return std::max(1u, std::thread::hardware_concurrency()); }

/// Runs `work(i)` for i = 0, 1, ... count - 1 on up to `threads` threads and hands each
/// result to `deliver(i, result)` on the calling thread, strictly in index order, as if the
/// work ran one item after the other. `deliver` returning false, or `keepStarting()`
/// (asked on the worker threads before each item) returning false, starts no further item;
/// items already started finish, and those after the last delivered are dropped. Workers
/// run at most 2 * threads items ahead of delivery.
template <typename Result>
void RunInOrder(size_t count, const std::function<Result(size_t)>& work,
                const std::function<bool(size_t, Result&)>& deliver,
                const std::function<bool()>& keepStarting = nullptr,
                unsigned threads = WorkerThreads()) {
  threads = static_cast<unsigned>(std::min<size_t>(threads, count));
  if (threads <= 1) {
    for (size_t i = 0; i < count; ++i) {
      if (keepStarting && !keepStarting()) return;
      Result result = work(i);
      if (!deliver(i, result)) return;
    }
    return;
  }
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::optional<Result>> finished(count);
  size_t next = 0, delivered = 0;
  bool stop = false;
  const size_t window = 2 * size_t{threads};

  auto worker = [&] {
    for (;;) {
      size_t index;
      {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return stop || next >= count || next < delivered + window; });
        if (stop || next >= count || (keepStarting && !keepStarting())) {
          stop = true;
          changed.notify_all();
          return;
        }
        index = next++;
      }
      Result result = work(index);
      std::lock_guard<std::mutex> lock(mutex);
      finished[index] = std::move(result);
      changed.notify_all();
    }
  };
  std::vector<std::thread> pool;
  for (unsigned t = 0; t < threads; ++t) pool.emplace_back(worker);

  for (size_t i = 0; i < count; ++i) {
    std::optional<Result> result;
    {
      std::unique_lock<std::mutex> lock(mutex);
      changed.wait(lock, [&] { return finished[i].has_value() || (stop && i >= next); });
      if (!finished[i]) break;
      result = std::move(finished[i]);
      finished[i].reset();
    }
    const bool more = deliver(i, *result);
    std::lock_guard<std::mutex> lock(mutex);
    delivered = i + 1;
    if (!more) stop = true;
    changed.notify_all();
    if (!more) break;
  }
  for (std::thread& thread : pool) thread.join();
}

}  // namespace brannock
