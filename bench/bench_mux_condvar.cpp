// The cross-thread posting benchmark on the plainest queue: a deque of small handlers under a
// std::mutex, a std::condition_variable to wake the consumer. The baseline for Vor's post.
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "mux_peers.h"

namespace {

struct Handler {
  void (*run)(void* arg);
  void* arg;
};

class HandlerQueue {
 public:
  void Push(Handler handler) {
    bool was_empty;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      was_empty = queue_.empty();
      queue_.push_back(handler);
    }
    if (was_empty) ready_.notify_one();  // the consumer waits only on an empty queue
  }
  Handler Pop() {
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait(lock, [this] { return !queue_.empty(); });
    Handler handler = queue_.front();
    queue_.pop_front();
    return handler;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Handler> queue_;
};

void CountOne(void* arg) { ++*static_cast<int64_t*>(arg); }

// `producers` threads push kCrossThreadItems handlers in all; the calling thread runs them.
int64_t CrossThreadPostCondvar(HandlerQueue& queue, int64_t producers) {
  int64_t received = 0;
  std::vector<std::thread> threads;
  for (int64_t p = 0; p < producers; ++p) {
    threads.emplace_back([&queue, &received, p, producers] {
      for (int64_t i = p; i < vorbench::kCrossThreadItems; i += producers) queue.Push({CountOne, &received});
    });
  }
  for (int64_t i = 0; i < vorbench::kCrossThreadItems; ++i) {
    Handler handler = queue.Pop();
    handler.run(handler.arg);
  }
  for (auto& t : threads) t.join();
  return received;
}

void BM_CrossThreadPostMutexCondvar(benchmark::State& state) {
  HandlerQueue queue;
  for (auto _ : state) {
    if (CrossThreadPostCondvar(queue, state.range(0)) != vorbench::kCrossThreadItems) state.SkipWithError("lost");
  }
  state.SetItemsProcessed(state.iterations() * vorbench::kCrossThreadItems);
}
BENCHMARK(BM_CrossThreadPostMutexCondvar)->Apply(vorbench::CrossThreadCases);

}  // namespace
