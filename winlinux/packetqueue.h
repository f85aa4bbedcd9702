// The packet queue of a completion port, kept under the port's mutex, and the batch in which a
// poll gathers its completions.
#pragma once

#include <cstddef>
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

// FIFO of packets in a ring that doubles when full (its capacity a power of two, so that a
// position wraps with a mask instead of a division): no allocation per packet once it has grown
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

// The completions one poll of a port produces, queued together once the poll has been served.
struct Batch {
  explicit Batch(Port* port_) : port(port_) {}
  Port* const port;
  Packet packets[kBatchPackets];
  int count = 0;
};

}  // namespace standin
}  // namespace vorwin
