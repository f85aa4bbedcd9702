/* periodic_timer.c: a periodic timer and an idle callback.
 *
 * A timer is a template: each post makes one timer event, delivered once, one interval after
 * the multiplexer schedules it. Reposting the delivered event from its callback arms it again,
 * which makes the timer periodic. The idle callback runs whenever the dispatch loop has
 * nothing left at hand; here it counts those moments. */
#include <stdio.h>

#include "vor.h"

enum { TICKS = 5 };

typedef struct Ticker {
  double started;
  int ticks;
  int idle_runs;
} Ticker;

/* The timer's callback: count, and re-arm until TICKS have passed; 0 stops the loop. */
static int32_t on_tick(Event* event, void* arg) {
  Ticker* ticker = arg;
  ticker->ticks++;
  printf("tick %d at %.3f s\n", ticker->ticks, VorGetWallTime() - ticker->started);
  if (ticker->ticks == TICKS) return 0;
  VorEventRepost(event); /* the same event, due one interval from now */
  return 1;
}

/* Idle callbacks get the multiplexer and the idle call data; the data's event is null after a
 * burst, or the event that is about to stop the loop. */
static int32_t on_idle(void* mux, void* call_data, void* arg) {
  (void)mux;
  (void)call_data;
  ((Ticker*)arg)->idle_runs++;
  return 1;
}

int main(void) {
  const int32_t blocks_at_start = VorMemBlockCount();
  Ticker ticker = {VorGetWallTime(), 0, 0};
  Mux* mux = VorMuxCreate();
  Timer* timer = VorTimerCreate(0.05, "ticker"); /* intervals are at least 0.01 s */
  VorMuxIdleCbCreate(mux, on_idle, &ticker);

  Event* tick = VorTimerPost(timer, mux, on_tick, &ticker);
  Event* last = VorMuxEventLoop(mux); /* returns the event whose callback answered 0 */
  const double elapsed = VorGetWallTime() - ticker.started;
  printf("%d ticks in %.3f s, idle callback ran %d times\n", ticker.ticks, elapsed,
         ticker.idle_runs);

  /* Ticks are never early: TICKS intervals take at least TICKS * 0.05 s. */
  const int passed = last == tick && ticker.ticks == TICKS && elapsed >= TICKS * 0.05 &&
                     ticker.idle_runs >= TICKS;

  /* The delivered event is the host's: nothing queues it now, so it can go. */
  VorEventDestroy(tick);
  VorTimerDestroy(timer);
  VorMuxDestroy(mux);
  if (VorMemBlockCount() != blocks_at_start) {
    fprintf(stderr, "periodic_timer: %d blocks left\n", VorMemBlockCount() - blocks_at_start);
    return 1;
  }
  return passed ? 0 : 1;
}
