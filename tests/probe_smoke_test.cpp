#include <gtest/gtest.h>

#include "probe/server_probe.h"
#include "serverlist/server_table.h"
#include "test_dns_server.h"
#include "ui_fixture.h"

TEST(ProbeSmoke, HonestServerGetsATimeAndNo) {
  UiThread ui;
  ResetScanState();
  TestDnsServer server("127.0.1.1", Honest());
  ASSERT_TRUE(server.ok());
  AddRows({"127.0.1.1"});
  EXPECT_EQ(Done, ProbeServer(0, "127.0.1.1", 1000));

  std::vector<std::string> cells = RowTexts(0);
  EXPECT_NE(std::string::npos, cells[2].find(" ms")) << cells[2];
  EXPECT_EQ(Gbk("否"), cells[3]);
  EXPECT_EQ(5, server.QueryCount());
}
