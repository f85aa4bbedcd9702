// Timers: the template (interval, optional id) from which each post makes a new timer event.
// A timer binds to the first multiplexer it is posted to, for life.
#include "vor.h"
#include "vormux.h"
#include "vufail.h"
#include "vutext.h"

using vor::Fail;

namespace {

constexpr const char* kUnit = "uttimer";
constexpr double kMinInterval = 0.01;

// Re-issue of a timer event: back into its multiplexer's new-timer queue. The post that made the
// event checked the binding; only a multiplexer destroyed since (whose address a new one may
// have) is refused.
Event* RepostTimerEvent(void* /*timer*/, Mux* mux, Event* event) {
  if (event->u.te.timer->binding.mux_gone != 0) return Fail<Event*>(ERR_WRONG_MUX);
  return VorMuxTimerEventPostInternal(mux, event) ? event : nullptr;
}

char* CopyId(const char* id) {
  if (id == nullptr || id[0] == '\0') return nullptr;
  return vor::StrCopy(id, "(timer->id)", kUnit, __LINE__);
}

}  // namespace

extern "C" {

Timer* VorTimerCreate(double interval, const char* id) {
  // Written so that NaN fails too.
  if (!(interval >= kMinInterval)) return Fail<Timer*>(ERR_VAL_RANGE);
  auto* timer = static_cast<Timer*>(VorCallocCheck(sizeof(Timer), "timer", kUnit, __LINE__));
  timer->id = CopyId(id);
  timer->interval = interval;
  return timer;
}

// Refused while one of the timer's events is still queued in a multiplexer: the timer step
// reads the timer when it schedules the event.
int32_t VorTimerDestroy(Timer* timer) {
  if (timer == nullptr) return Fail(ERR_NULL_PTR);
  if (timer->outstanding > 0) return Fail(ERR_BUSY);
  vor::mux::BindingRemove(timer->mux, &timer->binding);
  VorFreeCheck(timer->id, "(timer->id)", kUnit, __LINE__);
  VorFreeCheck(timer, "timer", kUnit, __LINE__);
  return 1;
}

Event* VorTimerPost(Timer* timer, Mux* mux, VorEventCallback callback, void* callback_arg) {
  if (timer == nullptr) return Fail<Event*>(ERR_NULL_PTR);
  if (mux == nullptr) return Fail<Event*>(ERR_NULL_PTR);
  if (timer->mux == nullptr) {
    timer->mux = mux;
    vor::mux::BindingAdd(mux, &timer->binding, false);
  }
  if (!vor::mux::BoundTo(timer->mux, timer->binding, mux)) return Fail<Event*>(ERR_WRONG_MUX);
  Event* event = VorEventAllocInternal(VOR_EVENT_TIMER);
  event->repost_fn = reinterpret_cast<VorRepostFn>(&RepostTimerEvent);
  event->repost_obj = timer;
  event->u.te.timer = timer;
  event->mux = mux;
  event->callback = callback;
  event->callback_arg = callback_arg;
  VorMuxTimerEventPostInternal(mux, event);
  return event;
}

int32_t VorTimerGetUserProp(Timer* timer, void** result) {
  if (timer == nullptr) return Fail(ERR_NULL_PTR);
  if (result == nullptr) return Fail(ERR_NULL_PTR);
  *result = timer->user_prop;
  return 1;
}

int32_t VorTimerSetUserProp(Timer* timer, void* value) {
  if (timer == nullptr) return Fail(ERR_NULL_PTR);
  timer->user_prop = value;
  return 1;
}

}  // extern "C"
