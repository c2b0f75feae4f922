// Runs in a process of its own: the counter must start at zero, which no
// other test in the same process could see.
#include <gtest/gtest.h>

#include "probe/dns_message.h"

TEST(QueryIds, FirstQueriesOfTheProcessCarryZeroThenOne) {
  unsigned char buffer[64];
  BuildQuery(buffer, "abc.example.com");
  EXPECT_EQ(0x00, buffer[0]);
  EXPECT_EQ(0x00, buffer[1]);
  BuildQuery(buffer, "abc.example.com");
  EXPECT_EQ(0x00, buffer[0]);
  EXPECT_EQ(0x01, buffer[1]);
}
