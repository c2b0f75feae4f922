// The real dialog at the display scale its prefix is set to, which
// display_scale.sh names in DNSCHECK_DPI: every column shows its header
// and its texts whole, with the design's margins scaled, in the design's
// widths at 96 DPI; the columns fit a long list with no horizontal scroll
// bar; and the hint shows on one line before the Start button.
#include <windows.h>

#include <commctrl.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "resource.h"
#include "serverlist/list_file.h"
#include "ui_fixture.h"

namespace {

const int DesignDpi = 96;
// What the list view draws beside a text, measured on Wine's painting at
// 96 DPI (the least width at which a text is drawn as with ample room): a
// first column's cell text starts 7 pixels in, another's 5, and a header
// keeps 6 on either side. A system may scale them with the DPI, so they
// are compared scaled. The design leaves more beside a cell's text: 10
// pixels beside the widest address, which covers the cells' padding.
const int HeaderPadding = 12;
const int DesignMargin = 10;
// The list's width beyond its four columns at 96 DPI.
const int DesignSpare = 21;
const int Rows = 60;

// As the product rounds: up, so that nothing falls short of its design.
int Scaled(int pixels, int dpi) { return (pixels * dpi + DesignDpi - 1) / DesignDpi; }

struct ColumnRow {
  int designWidth;
  std::vector<const char*> texts;  // the header first
};

const int LocationColumn = 1;
const ColumnRow Columns[] = {
    {100, {"DNS地址", "255.255.255.255"}},
    {200, {"位置"}},
    {70, {"结果", "2999 ms", "正在验证", "拒绝解析", "无效解析", "请求超时", "未完成"}},
    {70, {"GFW劫持", "否", "是", "检测中", "超时", "未完成"}},
};

void ExpectHintOnOneLineBeforeStart(HWND dialog) {
  HWND hint = FindWindowExA(dialog, nullptr, "Static", nullptr);
  char text[256] = {};
  GetWindowTextA(hint, text, sizeof text);
  ASSERT_EQ(Gbk("按“开始”检测，关闭窗口时保存列表"), text);
  HDC dc = GetDC(hint);
  HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageA(hint, WM_GETFONT, 0, 0)));
  SIZE extent = {};
  GetTextExtentPoint32A(dc, text, lstrlenA(text), &extent);
  SelectObject(dc, old);
  ReleaseDC(hint, dc);
  RECT room, placed, start, overlap;
  GetClientRect(hint, &room);
  GetWindowRect(hint, &placed);
  GetWindowRect(GetDlgItem(dialog, IDC_START), &start);
  EXPECT_LE(extent.cx, room.right) << "the hint wraps, and its second line is cut";
  EXPECT_LE(extent.cy, room.bottom);
  EXPECT_FALSE(IntersectRect(&overlap, &placed, &start)) << "the hint runs into Start";
}

TEST(DisplayScale, EveryColumnShowsItsTextsWholeAndTheHintFitsBeforeStart) {
  const char* named = std::getenv("DNSCHECK_DPI");
  ASSERT_NE(nullptr, named) << "display_scale.sh sets the scale and names it";
  int dpi = std::atoi(named);
  HDC screen = GetDC(nullptr);
  ASSERT_EQ(dpi, GetDeviceCaps(screen, LOGPIXELSX)) << "the prefix's scale did not apply";
  ReleaseDC(nullptr, screen);
  // Locations far longer than their column, in more rows than the list
  // shows, loaded as the window opens.
  char folder[MAX_PATH];
  GetTempPathA(MAX_PATH, folder);
  std::string path = std::string(folder) + "display_scale.ini", file = "[DNSList]\r\n";
  for (int i = 1; i <= Rows; ++i)
    file += "127.0.5." + std::to_string(i) + "=" + std::string(60, 'x') + "\r\n";
  ASSERT_TRUE(WriteBytes(path, file));
  lstrcpynA(ListFilePath, path.c_str(), MAX_PATH);
  UiThread ui;
  ListFilePath[0] = '\0';
  DeleteFileA(path.c_str());
  ASSERT_EQ(Rows, RowCount());

  ExpectHintOnOneLineBeforeStart(ui.dialog());
  HWND list = GetDlgItem(ui.dialog(), IDC_SERVERLIST);
  int widths[4], all = 0;
  for (int c = 0; c < 4; ++c) {
    SCOPED_TRACE(testing::Message() << "column " << c << " at " << dpi << " DPI");
    widths[c] = static_cast<int>(SendMessageA(list, LVM_GETCOLUMNWIDTH, c, 0));
    all += widths[c];
    if (dpi == DesignDpi) {
      EXPECT_EQ(Columns[c].designWidth, widths[c]);
    }
    if (c != LocationColumn) {
      EXPECT_GE(widths[c], Scaled(Columns[c].designWidth, dpi)) << "narrower than its share";
    }
    for (const char* utf8 : Columns[c].texts) {
      std::string text = Gbk(utf8);
      bool header = utf8 == Columns[c].texts[0];
      EXPECT_GE(widths[c], Scaled(header ? HeaderPadding : DesignMargin, dpi) +
                               SendMessageA(list, LVM_GETSTRINGWIDTHA, 0,
                                            reinterpret_cast<LPARAM>(text.c_str())))
          << utf8 << " is cut or lacks its margin";
    }
  }
  // A long list's vertical scroll bar takes from the width; what is left
  // still holds the columns.
  RECT client;
  GetClientRect(list, &client);
  LONG style = GetWindowLongA(list, GWL_STYLE);
  ASSERT_TRUE(style & WS_VSCROLL) << "the list is too short to try a vertical scroll bar";
  EXPECT_FALSE(style & WS_HSCROLL) << "a horizontal scroll bar shows";
  EXPECT_LE(all, client.right) << "the columns are wider than the list";
  // The location column takes the width the list has without rows, less
  // the design's spare, scaled.
  SendMessageA(list, LVM_DELETEALLITEMS, 0, 0);
  GetClientRect(list, &client);
  EXPECT_EQ(client.right - (all - widths[LocationColumn]) - Scaled(DesignSpare, dpi),
            widths[LocationColumn]);
}

}  // namespace
