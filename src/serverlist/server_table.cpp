#include "serverlist/server_table.h"

#include <commctrl.h>

#include <algorithm>
#include <climits>

#include "probe/probe_texts.h"
#include "resource.h"

HWND MainDialog;

namespace {

// The dialog's list control, looked up once when its columns are set up,
// before any other thread exists: under Wine each lookup is a round trip
// to the window server, which made loading or saving 10,000 rows take
// seconds.
HWND ListControl;

// The design gives the widths in pixels at 96 DPI, the scale they were
// drawn at.
const int DesignDpi = 96;

// What the design leaves at 96 DPI, scaled with the DPI: beside the widest
// address in its column, which every cell text of a fixed column gets; on
// either side of a header; and in the list beyond the four columns, room
// for the vertical scroll bar of a long list, so that no horizontal one
// ever shows.
const int TextMargin = 10;
const int HeaderPadding = 12;
const int ListSpare = 21;

// Each column's texts that must show whole; the location column shows the
// user's own text, which may be any length, in the room that is left.
const int MostShownTexts = 6;

// A dotted address of the most digits; a time of four digits, as wide as
// any the probe writes, since the Song face's digits share one width.
const char* const WidestAddress = "255.255.255.255";
const char* const WidestLatency = "2999 ms";

struct ColumnLayout {
  const char* header;
  int width;
  const char* shown[MostShownTexts];
};

// Headers in code page 936: "DNS地址", "位置", "结果", "GFW劫持". The
// location column takes what the others leave: 200 pixels at 96 DPI.
const ColumnLayout Columns[] = {
    {"DNS\xB5\xD8\xD6\xB7", 100, {WidestAddress}},
    {"\xCE\xBB\xD6\xC3", 0, {}},
    {"\xBD\xE1\xB9\xFB",
     70,
     {WidestLatency, TextVerifying, TextRefused, TextInvalid, TextTimedOut, TextUnfinished}},
    {"GFW\xBD\xD9\xB3\xD6",
     70,
     {TextNo, TextYes, TextChecking, TextTamperTimedOut, TextUnfinished}},
};
const int ColumnCount = sizeof Columns / sizeof Columns[0];

// Rounds up: a column is never narrower than its scaled design width.
int Scale(int pixels, int dpi) { return (pixels * dpi + DesignDpi - 1) / DesignDpi; }

int TextWidth(const char* text) {
  return static_cast<int>(
      SendMessageA(ListControl, LVM_GETSTRINGWIDTHA, 0, reinterpret_cast<LPARAM>(text)));
}

// Dialogs grow with the system DPI by themselves, but by their font's
// character width, which rounds: at 120 DPI by 7/6, not 5/4. Pixel widths
// do not grow at all. So each column is its design width scaled, and
// wider where a text measured in the list's own font needs it.
int ColumnWidth(const ColumnLayout& column, int dpi) {
  int width =
      std::max(Scale(column.width, dpi), TextWidth(column.header) + Scale(HeaderPadding, dpi));
  for (const char* text : column.shown)
    if (text != nullptr) width = std::max(width, TextWidth(text) + Scale(TextMargin, dpi));
  return width;
}

int SystemDpi() {
  HDC screen = GetDC(nullptr);
  int dpi = GetDeviceCaps(screen, LOGPIXELSX);
  ReleaseDC(nullptr, screen);
  return dpi > 0 ? dpi : DesignDpi;
}

}  // namespace

void SetUpColumns() {
  ListControl = GetDlgItem(MainDialog, IDC_SERVERLIST);
  int dpi = SystemDpi();
  // No row exists yet, so no scroll bar takes from the list's width.
  RECT list;
  GetClientRect(ListControl, &list);
  int widths[ColumnCount];
  int left = list.right - Scale(ListSpare, dpi);
  for (int i = 0; i < ColumnCount; ++i) {
    widths[i] = ColumnWidth(Columns[i], dpi);
    if (i != ColLocation) left -= widths[i];
  }
  widths[ColLocation] = std::max(widths[ColLocation], left);
  for (int i = 0; i < ColumnCount; ++i) {
    LVCOLUMNA column = {};
    column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
    column.fmt = LVCFMT_LEFT;
    column.cx = widths[i];
    column.pszText = const_cast<char*>(Columns[i].header);
    column.iSubItem = i;
    SendMessageA(ListControl, LVM_INSERTCOLUMNA, i, reinterpret_cast<LPARAM>(&column));
  }
}

int AppendRow(const char* address) {
  LVITEMA item = {};
  item.mask = LVIF_TEXT;
  // Past the last row: appends. 0xFFFF would not do: a list file may hold
  // more rows than that, and the list inserts at 0xFFFF once it is there,
  // which reversed the order of every row beyond it.
  item.iItem = INT_MAX;
  item.iSubItem = 0;
  item.pszText = const_cast<char*>(address);
  return static_cast<int>(
      SendMessageA(ListControl, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item)));
}

int GetCellText(int row, int column, char* buffer, int room) {
  buffer[0] = '\0';
  LVITEMA item = {};
  item.iSubItem = column;
  item.pszText = buffer;
  item.cchTextMax = room;
  SendMessageA(ListControl, LVM_GETITEMTEXTA, row, reinterpret_cast<LPARAM>(&item));
  // A text longer than the room must come back cut and terminated; the
  // Wine list control fills the whole room without a terminating zero and
  // then counts past it.
  buffer[room - 1] = '\0';
  return lstrlenA(buffer);
}

void SetCellText(int row, int column, const char* text) {
  LVITEMA item = {};
  item.iSubItem = column;
  item.pszText = const_cast<char*>(text);
  SendMessageA(ListControl, LVM_SETITEMTEXTA, row, reinterpret_cast<LPARAM>(&item));
}

void SetSortKey(int row, int value) {
  LVITEMA item = {};
  item.mask = LVIF_PARAM;
  item.iItem = row;
  item.iSubItem = 0;
  item.lParam = value;
  SendMessageA(ListControl, LVM_SETITEMA, 0, reinterpret_cast<LPARAM>(&item));
}

int GetSortKey(int row) {
  LVITEMA item = {};
  item.mask = LVIF_PARAM;
  item.iItem = row;
  item.iSubItem = 0;
  SendMessageA(ListControl, LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item));
  return static_cast<int>(item.lParam);
}

int CALLBACK CompareLatency(LPARAM a, LPARAM b, LPARAM) {
  return static_cast<int>(a) - static_cast<int>(b);
}

// The list hands the comparison each row's sort key itself. Reading keys
// by row index during the sort (LVM_SORTITEMSEX) misorders tables of more
// than a few rows on the Wine list control, whose indexes and items
// disagree while it sorts.
void Sort() {
  SendMessageA(ListControl, LVM_SORTITEMS, 2, reinterpret_cast<LPARAM>(CompareLatency));
}
