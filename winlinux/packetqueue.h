// The packet queue of a completion port: a bounded lock-free ring for the common path, a
// growing ring behind the port's mutex for what does not fit, and the batch in which a poll
// gathers its completions.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "standin.h"

namespace vorwin {
namespace standin {

constexpr int kBatchPackets = 64;

struct Packet {
  OVERLAPPED* overlapped;
  ULONG_PTR key;
  DWORD bytes;
  DWORD error;
};

// FIFO of packets in a ring that doubles when full: no allocation per packet once it has grown
// to the port's working size, and the same OVERLAPPED may sit in it any number of times.
// Not thread-safe; the port keeps it under its mutex.
class PacketRing {
 public:
  PacketRing() = default;
  PacketRing(const PacketRing&) = delete;
  PacketRing& operator=(const PacketRing&) = delete;
  ~PacketRing() { std::free(slots_); }

  bool Empty() const { return count_ == 0; }

  bool Push(const Packet& packet) {
    if (count_ == capacity_ && !Grow()) return false;
    slots_[(head_ + count_) % capacity_] = packet;
    ++count_;
    return true;
  }

  Packet Pop() {
    const Packet packet = slots_[head_];
    head_ = (head_ + 1) % capacity_;
    --count_;
    return packet;
  }

 private:
  bool Grow() {
    const size_t capacity = capacity_ == 0 ? 64 : capacity_ * 2;
    auto* slots = static_cast<Packet*>(std::malloc(capacity * sizeof(Packet)));
    if (slots == nullptr) return false;
    for (size_t i = 0; i < count_; ++i) slots[i] = slots_[(head_ + i) % capacity_];
    std::free(slots_);
    slots_ = slots;
    capacity_ = capacity;
    head_ = 0;
    return true;
  }

  Packet* slots_ = nullptr;
  size_t capacity_ = 0;
  size_t head_ = 0;
  size_t count_ = 0;
};

// A bounded FIFO that any number of threads push to and pop from without a lock. Each cell
// carries a sequence number that says whose turn it is: a cell at position p is free for the
// pusher of p when its sequence is p, and full for the popper of p when it is p + 1. Pushing
// and popping each claim their position with one compare-and-swap.
class LockFreeRing {
 public:
  LockFreeRing() = default;
  LockFreeRing(const LockFreeRing&) = delete;
  LockFreeRing& operator=(const LockFreeRing&) = delete;
  ~LockFreeRing() { delete[] cells_; }

  bool Open(size_t capacity) {
    cells_ = new (std::nothrow) Cell[capacity];
    if (cells_ == nullptr) return false;
    for (size_t i = 0; i < capacity; ++i) cells_[i].sequence.store(i, std::memory_order_relaxed);
    mask_ = capacity - 1;
    return true;
  }

  // False when the ring is full.
  bool TryPush(const Packet& packet) {
    size_t position = push_at_.load(std::memory_order_relaxed);
    for (;;) {
      Cell& cell = cells_[position & mask_];
      const size_t sequence = cell.sequence.load(std::memory_order_acquire);
      const auto lead = static_cast<std::ptrdiff_t>(sequence - position);
      if (lead == 0) {
        if (push_at_.compare_exchange_weak(position, position + 1, std::memory_order_relaxed)) {
          cell.packet = packet;
          cell.sequence.store(position + 1, std::memory_order_release);
          return true;
        }
      } else if (lead < 0) {
        return false;  // the popper of this cell's previous round has not finished with it
      } else {
        position = push_at_.load(std::memory_order_relaxed);
      }
    }
  }

  // False when the ring is empty (or its next packet is still being written).
  bool TryPop(Packet* packet) {
    size_t position = pop_at_.load(std::memory_order_relaxed);
    for (;;) {
      Cell& cell = cells_[position & mask_];
      const size_t sequence = cell.sequence.load(std::memory_order_acquire);
      const auto lead = static_cast<std::ptrdiff_t>(sequence - (position + 1));
      if (lead == 0) {
        if (pop_at_.compare_exchange_weak(position, position + 1, std::memory_order_relaxed)) {
          *packet = cell.packet;
          cell.sequence.store(position + mask_ + 1, std::memory_order_release);
          return true;
        }
      } else if (lead < 0) {
        return false;
      } else {
        position = pop_at_.load(std::memory_order_relaxed);
      }
    }
  }

  bool LooksEmpty() const {
    const size_t position = pop_at_.load(std::memory_order_acquire);
    return cells_[position & mask_].sequence.load(std::memory_order_acquire) != position + 1;
  }

 private:
  struct Cell {
    std::atomic<size_t> sequence;
    Packet packet;
  };
  Cell* cells_ = nullptr;
  size_t mask_ = 0;
  alignas(64) std::atomic<size_t> push_at_{0};
  alignas(64) std::atomic<size_t> pop_at_{0};
};

// The completions one poll of a port produces, queued together once the poll has been served.
struct Batch {
  Packet packets[kBatchPackets];
  int count = 0;
};

}  // namespace standin
}  // namespace vorwin
