// The packet queue of a completion port: a bounded ring that threads push to and pop from
// without a lock, a growing ring under the port's mutex for what does not fit, and the batch in
// which a poll gathers its completions.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

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

// FIFO of packets in a ring that doubles when full (its capacity a power of two, so that a
// position wraps with a mask instead of a division): no allocation per packet once it has grown
// to the port's working size, and the same OVERLAPPED may sit in it any number of times.
// Not thread-safe; the port keeps it under its mutex, for the packets that find the lock-free
// ring full.
class PacketRing {
 public:
  PacketRing() = default;
  PacketRing(const PacketRing&) = delete;
  PacketRing& operator=(const PacketRing&) = delete;
  ~PacketRing() { std::free(slots_); }

  bool Empty() const { return count_ == 0; }

  bool Push(const Packet& packet) {
    if (count_ == capacity_ && !Grow()) return false;
    slots_[(head_ + count_) & (capacity_ - 1)] = packet;
    ++count_;
    return true;
  }

  Packet Pop() {
    const Packet packet = slots_[head_];
    head_ = (head_ + 1) & (capacity_ - 1);
    --count_;
    return packet;
  }

 private:
  bool Grow() {
    const size_t capacity = capacity_ == 0 ? 64 : capacity_ * 2;
    auto* slots = static_cast<Packet*>(std::malloc(capacity * sizeof(Packet)));
    if (slots == nullptr) return false;
    for (size_t i = 0; i < count_; ++i) slots[i] = slots_[(head_ + i) & (capacity_ - 1)];
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
// carries a sequence number that says whose turn it is: the cell of position p is free for the
// pusher of p when its sequence is p, and holds a packet for the popper of p when it is p + 1.
// A push or a pop claims its position with one compare-and-swap, then writes or reads the cell
// and hands it on with a plain store.
class LockFreeRing {
 public:
  LockFreeRing() = default;
  LockFreeRing(const LockFreeRing&) = delete;
  LockFreeRing& operator=(const LockFreeRing&) = delete;
  ~LockFreeRing() { delete[] cells_; }

  // capacity: a power of two.
  bool Open(size_t capacity) {
    cells_ = new (std::nothrow) Cell[capacity];
    if (cells_ == nullptr) return false;
    for (size_t i = 0; i < capacity; ++i) cells_[i].sequence.store(i, std::memory_order_relaxed);
    mask_ = capacity - 1;
    return true;
  }

  // False when the ring is full. The claim is sequentially consistent: a pusher that reads
  // afterwards whether anyone waits is ordered against a waiter that announced itself and then
  // looked at the ring (Pending).
  bool TryPush(const Packet& packet) {
    size_t position = push_at_.load(std::memory_order_relaxed);
    for (;;) {
      Cell& cell = cells_[position & mask_];
      const size_t sequence = cell.sequence.load(std::memory_order_acquire);
      const auto lead = static_cast<std::ptrdiff_t>(sequence - position);
      if (lead == 0) {
        if (push_at_.compare_exchange_weak(position, position + 1, std::memory_order_seq_cst,
                                           std::memory_order_relaxed)) {
          cell.packet = packet;
          cell.sequence.store(position + 1, std::memory_order_release);
          return true;
        }
      } else if (lead < 0) {
        return false;  // the popper of this cell's previous round has not taken it yet
      } else {
        position = push_at_.load(std::memory_order_relaxed);
      }
    }
  }

  // Pushes the packets at consecutive positions with one compare-and-swap, or none of them:
  // false when their cells are not all free (the ring is nearly full, or a popper of the last
  // round is still reading one) or another pusher came first. A cell found free stays free
  // until its position is claimed, and the claim succeeds only if no one has claimed any of
  // them.
  bool TryPushAll(const Packet* packets, size_t count) {
    if (count > mask_ + 1) return false;
    size_t position = push_at_.load(std::memory_order_relaxed);
    for (size_t i = 0; i < count; ++i) {
      if (cells_[(position + i) & mask_].sequence.load(std::memory_order_acquire) != position + i) {
        return false;
      }
    }
    if (!push_at_.compare_exchange_strong(position, position + count, std::memory_order_seq_cst,
                                          std::memory_order_relaxed)) {
      return false;
    }
    for (size_t i = 0; i < count; ++i) {
      Cell& cell = cells_[(position + i) & mask_];
      cell.packet = packets[i];
      cell.sequence.store(position + i + 1, std::memory_order_release);
    }
    return true;
  }

  // False when the ring is empty, or when its next packet is still being written.
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

  // Some position has been claimed by a push and not yet by a pop: a packet is there, or is
  // being written. Sequentially consistent, for a waiter's look after its announcement.
  bool Pending() const {
    const size_t pushed = push_at_.load(std::memory_order_seq_cst);
    return pushed != pop_at_.load(std::memory_order_seq_cst);
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
  explicit Batch(Port* port_) : port(port_) {}
  Port* const port;
  Packet packets[kBatchPackets];
  int count = 0;
};

}  // namespace standin
}  // namespace vorwin
