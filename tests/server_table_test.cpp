// The server table as the real list control holds it, driven from a
// thread other than the UI thread, as the workers drive it.
#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "resource.h"
#include "serverlist/server_table.h"
#include "ui_fixture.h"
#include "window_test.h"

namespace {

using ServerTableTest = WindowTest;

TEST_F(ServerTableTest, ColumnsHaveTheirHeadersAndWidths) {
  const struct {
    const char* header;
    int width;
  } expected[] = {{"DNS地址", 100}, {"位置", 200}, {"结果", 70}, {"GFW劫持", 70}};
  HWND list = GetDlgItem(ui_->dialog(), IDC_SERVERLIST);
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    char text[64] = {};
    LVCOLUMNA column = {};
    column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
    column.pszText = text;
    column.cchTextMax = sizeof text;
    ASSERT_TRUE(SendMessageA(list, LVM_GETCOLUMNA, i, reinterpret_cast<LPARAM>(&column)));
    EXPECT_EQ(Gbk(expected[i].header), text);
    EXPECT_EQ(expected[i].width, column.cx);
    EXPECT_EQ(LVCFMT_LEFT, column.fmt & LVCFMT_JUSTIFYMASK);
    EXPECT_EQ(i, column.iSubItem);
  }
  LVCOLUMNA extra = {};
  extra.mask = LVCF_WIDTH;
  EXPECT_FALSE(SendMessageA(list, LVM_GETCOLUMNA, 4, reinterpret_cast<LPARAM>(&extra)));
}

TEST_F(ServerTableTest, RowsAppendInOrderAndCellsReadBackWithinTheirRoom) {
  EXPECT_EQ(0, AppendRow("127.0.1.40"));
  EXPECT_EQ(1, AppendRow("127.0.1.41"));
  std::string longAddress(40, '7');
  EXPECT_EQ(2, AppendRow(longAddress.c_str()));
  SetCellText(1, ColLocation, Gbk("上海").c_str());

  char cell[AddressRoom];
  EXPECT_EQ(10, GetCellText(0, ColAddress, cell, AddressRoom));
  EXPECT_STREQ("127.0.1.40", cell);
  EXPECT_EQ(4, GetCellText(1, ColLocation, cell, AddressRoom));
  EXPECT_EQ(Gbk("上海"), cell);
  EXPECT_EQ(0, GetCellText(0, ColLocation, cell, AddressRoom)) << "empty cell";
  // A text longer than the room comes back cut, zero-terminated.
  EXPECT_EQ(AddressRoom - 1, GetCellText(2, ColAddress, cell, AddressRoom));
  EXPECT_EQ(longAddress.substr(0, AddressRoom - 1), cell);
  // Past the last row: the workers and the saver stop here.
  EXPECT_EQ(0, GetCellText(3, ColAddress, cell, AddressRoom));
  EXPECT_STREQ("", cell);
  EXPECT_EQ(0, GetCellText(100, ColAddress, cell, AddressRoom));
}

TEST_F(ServerTableTest, SortPutsFastestFirstAndNoLatencyLast) {
  AddRows({"127.0.1.41", "127.0.1.42", "127.0.1.43", "127.0.1.44"});
  const int keys[] = {12, NoLatency, 3, NoLatency};
  for (int row = 0; row < 4; ++row) {
    SetSortKey(row, keys[row]);
    SetCellText(row, ColResult, std::to_string(keys[row]).c_str());
  }

  ui_->Run(Sort);

  const int sorted[] = {3, 12, NoLatency, NoLatency};
  for (int row = 0; row < 4; ++row) {
    SCOPED_TRACE(row);
    EXPECT_EQ(sorted[row], GetSortKey(row));
    // The row's texts travel with its key.
    EXPECT_EQ(std::to_string(sorted[row]), RowTexts(row)[ColResult]);
  }
  EXPECT_EQ("127.0.1.43", RowTexts(0)[ColAddress]);
  EXPECT_EQ("127.0.1.41", RowTexts(1)[ColAddress]);
}

TEST_F(ServerTableTest, SortOfAFullTableKeepsEveryRowWithItsKey) {
  std::vector<std::pair<int, std::string>> rows;
  std::srand(7);
  for (int i = 0; i < 60; ++i) {
    int key = i % 5 == 0 ? NoLatency : std::rand() % 600;
    rows.emplace_back(key, "10.0.0." + std::to_string(i));
  }
  std::vector<std::pair<int, std::string>> after;
  // Built, sorted and read on the UI thread: requests from another thread
  // are slow under Wine, and the order is what is tested here.
  ui_->Run([&] {
    for (const auto& r : rows) SetSortKey(AppendRow(r.second.c_str()), r.first);
    Sort();
    for (int row = 0; row < RowCount(); ++row)
      after.emplace_back(GetSortKey(row), RowTexts(row)[ColAddress]);
  });

  for (std::size_t i = 1; i < after.size(); ++i) EXPECT_LE(after[i - 1].first, after[i].first) << i;
  std::sort(rows.begin(), rows.end());
  std::sort(after.begin(), after.end());
  EXPECT_EQ(rows, after);
}

}  // namespace
