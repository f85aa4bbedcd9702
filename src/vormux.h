// What the multiplexer shares inside the library and does not export (namespace vor::mux): the
// lists of links and timers bound to it, and the count of link operations still to come back, which
// let VorMuxDestroy give back everything the library holds, whatever the host has left outstanding.
#pragma once
#include <atomic>
#include <cstdint>

#include "vor.h"

namespace vor::mux {

// Puts a link's or timer's binding node into the multiplexer's list (under its mutex).
void BindingAdd(Mux* mux, VorBinding* node, bool is_link);
// Takes the node out of its multiplexer's list; nothing once that multiplexer is gone.
void BindingRemove(Mux* mux, VorBinding* node);
// True while a record bound to bound_mux may be used with mux: the same, and still alive.
inline bool BoundTo(const Mux* bound_mux, const VorBinding& node, const Mux* mux) {
  return bound_mux == mux && node.mux_gone == 0;
}

// A link event's course (Event::link_state), and the multiplexer's count of outstanding link
// operations (Mux::link_ops); both change once or twice per message, so these are inline.
constexpr int32_t kAtRest = 0;
constexpr int32_t kOutstanding = 1;
constexpr int32_t kAbandoned = 2;
inline std::atomic_ref<int32_t> LinkState(Event* event) {
  return std::atomic_ref<int32_t>(event->link_state);
}
inline std::atomic_ref<int32_t> LinkOps(Mux* mux) {
  return std::atomic_ref<int32_t>(mux->link_ops);
}

// A link event's operation is about to start on mux (Start), or its start was refused (Undo).
inline void LinkOpStart(Mux* mux, Event* event) {
  LinkOps(mux).fetch_add(1, std::memory_order_acq_rel);
  LinkState(event).store(kOutstanding, std::memory_order_release);
}
inline void LinkOpUndo(Mux* mux, Event* event) {
  LinkState(event).store(kAtRest, std::memory_order_release);
  LinkOps(mux).fetch_sub(1, std::memory_order_acq_rel);
}
// Marks an outstanding link event as given up by its host; false when it is not outstanding
// (and may be freed at once).
bool LinkOpAbandon(Event* event);
// True while VorMuxDestroy gathers the multiplexer's outstanding link operations: completion
// handlers then end their operation instead of trying again.
bool Closing(Mux* mux);

}  // namespace vor::mux
