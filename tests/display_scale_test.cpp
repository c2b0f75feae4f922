// The real dialog at the display scale its prefix is set to, which
// display_scale.sh names in DNSCHECK_DPI: every column shows its header
// and its texts whole, in the design's widths at 96 DPI, and the hint
// shows on one line before the Start button.
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
// What the list view draws beside a text, measured on its painting (the
// least width at which a text is drawn as with ample room), alike at every
// scale: a first column's cell text starts 7 pixels in, another's 5, and a
// header keeps 6 on either side.
const int FirstCellPadding = 7;
const int CellPadding = 5;
const int HeaderPadding = 12;

struct ColumnRow {
  int designWidth;
  std::vector<const char*> texts;  // the header first
};

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
  // A location far longer than its column, loaded as the window opens.
  char folder[MAX_PATH];
  GetTempPathA(MAX_PATH, folder);
  std::string path = std::string(folder) + "display_scale.ini";
  ASSERT_TRUE(WriteBytes(path, "[DNSList]\r\n127.0.5.1=" + std::string(60, 'x')));
  lstrcpynA(ListFilePath, path.c_str(), MAX_PATH);
  UiThread ui;
  ListFilePath[0] = '\0';
  DeleteFileA(path.c_str());
  ASSERT_EQ(1, RowCount());

  ExpectHintOnOneLineBeforeStart(ui.dialog());
  HWND list = GetDlgItem(ui.dialog(), IDC_SERVERLIST);
  for (int c = 0; c < 4; ++c) {
    SCOPED_TRACE(testing::Message() << "column " << c << " at " << dpi << " DPI");
    int width = static_cast<int>(SendMessageA(list, LVM_GETCOLUMNWIDTH, c, 0));
    if (dpi == DesignDpi) {
      EXPECT_EQ(Columns[c].designWidth, width);
    }
    EXPECT_GE(width * DesignDpi, Columns[c].designWidth * dpi) << "narrower than its share";
    for (const char* utf8 : Columns[c].texts) {
      std::string text = Gbk(utf8);
      int padding = utf8 == Columns[c].texts[0] ? HeaderPadding
                    : c == 0                    ? FirstCellPadding
                                                : CellPadding;
      EXPECT_GE(width, padding + SendMessageA(list, LVM_GETSTRINGWIDTHA, 0,
                                              reinterpret_cast<LPARAM>(text.c_str())))
          << utf8 << " is cut";
    }
  }
  // The location column keeps its share, however long the user's texts.
  EXPECT_EQ(MulDiv(Columns[1].designWidth, dpi, DesignDpi),
            SendMessageA(list, LVM_GETCOLUMNWIDTH, 1, 0));
}

}  // namespace
