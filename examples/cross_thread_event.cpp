/* cross_thread_event.cpp: a user event posted from another thread.
 *
 * A worker thread reports progress by posting a user event to the multiplexer; the thread that
 * runs the dispatch loop receives it and runs its callback. Posting is safe from any thread (it
 * goes through the multiplexer's completion port), and an event posted again before it was
 * delivered is delivered again. The worker posts with the same callback and argument each time,
 * which leaves the event's fields as they are while the loop reads them. A second event without a callback tells the loop to return.
 *
 * Written in C++ only for std::thread, which every compiler we build with has; the library
 * calls are the C ones. */
#include <cstdio>
#include <thread>

#include "vor.h"

namespace {

constexpr int kReports = 10;

struct Progress {
  int delivered = 0;
};

// Runs on the dispatching thread for every delivery of the progress event.
int32_t OnProgress(Event*, void* arg) {
  auto* progress = static_cast<Progress*>(arg);
  progress->delivered++;
  std::printf("progress report %d received\n", progress->delivered);
  return 1;  // keep dispatching
}

// The worker: posts kReports progress reports, then the event that stops the loop.
void Work(Mux* mux, Event* progress_event, Event* done_event, Progress* progress) {
  for (int i = 0; i < kReports; ++i) VorEventPost(progress_event, mux, OnProgress, progress);
  VorEventPost(done_event, mux, nullptr, nullptr);  // no callback: the loop returns it
}

}  // namespace

int main() {
  const int32_t blocks_at_start = VorMemBlockCount();
  Mux* mux = VorMuxCreate();
  Event* progress_event = VorEventCreate();
  Event* done_event = VorEventCreate();
  Progress progress;

  std::thread worker(Work, mux, progress_event, done_event, &progress);
  // Completions come out in the order they were posted, so the stop comes after the reports.
  Event* stopped_by = VorMuxEventLoop(mux);
  worker.join();

  std::printf("%d of %d reports delivered\n", progress.delivered, kReports);
  const bool passed = stopped_by == done_event && progress.delivered == kReports;

  // User events belong to the host from VorEventCreate on.
  VorEventDestroy(progress_event);
  VorEventDestroy(done_event);
  VorMuxDestroy(mux);
  if (VorMemBlockCount() != blocks_at_start) {
    std::fprintf(stderr, "cross_thread_event: %d blocks left\n",
                 VorMemBlockCount() - blocks_at_start);
    return 1;
  }
  return passed ? 0 : 1;
}
