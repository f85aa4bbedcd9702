// Soak: 200 loopback connections to one echo server, all on one multiplexer run by
// VorMuxEventLoop. Each client sends checksummed messages of random size (a 12-byte header:
// length and checksum, then the payload) and checks every echo; after a random number of
// messages it closes, now and then with its receive still outstanding, and a new connection
// takes its place. The run lasts VOR_SOAK_SECONDS (5 by default; CI runs 60 as a stage of its
// own) and reports the bytes verified, the operations completed and the peak of live blocks. At
// the end every operation has come back exactly once and no block is left.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <random>
#include <set>
#include <vector>

#include "faulttest.h"

namespace {

using vortest::Checksum;
using vortest::FillPattern;
using vortest::LinkTest;

constexpr int32_t kHeader = 12;
constexpr int32_t kMaxPayload = 32 * 1024;
constexpr int32_t kBufferSize = kHeader + kMaxPayload;

double SoakSeconds() {
  const char* text = std::getenv("VOR_SOAK_SECONDS");
  double seconds = text != nullptr ? std::atof(text) : 5.0;
  return seconds > 0 ? seconds : 5.0;
}

struct Soak;

// One end of a connection: its link, its one outstanding operation at a time, and its buffers.
struct End {
  Soak* soak = nullptr;
  Link* link = nullptr;
  bool client = false;
  Event* recv = nullptr;
  Event* send = nullptr;
  Buffer* in = VorBufCreate(kBufferSize);
  Buffer* out = VorBufCreate(kBufferSize);
  int messages_left = 0;
  uint64_t sent_sum = 0;  // checksum of the message whose echo is awaited
  int32_t sent_size = 0;
  bool closing = false;  // destroyed with an operation outstanding
};

int32_t OnEvent(Event* event, void* arg);

struct Soak {
  Mux* mux = VorMuxCreate();
  Link* listener = nullptr;
  Event* accept = nullptr;
  Timer* heartbeat = VorTimerCreate(0.1, "heartbeat");
  Event* beat = nullptr;
  std::set<End*> ends;
  std::set<Event*> outstanding;  // posted and not yet back: each must come back once
  std::mt19937 random{12345};
  vortest::Clock::time_point stop_at;
  vortest::Clock::time_point give_up_at;
  bool stopping = false;
  bool gave_up = false;
  uint64_t bytes_verified = 0;
  uint64_t operations = 0;
  uint64_t connections = 0;
  uint64_t bad_messages = 0;
  uint64_t twice = 0;
  int32_t peak_blocks = 0;

  int Random(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); }

  Event* Track(Event* event) {
    if (event != nullptr) outstanding.insert(event);
    return event;
  }

  bool Finished() const { return stopping && ends.empty() && accept == nullptr; }

  void Free(End* end) {
    for (Event* event : {end->recv, end->send})
      if (event != nullptr) VorEventDestroy(event);
    VorBufDestroy(end->in);
    VorBufDestroy(end->out);
    ends.erase(end);
    delete end;
  }

  // Destroys the link; an end with an operation outstanding is freed when it comes back.
  void Close(End* end) {
    VorLinkDestroy(end->link);
    end->link = nullptr;
    bool waiting = outstanding.count(end->recv) != 0 || outstanding.count(end->send) != 0;
    if (waiting) {
      end->closing = true;
    } else {
      Free(end);
    }
  }

  End* Adopt(Link* link, bool client) {
    auto* end = new End;
    end->soak = this;
    end->link = link;
    end->client = client;
    ends.insert(end);
    return end;
  }

  // Posts (or re-issues) the end's receive or send; an end whose socket refuses at once is
  // closed, and then false.
  bool Start(End* end, Event*& slot, bool receive) {
    bool started;
    if (slot == nullptr) {
      slot = receive ? VorLinkPostRecv(end->link, mux, end->in, OnEvent, end)
                     : VorLinkPostSend(end->link, mux, end->out, OnEvent, end);
      started = slot != nullptr;
    } else {
      started = VorEventRepost(slot) != 0;
    }
    if (started) {
      outstanding.insert(slot);
      return true;
    }
    Close(end);
    return false;
  }
  bool Receive(End* end) { return Start(end, end->recv, true); }
  bool Send(End* end) { return Start(end, end->send, false); }

