// Event accessors and argument rules: the order of the tests (event, type, result pointer),
// which types each getter takes, and the user values of events, multiplexers and timers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "muxtest.h"

namespace {

using vortest::MuxTest;

// Checks one getter against event types 1..8 (accepted: first_type..last_type): a null event,
// a wrong type (even with a null result pointer) and a null result pointer fail with the right
// number and leave the result alone; an accepted type delivers the zero of a fresh event.
template <typename T>
void CheckGetterRules(int32_t (*getter)(Event*, T*), int32_t first_type, int32_t last_type) {
  T marker;
  std::memset(static_cast<void*>(&marker), 0x5a, sizeof marker);
  T value = marker;
  EXPECT_EQ(getter(nullptr, &value), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  EXPECT_EQ(getter(nullptr, nullptr), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  for (int32_t type = 1; type <= 8; ++type) {
    vortest::FailureContext context("event type " + std::to_string(type));
    Event* event = VorEventAllocInternal(type);
    bool accepted = type >= first_type && type <= last_type;
    EXPECT_EQ(getter(event, nullptr), 0);
    EXPECT_EQ(VorErrNumGet(), accepted ? ERR_NULL_PTR : ERR_VAL_INVALID);
    VorErrNumSet(0);
    EXPECT_EQ(getter(event, &value), accepted ? 1 : 0);
    if (accepted) {
      EXPECT_EQ(VorErrNumGet(), 0);
      EXPECT_EQ(value, T{});
      value = marker;
    } else {
      EXPECT_EQ(VorErrNumGet(), ERR_VAL_INVALID);
      EXPECT_EQ(std::memcmp(&value, &marker, sizeof value), 0);
    }
    VorEventDestroy(event);
  }
}

TEST_F(MuxTest, GettersTestEventThenTypeThenResult) {
  CheckGetterRules<Link*>(VorEventGetAcceptLink, 4, 4);
  CheckGetterRules<Buffer*>(VorEventGetBuf, 4, 7);
  CheckGetterRules<uint32_t>(VorEventGetBytesTransferred, 4, 7);
  CheckGetterRules<Link*>(VorEventGetLink, 4, 7);
  CheckGetterRules<int32_t>(VorEventGetLinkError, 4, 7);
  CheckGetterRules<int32_t>(VorEventGetSuccessful, 4, 7);
  CheckGetterRules<Timer*>(VorEventGetTimer, 3, 3);
  CheckGetterRules<void*>(VorEventGetUserProp, 1, 8);
}

TEST_F(MuxTest, GettersDeliverTheFieldsAsTheyStand) {
  Event* event = VorEventAllocInternal(VOR_EVENT_ACCEPT);
  EXPECT_EQ(event->self, event);
  EXPECT_EQ(event->type, VOR_EVENT_ACCEPT);
  auto* link = reinterpret_cast<Link*>(&event->u);  // any distinct address will do
  auto* accepted = reinterpret_cast<Link*>(&event->mux);
  auto* buffer = reinterpret_cast<Buffer*>(&event->user_prop);
  event->u.le.link = link;
  event->u.le.accept_link = accepted;
  event->u.le.buf = buffer;
  event->u.le.successful = 1;
  event->u.le.bytes_transferred = 4000000000u;
  event->u.le.link_error = 10054;
  Link* got_link = nullptr;
  Buffer* got_buffer = nullptr;
  uint32_t bytes = 0;
  int32_t number = 0;
  EXPECT_EQ(VorEventGetLink(event, &got_link), 1);
  EXPECT_EQ(got_link, link);
  EXPECT_EQ(VorEventGetAcceptLink(event, &got_link), 1);
  EXPECT_EQ(got_link, accepted);
  EXPECT_EQ(VorEventGetBuf(event, &got_buffer), 1);
  EXPECT_EQ(got_buffer, buffer);
  EXPECT_EQ(VorEventGetBytesTransferred(event, &bytes), 1);
  EXPECT_EQ(bytes, 4000000000u);
  EXPECT_EQ(VorEventGetSuccessful(event, &number), 1);
  EXPECT_EQ(number, 1);
  EXPECT_EQ(VorEventGetLinkError(event, &number), 1);
  EXPECT_EQ(number, 10054);
  EXPECT_EQ(VorEventDestroy(event), 1);
}

TEST_F(MuxTest, UserValuesAreKeptAndNullsRefused) {
  int anchor = 0;
  void* value = &anchor;
  Event* event = VorEventCreate();
  Mux* mux = VorMuxCreate();
  Timer* timer = VorTimerCreate(1.0, nullptr);

  EXPECT_EQ(VorEventGetUserProp(event, &value), 1);
  EXPECT_EQ(value, nullptr);
  EXPECT_EQ(VorEventSetUserProp(event, &anchor), 1);
  EXPECT_EQ(VorEventGetUserProp(event, &value), 1);
  EXPECT_EQ(value, &anchor);
  EXPECT_EQ(VorEventSetUserProp(nullptr, &anchor), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);

  value = &anchor;
  EXPECT_EQ(VorMuxGetUserProp(mux, &value), 1);
  EXPECT_EQ(value, nullptr);
  EXPECT_EQ(VorMuxSetUserProp(mux, &anchor), 1);
  EXPECT_EQ(VorMuxGetUserProp(mux, &value), 1);
  EXPECT_EQ(value, &anchor);
  EXPECT_EQ(VorMuxGetUserProp(mux, nullptr), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  EXPECT_EQ(VorMuxGetUserProp(nullptr, &value), 0);
  EXPECT_EQ(VorMuxSetUserProp(nullptr, &anchor), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);

  value = &anchor;
  EXPECT_EQ(VorTimerGetUserProp(timer, &value), 1);
  EXPECT_EQ(value, nullptr);
  EXPECT_EQ(VorTimerSetUserProp(timer, &anchor), 1);
  EXPECT_EQ(VorTimerGetUserProp(timer, &value), 1);
  EXPECT_EQ(value, &anchor);
  EXPECT_EQ(VorTimerGetUserProp(timer, nullptr), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  EXPECT_EQ(VorTimerGetUserProp(nullptr, &value), 0);
  EXPECT_EQ(VorTimerSetUserProp(nullptr, &anchor), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);

  VorTimerDestroy(timer);
  VorMuxDestroy(mux);
  VorEventDestroy(event);
}

TEST_F(MuxTest, PostTestsEventThenTypeThenMultiplexer) {
  Mux* mux = VorMuxCreate();
  Event* user = VorEventCreate();
  Event* timer_event = VorEventAllocInternal(VOR_EVENT_TIMER);
  Event* recv_event = VorEventAllocInternal(VOR_EVENT_RECV);

  EXPECT_EQ(VorEventPost(nullptr, mux, nullptr, nullptr), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  EXPECT_EQ(VorEventPost(user, nullptr, nullptr, nullptr), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  EXPECT_EQ(VorEventPost(timer_event, nullptr, nullptr, nullptr), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_VAL_INVALID);
  EXPECT_EQ(VorEventPost(timer_event, mux, nullptr, nullptr), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_VAL_INVALID);
  EXPECT_EQ(VorEventPost(recv_event, mux, nullptr, nullptr), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_VAL_INVALID);
  // The refused posts queued nothing.
  EXPECT_EQ(VorMuxEventNext(mux, 0), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_TIMEOUT);

  EXPECT_EQ(VorEventDestroy(nullptr), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  VorEventDestroy(recv_event);
  VorEventDestroy(timer_event);
  VorEventDestroy(user);
  VorMuxDestroy(mux);
}

}  // namespace
