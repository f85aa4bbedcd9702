// Deques, hash tables and callback lists.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "basetest.h"
#include "testutil.h"
#include "vorutil.h"

namespace {

using UtilDeque = vortest::BaseTest;
using UtilHash = vortest::BaseTest;
using UtilCallbacks = vortest::BaseTest;
using UtilCallbacksThreads = vortest::BaseTest;

struct Item {
  Item* left;
  Item* right;
  int id;
};

std::vector<int> Walk(VorDq head) {
  std::vector<int> ids;
  for (VorDqNode* n = head->right; n != head && ids.size() < 100; n = n->right) {
    EXPECT_EQ(n->right->left, n);  // links agree both ways
    ids.push_back(reinterpret_cast<Item*>(n)->id);
  }
  return ids;
}

void Append(VorDq head, Item* item) { VorDqRightInsert(item, head->left); }

TEST_F(UtilDeque, KeepsOrderThroughInsertPopAndRemove) {
  VorDq dq = nullptr;
  ASSERT_EQ(VorDqOpen(&dq), 1);
  EXPECT_EQ(VorDqFirst(dq), nullptr);
  EXPECT_EQ(VorDqPop(dq), nullptr);
  EXPECT_TRUE(VorDqIsEmpty(dq));
  EXPECT_EQ(dq->left, dq);

  Item items[5] = {};
  for (int i = 0; i < 5; ++i) items[i].id = i;
  for (int i = 1; i < 5; ++i) Append(dq, &items[i]);  // 1 2 3 4
  VorDqRightInsert(&items[0], dq);                    // 0 at the front
  EXPECT_EQ(Walk(dq), (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_EQ(VorDqFirst(dq), &items[0]);
  EXPECT_EQ(VorDqLast(dq), &items[4]);

  VorDqRemove(&items[2]);
  EXPECT_EQ(items[2].left, nullptr);
  VorDqRemove(&items[2]);  // already out: nothing happens
  EXPECT_EQ(Walk(dq), (std::vector<int>{0, 1, 3, 4}));
  EXPECT_EQ(VorDqPop(dq), &items[0]);
  EXPECT_EQ(items[0].right, nullptr);
  VorDqRightInsert(&items[2], &items[3]);  // after an inner node
  EXPECT_EQ(Walk(dq), (std::vector<int>{1, 3, 2, 4}));
  EXPECT_FALSE(VorDqIsEmpty(dq));

  // Closing unlinks what is left without freeing it.
  EXPECT_EQ(VorDqClose(&dq), 1);
  EXPECT_EQ(dq, nullptr);
  for (int i : {1, 2, 3, 4}) EXPECT_EQ(items[i].left, nullptr);
  EXPECT_EQ(VorDqClose(&dq), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  EXPECT_EQ(VorDqOpen(nullptr), 0);
}

int32_t CountEntry(const char*, void*, void* arg) {
  ++*static_cast<int*>(arg);
  return 0;
}

struct StopAt {
  int seen;
  int stop_after;
};

int32_t StopAfter(const char*, void*, void* arg) {
  auto* s = static_cast<StopAt*>(arg);
  return ++s->seen == s->stop_after ? 7 : 0;
}

TEST_F(UtilHash, KeysAreCaseBlindAndNotCopied) {
  VorHash* table = VorHashCreateStri(4);
  ASSERT_NE(table, nullptr);
  const char key[] = "Tcp";
  int value = 1;
  EXPECT_EQ(VorHashInsert(table, key, &value), 1);
  EXPECT_EQ(VorHashLookup(table, "TCP"), &value);
  EXPECT_EQ(VorHashLookup(table, "tcp"), &value);
  EXPECT_EQ(VorHashLookup(table, "tcpx"), nullptr);
  EXPECT_EQ(VorHashInsert(table, "tCP", nullptr), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_EXISTS);
  const char* stored = nullptr;
  VorHashTraverse(
      table,
      [](const char* k, void*, void* arg) -> int32_t {
        *static_cast<const char**>(arg) = k;
        return 0;
      },
      &stored);
  EXPECT_EQ(stored, key);  // the caller's own key, not a copy
  EXPECT_EQ(VorHashDelete(table, "TCP"), 1);
  EXPECT_EQ(VorHashDelete(table, "tcp"), 0);
  EXPECT_EQ(VorHashCount(table), 0);
  EXPECT_EQ(VorHashInsert(nullptr, "a", nullptr), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  EXPECT_EQ(VorHashLookup(table, nullptr), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  EXPECT_EQ(VorHashDestroy(table), 1);
}

TEST_F(UtilHash, GrowsAndTraversesEveryEntryOrStops) {
  VorHash* table = VorHashCreateStri(4);
  std::vector<std::string> keys;
  for (int i = 0; i < 1000; ++i) keys.push_back("key-" + std::to_string(i));
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(VorHashInsert(table, keys[i].c_str(), &keys[i]), 1);
  EXPECT_EQ(VorHashCount(table), 1000);
  for (int i = 0; i < 1000; i += 3) {
    std::string upper = "KEY-" + std::to_string(i);
    EXPECT_EQ(VorHashLookup(table, upper.c_str()), &keys[i]);
  }
  for (int i = 0; i < 1000; i += 2) EXPECT_EQ(VorHashDelete(table, keys[i].c_str()), 1);
  EXPECT_EQ(VorHashCount(table), 500);
  EXPECT_EQ(VorHashLookup(table, "key-2"), nullptr);
  EXPECT_EQ(VorHashLookup(table, "key-3"), &keys[3]);

  int counted = 0;
  EXPECT_EQ(VorHashTraverse(table, CountEntry, &counted), 1);  // a full walk gives 1
  EXPECT_EQ(counted, 500);
  StopAt stop{0, 3};
  EXPECT_EQ(VorHashTraverse(table, StopAfter, &stop), 7);  // the stopping value comes back
  EXPECT_EQ(stop.seen, 3);

  // A walk may delete the entry it is given.
  VorHashTraverse(
      table,
      [](const char* k, void*, void* arg) -> int32_t {
        VorHashDelete(static_cast<VorHash*>(arg), k);
        return 0;
      },
      table);
  EXPECT_EQ(VorHashCount(table), 0);
  EXPECT_EQ(VorHashDestroy(table), 1);
}

TEST_F(UtilHash, DestroyFreesRemainingEntries) {
  VorHash* table = VorHashCreateStri(0);
  VorHashInsert(table, "one", nullptr);
  VorHashInsert(table, "two", nullptr);
  EXPECT_EQ(VorHashDestroy(table), 1);
  EXPECT_EQ(VorHashCreateStri(-1), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_VAL_RANGE);
}

// Callbacks record (tag) into the std::string the object points to.
int32_t Record(void* object, void* call_data, void* arg) {
  auto* log = static_cast<std::string*>(object);
  *log += static_cast<const char*>(arg);
  if (call_data) *log += *static_cast<const char*>(call_data);
  return 0;
}

struct SelfRemoving {
  VorCbList* list;
  VorCb* self;
  int calls;
};

int32_t RemoveSelf(void*, void*, void* arg) {
  auto* s = static_cast<SelfRemoving*>(arg);
  ++s->calls;
  VorCbListCbDestroy(s->list, s->self);
  VorCbListCbCreate(s->list, Record, const_cast<char*>("n"));  // waits for the next call
  return 0;
}

TEST_F(UtilCallbacks, ListsCallInOrderAndHonourTheLocalFlag) {
  VorCbType* type = VorCbTypeCreate(-901, "test_plain");
  ASSERT_NE(type, nullptr);
  EXPECT_EQ(VorCbTypeCreate(-901, "other name"), type);  // one type per number
  VorCbType* local = VorCbTypeCreate(-902, "test_local");
  EXPECT_EQ(VorCbTypeSetLocalFlag(local, 1), 1);
  EXPECT_EQ(VorCbTypeSetLocalFlag(local, 2), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_VAL_INVALID);

  std::string log;
  char a[] = "a", b[] = "b";
  VorCbList* list = VorCbListCreate(type, &log);
  VorCb* first = VorCbListCbCreate(list, Record, a);
  VorCb* second = VorCbListCbCreate(list, Record, b);
  VorCb* again = VorCbListCbCreate(list, Record, a);  // no local flag: a second member
  EXPECT_NE(again, first);
  char data = '!';
  EXPECT_EQ(VorCbListCall(list, &log, &data), 3);
  EXPECT_EQ(log, "a!b!a!");
  EXPECT_EQ(VorCbListCbLookup(list, Record, b), second);
  EXPECT_EQ(VorCbListCbDestroy(list, second), 1);
  EXPECT_EQ(VorCbListCbLookup(list, Record, b), nullptr);
  EXPECT_EQ(VorCbListCbDestroy(list, second), 0);  // no longer a member
  EXPECT_EQ(VorErrNumGet(), ERR_VAL_INVALID);

  VorCbList* dedup = VorCbListCreate(local, &log);
  VorCb* one = VorCbListCbCreate(dedup, Record, a);
  EXPECT_EQ(VorCbListCbCreate(dedup, Record, a), one);  // local flag: the same callback
  EXPECT_NE(VorCbListCbCreate(dedup, Record, b), one);
  log.clear();
  EXPECT_EQ(VorCbListCall(dedup, &log, nullptr), 2);
  EXPECT_EQ(log, "ab");
  EXPECT_EQ(VorCbListCbCreate(dedup, nullptr, a), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);

  EXPECT_EQ(VorCbListDestroy(list), 1);
  EXPECT_EQ(VorCbListDestroy(dedup), 1);
}

TEST_F(UtilCallbacks, CallbackMayChangeItsOwnListDuringACall) {
  VorCbType* type = VorCbTypeCreate(-903, "test_self");
  std::string log;
  VorCbList* list = VorCbListCreate(type, &log);
  SelfRemoving self{list, nullptr, 0};
  self.self = VorCbListCbCreate(list, RemoveSelf, &self);
  VorCbListCbCreate(list, Record, const_cast<char*>("x"));
  EXPECT_EQ(VorCbListCall(list, &log, nullptr), 2);
  EXPECT_EQ(log, "x");  // the member added during the call was not called
  EXPECT_EQ(self.calls, 1);
  log.clear();
  EXPECT_EQ(VorCbListCall(list, &log, nullptr), 2);  // "x", then "n"
  EXPECT_EQ(log, "xn");
  EXPECT_EQ(self.calls, 1);

  // Destroying a list from inside its own call is refused.
  struct Busy {
    VorCbList* list;
    int32_t result, error;
  } busy{list, -1, -1};
  VorCbListCbCreate(
      list,
      [](void*, void*, void* arg) -> int32_t {
        auto* b = static_cast<Busy*>(arg);
        b->result = VorCbListDestroy(b->list);
        b->error = VorErrNumGet();
        return 0;
      },
      &busy);
  VorCbListCall(list, &log, nullptr);
  EXPECT_EQ(busy.result, 0);
  EXPECT_EQ(busy.error, ERR_BUSY);
  EXPECT_EQ(VorCbListDestroy(list), 1);
}

TEST_F(UtilCallbacksThreads, GlobListIsSafeAcrossThreads) {
  VorCbType* type = VorCbTypeCreate(-904, "test_glob");
  VorCbTypeSetGlobFlag(type, 1);
  VorCbList* list = VorCbListCreate(type, nullptr);
  std::atomic<long> calls{0};
  auto count = [](void*, void*, void* arg) -> int32_t {
    static_cast<std::atomic<long>*>(arg)->fetch_add(1);
    return 0;
  };
  VorCbListCbCreate(list, count, &calls);
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) VorCbListCall(list, nullptr, nullptr);
    });
  }
  threads.emplace_back([&] {  // adds and removes members while the others call
    for (int i = 0; i < 2000; ++i) {
      VorCb* cb = VorCbListCbCreate(list, count, &calls);
      VorCbListCbDestroy(list, cb);
    }
  });
  for (std::thread& t : threads) t.join();
  EXPECT_GE(calls.load(), 4000);
  EXPECT_EQ(VorCbListDestroy(list), 1);
}

// A call sees an empty list without the lock; the list's only member comes and goes meanwhile,
// and a member added, removed and added again is called once the list has it.
TEST_F(UtilCallbacksThreads, EmptyListCallsNothingYetSeesItsNextMember) {
  VorCbType* type = VorCbTypeCreate(-905, "test_glob_empty");
  VorCbTypeSetGlobFlag(type, 1);
  VorCbList* list = VorCbListCreate(type, nullptr);
  std::atomic<long> calls{0};
  auto count = [](void*, void*, void* arg) -> int32_t {
    static_cast<std::atomic<long>*>(arg)->fetch_add(1);
    return 0;
  };
  EXPECT_EQ(VorCbListCall(list, nullptr, nullptr), 0);
  VorCb* cb = VorCbListCbCreate(list, count, &calls);
  EXPECT_EQ(VorCbListCall(list, nullptr, nullptr), 1);
  EXPECT_EQ(VorCbListCbDestroy(list, cb), 1);
  EXPECT_EQ(VorCbListCall(list, nullptr, nullptr), 0);
  cb = VorCbListCbCreate(list, count, &calls);
  EXPECT_EQ(VorCbListCall(list, nullptr, nullptr), 1);
  EXPECT_EQ(calls.load(), 2);
  EXPECT_EQ(VorCbListCbDestroy(list, cb), 1);

  std::atomic<long> answered{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) answered.fetch_add(VorCbListCall(list, nullptr, nullptr));
    });
  }
  threads.emplace_back([&] {  // the list's only member comes and goes
    for (int i = 0; i < 2000; ++i) {
      VorCb* member = VorCbListCbCreate(list, count, &calls);
      VorCbListCbDestroy(list, member);
    }
  });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(calls.load() - 2, answered.load());  // every member a call reported was called
  EXPECT_EQ(VorCbListCall(list, nullptr, nullptr), 0);
  VorCbListCbCreate(list, count, &calls);
  EXPECT_EQ(VorCbListCall(list, nullptr, nullptr), 1);
  EXPECT_EQ(VorCbListDestroy(list), 1);
}

}  // namespace