  void OpenClient() {
    Link* link = vortest::TcpClientTo(listener);
    if (link == nullptr) return;
    ++connections;
    End* end = Adopt(link, true);
    end->messages_left = Random(1, 20);
    SendMessage(end);
  }

  void SendMessage(End* end) {
    int32_t size = Random(1, kMaxPayload);
    VorBufReset(end->out);
    char* payload = end->out->data + kHeader;
    FillPattern(payload, static_cast<size_t>(size), random());
    end->sent_sum = Checksum(payload, static_cast<size_t>(size));
    end->sent_size = size;
    std::memcpy(end->out->data, &size, 4);
    std::memcpy(end->out->data + 4, &end->sent_sum, 8);
    end->out->write_offset = kHeader + size;
    VorBufReset(end->in);
    Send(end);
  }

  // A client's echo is whole once header and payload are in; it must match what was sent.
  void ClientReceived(End* end) {
    Buffer* in = end->in;
    if (in->write_offset < kHeader + end->sent_size) {
      Receive(end);
      return;
    }
    int32_t size = 0;
    uint64_t sum = 0;
    std::memcpy(&size, in->data, 4);
    std::memcpy(&sum, in->data + 4, 8);
    bool intact = size == end->sent_size && sum == end->sent_sum &&
                  Checksum(in->data + kHeader, static_cast<size_t>(size)) == sum &&
                  in->write_offset == kHeader + size;
    if (!intact) ++bad_messages;
    bytes_verified += static_cast<uint64_t>(size);
    if (--end->messages_left > 0 && !stopping) {
      SendMessage(end);
      return;
    }
    Close(end);
    if (!stopping) OpenClient();
  }

  // The server checks each whole message it holds and echoes it.
  void ServerReceived(End* end) {
    Buffer* in = end->in;
    int32_t size = 0;
    if (in->write_offset >= 4) std::memcpy(&size, in->data, 4);
    if (in->write_offset < kHeader || in->write_offset < kHeader + size) {
      Receive(end);
      return;
    }
    uint64_t sum = 0;
    std::memcpy(&sum, in->data + 4, 8);
    if (Checksum(in->data + kHeader, static_cast<size_t>(size)) != sum) ++bad_messages;
    bytes_verified += static_cast<uint64_t>(size);
    VorBufReset(end->out);
    std::memcpy(end->out->data, in->data, static_cast<size_t>(in->write_offset));
    end->out->write_offset = in->write_offset;
    VorBufReset(in);
    Send(end);
  }

  void OnLinkEvent(End* end, Event* event) {
    if (end->closing) {
      if (outstanding.count(end->recv) == 0 && outstanding.count(end->send) == 0) Free(end);
      return;
    }
    int32_t successful = 0;
    uint32_t bytes = 0;
    VorEventGetSuccessful(event, &successful);
    VorEventGetBytesTransferred(event, &bytes);
    bool ended = successful != 1 || (event == end->recv && bytes == 0);
    if (ended) {
      if (end->client && !stopping) ++bad_messages;  // clients close first; nothing ends them
      Close(end);
      return;
    }
    if (event == end->recv) {
      if (end->client) {
        ClientReceived(end);
      } else {
        ServerReceived(end);
      }
      return;
    }
    if (end->out->read_offset < end->out->write_offset) {
      Send(end);  // the rest
      return;
    }
    if (!end->client) {
      Receive(end);
      return;
    }
    if (!Receive(end)) return;
    // Now and then a client goes with its receive outstanding.
    if (end->messages_left == 1 && Random(0, 4) == 0) {
      Close(end);
      if (!stopping) OpenClient();
    }
  }

