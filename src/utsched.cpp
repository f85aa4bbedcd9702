// The due order of scheduled timer events, in two parts that together hold every scheduled
// event once:
// - the run: a ring of entries in ascending due time. An event whose due time is not below
//   that of the run's last entry joins it at the back in O(1). Timers of one interval, which
//   are scheduled in the order they fall due, stay in the run and never touch the heap.
// - the heap: a 4-ary min-heap for the events that arrive out of order (a short interval
//   scheduled while longer ones wait), O(log N) in and out.
// Both compare (due time, scheduling order), and the first event is the lesser of the run's
// front and the heap's top, so events with equal due times come out in the order in which
// they were scheduled, whichever part holds them.
#include "utsched.h"

#include <cstring>

struct VorTimerIndex {
  uint64_t next_order;
  // Ring: `capacity` is a power of two (or 0), the entries are run[head], run[head + 1], ...
  vor::sched::Entry* run;
  size_t run_capacity;
  size_t run_head;
  size_t run_size;
  vor::sched::Entry* heap;
  size_t heap_capacity;
  size_t heap_size;
};

namespace vor::sched {
namespace {

constexpr const char* kUnit = "utsched";
constexpr const char* kTag = "timer_index";
constexpr size_t kArity = 4;
// Below this the arrays never shrink, so a multiplexer with a few timers allocates once.
constexpr size_t kMinCapacity = 64;

bool Before(const Entry& a, const Entry& b) {
  return a.due < b.due || (a.due == b.due && a.order < b.order);
}

Entry* AllocEntries(size_t count) {
  return static_cast<Entry*>(VorMallocCheck(count * sizeof(Entry), kTag, kUnit, __LINE__));
}

void FreeEntries(Entry* entries) { VorFreeCheck(entries, kTag, kUnit, __LINE__); }

// ---- Run (ring) ----

Entry& RunAt(VorTimerIndex* index, size_t position) {
  return index->run[(index->run_head + position) & (index->run_capacity - 1)];
}

void ResizeRun(VorTimerIndex* index, size_t capacity) {
  Entry* entries = AllocEntries(capacity);
  for (size_t i = 0; i < index->run_size; ++i) entries[i] = RunAt(index, i);
  FreeEntries(index->run);
  index->run = entries;
  index->run_capacity = capacity;
  index->run_head = 0;
}

bool JoinsRun(VorTimerIndex* index, double due) {
  return index->run_size == 0 || RunAt(index, index->run_size - 1).due <= due;
}

void PushRun(VorTimerIndex* index, const Entry& entry) {
  if (index->run_size == index->run_capacity) {
    ResizeRun(index, index->run_capacity == 0 ? kMinCapacity : index->run_capacity * 2);
  }
  RunAt(index, index->run_size) = entry;
  index->run_size += 1;
}

Event* PopRun(VorTimerIndex* index) {
  Event* event = index->run[index->run_head].event;
  index->run_head = (index->run_head + 1) & (index->run_capacity - 1);
  index->run_size -= 1;
  // Give back memory after a peak, with room to spare so that a size moving around one
  // boundary does not allocate on every turn.
  if (index->run_capacity > kMinCapacity && index->run_size < index->run_capacity / 4) {
    ResizeRun(index, index->run_capacity / 2);
  }
  return event;
}

// ---- Heap ----

void ResizeHeap(VorTimerIndex* index, size_t capacity) {
  Entry* entries = AllocEntries(capacity);
  if (index->heap_size > 0) std::memcpy(entries, index->heap, index->heap_size * sizeof(Entry));
  FreeEntries(index->heap);
  index->heap = entries;
  index->heap_capacity = capacity;
}

void PushHeap(VorTimerIndex* index, const Entry& entry) {
  if (index->heap_size == index->heap_capacity) {
    ResizeHeap(index, index->heap_capacity == 0 ? kMinCapacity : index->heap_capacity * 2);
  }
  Entry* heap = index->heap;
  size_t hole = index->heap_size++;
  while (hole > 0) {
    size_t parent = (hole - 1) / kArity;
    if (!Before(entry, heap[parent])) break;
    heap[hole] = heap[parent];
    hole = parent;
  }
  heap[hole] = entry;
}

// The least of the children of `parent`, or `size` when it has none.
size_t LeastChild(const Entry* heap, size_t size, size_t parent) {
  size_t first = parent * kArity + 1;
  if (first >= size) return size;
  size_t end = first + kArity < size ? first + kArity : size;
  size_t least = first;
  for (size_t child = first + 1; child < end; ++child) {
    if (Before(heap[child], heap[least])) least = child;
  }
  return least;
}

Event* PopHeap(VorTimerIndex* index) {
  Entry* heap = index->heap;
  Event* event = heap[0].event;
  size_t size = --index->heap_size;
  if (size > 0) {
    const Entry last = heap[size];
    size_t hole = 0;
    for (size_t child = LeastChild(heap, size, hole); child < size && Before(heap[child], last);
         child = LeastChild(heap, size, hole)) {
      heap[hole] = heap[child];
      hole = child;
    }
    heap[hole] = last;
  }
  if (index->heap_capacity > kMinCapacity && index->heap_size < index->heap_capacity / 4) {
    ResizeHeap(index, index->heap_capacity / 2);
  }
  return event;
}

bool FirstIsInRun(const VorTimerIndex* index) {
  if (index->heap_size == 0) return true;
  if (index->run_size == 0) return false;
  return !Before(index->heap[0], index->run[index->run_head]);
}

}  // namespace

VorTimerIndex* Create() {
  return static_cast<VorTimerIndex*>(VorCallocCheck(sizeof(VorTimerIndex), kTag, kUnit, __LINE__));
}

void Destroy(VorTimerIndex* index) {
  if (index == nullptr) return;
  FreeEntries(index->run);
  FreeEntries(index->heap);
  VorFreeCheck(index, kTag, kUnit, __LINE__);
}

void Add(VorTimerIndex* index, Event* event, double due) {
  const Entry entry{due, index->next_order++, event};
  if (JoinsRun(index, due)) {
    PushRun(index, entry);
  } else {
    PushHeap(index, entry);
  }
}

const Entry* First(const VorTimerIndex* index) {
  if (index->run_size + index->heap_size == 0) return nullptr;
  return FirstIsInRun(index) ? &index->run[index->run_head] : &index->heap[0];
}

Event* RemoveFirst(VorTimerIndex* index) {
  if (index->run_size + index->heap_size == 0) return nullptr;
  return FirstIsInRun(index) ? PopRun(index) : PopHeap(index);
}

size_t Size(const VorTimerIndex* index) { return index->run_size + index->heap_size; }

}  // namespace vor::sched
