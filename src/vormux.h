// What the multiplexer shares inside the library and does not export (namespace vor::mux): the
// lists of links and timers bound to it, and the count of link operations still to come back, which
// let VorMuxDestroy give back everything the library holds, whatever the host has left outstanding.
#pragma once
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

// A link event's operation is about to start on mux (Start), or its start was refused (Undo).
void LinkOpStart(Mux* mux, Event* event);
void LinkOpUndo(Mux* mux, Event* event);
// Marks an outstanding link event as given up by its host; false when it is not outstanding
// (and may be freed at once).
bool LinkOpAbandon(Event* event);
// True while VorMuxDestroy gathers the multiplexer's outstanding link operations: completion
// handlers then end their operation instead of trying again.
bool Closing(Mux* mux);

}  // namespace vor::mux
