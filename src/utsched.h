// The due order of a multiplexer's scheduled timer events: which event falls due first, by
// due time and, for equal due times, by scheduling order. Used by utmux under the
// multiplexer's mutex only; not exported.
#pragma once
#include <cstdint>

#include "vor.h"

namespace vor::sched {

// One scheduled event with its due time and its place in the scheduling order.
struct Entry {
  double due;
  uint64_t order;
  Event* event;
};

VorTimerIndex* Create();
void Destroy(VorTimerIndex* index);

// Takes a newly scheduled event; the calls give the scheduling order. Amortised O(1) when
// due times arrive in ascending order (timers of one interval), O(log N) otherwise; allocates
// only when the index outgrows every size it had before.
void Add(VorTimerIndex* index, Event* event, double due);

// The event that falls due first, or null when none is scheduled.
const Entry* First(const VorTimerIndex* index);

// Removes the event that First gives, O(log N) at most.
Event* RemoveFirst(VorTimerIndex* index);

size_t Size(const VorTimerIndex* index);

}  // namespace vor::sched
