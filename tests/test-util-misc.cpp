// Options, buffers, the wall clock, the node name and case-blind comparison.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <ctime>
#include <string>

#include "basetest.h"
#include "testutil.h"
#include "vorutil.h"

namespace {

using UtilOption = vortest::BaseTest;
using UtilBuffer = vortest::BaseTest;
using UtilClock = vortest::BaseTest;
using UtilHost = vortest::BaseTest;

// The option table is not in the tracking allocator: the fixture finds no block added.
TEST_F(UtilOption, BufferSizeOptionAlwaysExistsAndRecordsStayPut) {
  VorOption* option = VorOptionLookup("_conn_socket_buffer_size");
  ASSERT_NE(option, nullptr);
  ASSERT_NE(option->value, nullptr);
  EXPECT_STREQ(option->name, "_conn_socket_buffer_size");
  EXPECT_EQ(*option->value, 0.0);
  EXPECT_EQ(VorOptionSet("_conn_socket_buffer_size", 65536.5), 1);
  EXPECT_EQ(*option->value, 65536.5);  // seen through the record taken before

  EXPECT_EQ(VorOptionLookup("test_new_option"), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_VAL_INVALID);
  EXPECT_EQ(VorOptionSet("test_new_option", -2.0), 1);
  VorOption* created = VorOptionLookup("test_new_option");
  ASSERT_NE(created, nullptr);
  EXPECT_EQ(*created->value, -2.0);
  EXPECT_EQ(VorOptionLookup("_conn_socket_buffer_size"), option);

  EXPECT_EQ(VorOptionSet(nullptr, 1.0), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  EXPECT_EQ(VorOptionLookup(nullptr), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  VorOptionSet("_conn_socket_buffer_size", 0.0);
}

TEST_F(UtilBuffer, AllocatesWithinCapacityAndAligns) {
  int32_t start = vortest::LiveBlocks();
  Buffer* buffer = VorBufCreate(128);
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(buffer->capacity, 128);
  EXPECT_EQ(buffer->read_offset, 0);
  EXPECT_EQ(buffer->write_offset, 0);
  EXPECT_EQ(vortest::LiveBlocks(), start + 1);

  char* whole = static_cast<char*>(VorBufAllocAligned(buffer, 128, 1));
  EXPECT_EQ(whole, buffer->data);
  EXPECT_EQ(buffer->write_offset, 128);
  std::memset(whole, 0x5A, 128);
  EXPECT_EQ(VorBufAllocAligned(buffer, 1, 1), nullptr);  // full
  EXPECT_EQ(VorErrNumGet(), ERR_VAL_RANGE);
  EXPECT_EQ(buffer->write_offset, 128);

  VorBufReset(buffer);
  EXPECT_NE(VorBufAllocAligned(buffer, 3, 1), nullptr);
  auto* aligned = static_cast<char*>(VorBufAllocAligned(buffer, 8, 8));
  ASSERT_NE(aligned, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(aligned) % 8, 0u);
  EXPECT_GE(aligned - buffer->data, 3);
  EXPECT_EQ(buffer->write_offset, aligned - buffer->data + 8);
  int32_t before = buffer->write_offset;
  EXPECT_EQ(VorBufAllocAligned(buffer, 4, 3), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_VAL_INVALID);
  EXPECT_EQ(VorBufAllocAligned(buffer, -1, 1), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_VAL_RANGE);
  EXPECT_EQ(VorBufAllocAligned(buffer, 200, 1), nullptr);
  EXPECT_EQ(buffer->write_offset, before);  // refused requests leave the offsets alone

  EXPECT_EQ(VorBufDestroy(buffer), 1);
  EXPECT_EQ(VorBufCreate(-1), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_VAL_RANGE);
  Buffer* empty = VorBufCreate(0);
  ASSERT_NE(empty, nullptr);
  EXPECT_NE(VorBufAllocAligned(empty, 0, 1), nullptr);
  EXPECT_EQ(VorBufDestroy(empty), 1);
}

TEST_F(UtilBuffer, CompactMovesUnreadBytesToTheFront) {
  Buffer* buffer = VorBufCreate(16);
  std::memcpy(VorBufAllocAligned(buffer, 10, 1), "0123456789", 10);
  buffer->read_offset = 4;  // a consumer read "0123"
  EXPECT_EQ(VorBufCompact(buffer), 1);
  EXPECT_EQ(buffer->read_offset, 0);
  EXPECT_EQ(buffer->write_offset, 6);
  EXPECT_EQ(std::string(buffer->data, 6), "456789");
  buffer->read_offset = 9;  // beyond the written bytes: refused, nothing moved
  EXPECT_EQ(VorBufCompact(buffer), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_VAL_INVALID);
  EXPECT_EQ(std::string(buffer->data, 6), "456789");
  EXPECT_EQ(VorBufReset(buffer), 1);
  EXPECT_EQ(buffer->write_offset, 0);
  EXPECT_EQ(buffer->read_offset, 0);
  EXPECT_EQ(VorBufDestroy(buffer), 1);
  EXPECT_EQ(VorBufDestroy(nullptr), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
}

TEST_F(UtilClock, WallTimeIsNearTheSystemTimeAndNeverGoesBack) {
  double first = VorGetWallTime();
  EXPECT_NEAR(first, static_cast<double>(std::time(nullptr)), 5.0);
  double previous = first;
  double smallest_step = 1.0;
  for (int i = 0; i < 200000; ++i) {
    double now = VorGetWallTime();
    ASSERT_GE(now, previous);
    if (now > previous && now - previous < smallest_step) smallest_step = now - previous;
    previous = now;
  }
  EXPECT_GT(previous, first);
  EXPECT_LT(smallest_step, 0.001);  // sub-millisecond resolution
}

TEST_F(UtilHost, NodeNameAndCaseBlindCompare) {
  char name[256];
  ASSERT_EQ(VorGetNodeName(name), 1);
  EXPECT_GT(std::strlen(name), 0u);
  std::string upper(name);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_EQ(VorStrCmpi(name, upper.c_str()), 0);
  EXPECT_EQ(VorGetNodeName(nullptr), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);

  EXPECT_EQ(VorStrCmpi("Local", "lOCAL"), 0);
  EXPECT_LT(VorStrCmpi("abc", "ABD"), 0);
  EXPECT_GT(VorStrCmpi("abd", "ABC"), 0);
  EXPECT_LT(VorStrCmpi("ab", "ABC"), 0);
  EXPECT_GT(VorStrCmpi("abc", "AB"), 0);
  EXPECT_NE(VorStrCmpi("a[", "A{"), 0);  // only letters fold
  EXPECT_EQ(VorStrCmpi(nullptr, nullptr), 0);
  EXPECT_LT(VorStrCmpi(nullptr, ""), 0);
}

}  // namespace