  void OnAccept(Event* event) {
    int32_t successful = 0;
    VorEventGetSuccessful(event, &successful);
    if (stopping || successful != 1) {
      Link* late = nullptr;
      if (successful == 1 && VorEventGetAcceptLink(event, &late) == 1) VorLinkDestroy(late);
      VorEventDestroy(event);
      accept = nullptr;
      if (!stopping) ++bad_messages;
      return;
    }
    Link* link = nullptr;
    VorEventGetAcceptLink(event, &link);
    Receive(Adopt(link, false));
    if (VorEventRepost(event) != 0) {
      outstanding.insert(event);
    } else {
      ++bad_messages;  // the listener refused a new accept
      VorEventDestroy(event);
      accept = nullptr;
    }
  }

  void OnBeat() {
    auto now = vortest::Clock::now();
    if (!stopping && now >= stop_at) {
      stopping = true;
      // Clients finish their current message and close; the listener goes now.
      VorLinkDestroy(listener);
      listener = nullptr;
    }
    if (now >= give_up_at) gave_up = true;
    if (!gave_up && VorEventRepost(beat) != 0) outstanding.insert(beat);
  }
};

int32_t OnEvent(Event* event, void* arg) {
  auto* end = static_cast<End*>(arg);
  Soak* soak = end != nullptr ? end->soak : nullptr;
  if (soak == nullptr) return 0;
  if (soak->outstanding.erase(event) == 0) ++soak->twice;
  ++soak->operations;
  soak->peak_blocks = std::max(soak->peak_blocks, VorMemBlockCount());
  soak->OnLinkEvent(end, event);
  return soak->Finished() || soak->gave_up ? 0 : 1;
}

int32_t OnSoakEvent(Event* event, void* arg) {
  auto* soak = static_cast<Soak*>(arg);
  if (soak->outstanding.erase(event) == 0) ++soak->twice;
  ++soak->operations;
  soak->peak_blocks = std::max(soak->peak_blocks, VorMemBlockCount());
  if (event == soak->accept) {
    soak->OnAccept(event);
  } else {
    soak->OnBeat();
  }
  return soak->Finished() || soak->gave_up ? 0 : 1;
}

TEST_F(LinkTest, SoakTwoHundredConnections) {
  constexpr int kConnections = 200;
  double seconds = SoakSeconds();
  Soak soak;
  soak.stop_at = vortest::Clock::now() + std::chrono::duration_cast<vortest::Clock::duration>(
                                             std::chrono::duration<double>(seconds));
  soak.give_up_at = soak.stop_at + std::chrono::seconds(60);
  soak.listener = vortest::TcpServer();
  ASSERT_NE(soak.listener, nullptr);
  soak.accept = soak.Track(VorLinkPostAccept(soak.listener, soak.mux, OnSoakEvent, &soak));
  soak.beat = soak.Track(VorTimerPost(soak.heartbeat, soak.mux, OnSoakEvent, &soak));
  ASSERT_NE(soak.accept, nullptr);
  for (int i = 0; i < kConnections; ++i) soak.OpenClient();

  while (!soak.Finished() && !soak.gave_up) VorMuxEventLoop(soak.mux);

  EXPECT_FALSE(soak.gave_up) << "connections still open a minute after the stop";
  EXPECT_EQ(soak.bad_messages, 0u);
  EXPECT_EQ(soak.twice, 0u) << "an operation came back twice";
  // Only the heartbeat may still be queued; the multiplexer hands it back to us on destroy.
  EXPECT_LE(soak.outstanding.size(), 1u);
  VorMuxDestroy(soak.mux);
  if (soak.beat != nullptr) VorEventDestroy(soak.beat);
  EXPECT_EQ(VorTimerDestroy(soak.heartbeat), 1);
  EXPECT_GT(soak.bytes_verified, 0u);
  std::printf(
      "soak: %.0f s, %llu connections, %llu bytes verified, %llu operations, "
      "peak %d live blocks\n",
      seconds, static_cast<unsigned long long>(soak.connections),
      static_cast<unsigned long long>(soak.bytes_verified),
      static_cast<unsigned long long>(soak.operations), soak.peak_blocks);
  RecordProperty("bytes_verified", std::to_string(soak.bytes_verified));
  RecordProperty("operations", std::to_string(soak.operations));
  RecordProperty("peak_blocks", soak.peak_blocks);
}

}  // namespace
