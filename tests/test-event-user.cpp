// User events through the completion port: double posts, re-issue, and posts from several
// threads while several threads dispatch.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "muxtest.h"
#include "vorwin.h"

namespace {

using vortest::MuxTest;
using vortest::MuxThreads;

int32_t KeepGoing(Event*, void*) { return 1; }
int32_t AlsoKeepGoing(Event*, void*) { return 1; }

TEST_F(MuxTest, UserEventPostedTwiceIsDeliveredTwiceWithTheLatestPost) {
  Mux* mux = VorMuxCreate();
  Event* event = VorEventCreate();
  int first_arg = 0;
  int second_arg = 0;
  ASSERT_EQ(VorEventPost(event, mux, KeepGoing, &first_arg), event);
  ASSERT_EQ(VorEventPost(event, mux, AlsoKeepGoing, &second_arg), event);
  for (int i = 0; i < 2; ++i) {
    Event* delivered = VorMuxEventNext(mux, 1);
    ASSERT_EQ(delivered, event);
    EXPECT_EQ(delivered->callback, &AlsoKeepGoing);
    EXPECT_EQ(delivered->callback_arg, &second_arg);
    EXPECT_EQ(delivered->mux, mux);
  }
  EXPECT_EQ(VorMuxEventNext(mux, 0), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_TIMEOUT);
  VorEventDestroy(event);
  VorMuxDestroy(mux);
}

TEST_F(MuxTest, RepostDeliversTheUserEventAgainWithItsCallback) {
  Mux* mux = VorMuxCreate();
  Event* event = VorEventCreate();
  int arg = 0;
  VorEventPost(event, mux, KeepGoing, &arg);
  ASSERT_EQ(VorMuxEventNext(mux, 1), event);
  EXPECT_EQ(VorEventRepost(event), reinterpret_cast<intptr_t>(event));
  Event* again = VorMuxEventNext(mux, 1);
  ASSERT_EQ(again, event);
  EXPECT_EQ(again->callback, &KeepGoing);
  EXPECT_EQ(again->callback_arg, &arg);
  EXPECT_EQ(VorMuxEventNext(mux, 0), nullptr);
  VorEventDestroy(event);
  VorMuxDestroy(mux);
}

TEST_F(MuxTest, RepostRefusesNullAndNeverPostedEvents) {
  Mux* mux = VorMuxCreate();
  Event* event = VorEventCreate();
  EXPECT_EQ(VorEventRepost(nullptr), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  EXPECT_EQ(VorEventRepost(event), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_VAL_INVALID);
  EXPECT_EQ(VorMuxEventNext(mux, 0), nullptr);
  VorEventDestroy(event);
  VorMuxDestroy(mux);
}

// What a driver's post operation saw when the re-issue called it.
struct PostCall {
  Link* link = nullptr;
  Mux* mux = nullptr;
  Event* event = nullptr;
};
PostCall last_post;

// Keeps the post contract: a started operation comes back through the port (here at once, with
// no completion handler), so the multiplexer can take it back when it is destroyed.
int32_t RecordingPost(Link* link, Mux* mux, Event* event) {
  last_post = {link, mux, event};
  PostQueuedCompletionStatus(static_cast<HANDLE>(mux->port), 0, 0,
                             reinterpret_cast<OVERLAPPED*>(&event->overlapped));
  return 1234;
}

TEST_F(MuxTest, RepostOfALinkEventCallsTheDriverPostWithItsIntResult) {
  Mux* mux = VorMuxCreate();
  Event* event = VorEventAllocInternal(VOR_EVENT_RECV);
  auto* link = reinterpret_cast<Link*>(&event->u);  // never dereferenced
  event->repost_fn = reinterpret_cast<VorRepostFn>(&RecordingPost);
  event->repost_obj = link;
  event->mux = mux;
  EXPECT_EQ(VorEventRepost(event), 1234);
  EXPECT_EQ(last_post.link, link);
  EXPECT_EQ(last_post.mux, mux);
  EXPECT_EQ(last_post.event, event);
  VorEventDestroy(event);
  VorMuxDestroy(mux);
}

// 4 threads post distinct user events while 2 threads dispatch; each event comes out exactly
// once. After the producers are done, one stop event posted twice ends both dispatchers.
TEST_F(MuxThreads, EventsPostedFromFourThreadsAreEachDeliveredOnceToTwoDispatchers) {
  constexpr int kProducers = 4;
  constexpr int kPerProducer = 5000;
  constexpr int kTotal = kProducers * kPerProducer;
  Mux* mux = VorMuxCreate();
  std::vector<Event*> events(kTotal);
  std::vector<std::atomic<int32_t>> seen(kTotal);
  for (int i = 0; i < kTotal; ++i) {
    events[i] = VorEventCreate();
    VorEventSetUserProp(events[i], reinterpret_cast<void*>(static_cast<intptr_t>(i)));
  }
  Event* stop = VorEventCreate();
  std::atomic<int32_t> strays{0};

  auto dispatch = [&] {
    // Bounded: at most every event plus one stop.
    for (int n = 0; n <= kTotal; ++n) {
      Event* event = VorMuxEventNext(mux, 1);
      if (event == stop) return;
      void* index = nullptr;
      if (event == nullptr || !VorEventGetUserProp(event, &index)) {
        ++strays;
        continue;
      }
      seen[reinterpret_cast<intptr_t>(index)].fetch_add(1);
    }
  };
  std::vector<std::thread> dispatchers;
  for (int i = 0; i < 2; ++i) dispatchers.emplace_back(dispatch);
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = p * kPerProducer; i < (p + 1) * kPerProducer; ++i) {
        if (VorEventPost(events[i], mux, nullptr, nullptr) != events[i]) ++strays;
      }
    });
  }
  for (auto& t : producers) t.join();
  VorEventPost(stop, mux, nullptr, nullptr);
  VorEventPost(stop, mux, nullptr, nullptr);
  for (auto& t : dispatchers) t.join();

  EXPECT_EQ(strays.load(), 0);
  int32_t wrong = 0;
  for (int i = 0; i < kTotal; ++i) wrong += seen[i].load() != 1;
  EXPECT_EQ(wrong, 0) << "events not delivered exactly once";
  EXPECT_EQ(VorMuxEventNext(mux, 0), nullptr);
  for (Event* event : events) VorEventDestroy(event);
  VorEventDestroy(stop);
  VorMuxDestroy(mux);
}

// A worker posts one event again and again while the loop dispatches it: every post is
// delivered, and posting with an unchanged target does not write the record being dispatched
// (the thread sanitizer build checks the latter).
TEST_F(MuxThreads, OneEventPostedRepeatedlyFromAWorkerIsDeliveredEveryTime) {
  constexpr int kPosts = 2000;
  Mux* mux = VorMuxCreate();
  Event* report = VorEventCreate();
  Event* done = VorEventCreate();
  int delivered = 0;
  auto count = [](Event*, void* arg) -> int32_t {
    ++*static_cast<int*>(arg);
    return 1;
  };
  std::thread worker([&] {
    for (int i = 0; i < kPosts; ++i) VorEventPost(report, mux, count, &delivered);
    VorEventPost(done, mux, nullptr, nullptr);
  });
  EXPECT_EQ(VorMuxEventLoop(mux), done);
  worker.join();
  EXPECT_EQ(delivered, kPosts);
  EXPECT_EQ(VorMuxEventNext(mux, 0), nullptr);
  VorEventDestroy(report);
  VorEventDestroy(done);
  VorMuxDestroy(mux);
}

}  // namespace
