// The list file through the real profile functions and the real list
// control: what a load puts in the table, what a save leaves on disk, and
// that a save killed at any moment leaves a whole list behind.
#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "import_slot.h"
#include "list_maker.h"
#include "probe/scan_control.h"
#include "resource.h"
#include "serverlist/list_file.h"
#include "serverlist/server_table.h"
#include "ui_fixture.h"

namespace {

using namespace std::string_literals;
using Entries = std::vector<std::pair<std::string, std::string>>;

// The file exactly as the tool writes it: a mark, where it keeps one,
// and the section's lines.
std::string LinesText(const std::string& mark, const std::vector<std::string>& lines) {
  std::string text = mark + "[DNSList]\r\n";
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

std::string ListText(const Entries& entries) {
  std::vector<std::string> lines;
  for (const auto& e : entries) lines.push_back(e.first + "=" + e.second);
  return LinesText("", lines);
}

// Equal texts, or where the first difference is: lists are too long to
// print whole.
testing::AssertionResult SameText(const std::string& expected, const std::string& actual) {
  if (expected == actual) return testing::AssertionSuccess();
  size_t at = 0;
  while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) ++at;
  size_t from = at < 40 ? 0 : at - 40;
  return testing::AssertionFailure()
         << "sizes " << expected.size() << " and " << actual.size() << "; first difference at byte "
         << at << ": expected \"" << expected.substr(from, 80) << "\", got \""
         << actual.substr(from, 80) << "\"";
}

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

extern "C" void* GetSectionSlot __asm__(IMPORT_SLOT_NAME(GetPrivateProfileSectionA, 16));
extern "C" void* WriteSectionSlot __asm__(IMPORT_SLOT_NAME(WritePrivateProfileSectionA, 12));
extern "C" void* WriteFileSlot __asm__(IMPORT_SLOT_NAME(WriteFile, 20));

int WriteCalls = 0;
BOOL WINAPI CountSectionWrite(LPCSTR, LPCSTR, LPCSTR) {
  ++WriteCalls;
  return TRUE;
}
BOOL WINAPI CountFileWrite(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) {
  ++WriteCalls;
  return TRUE;
}

// Each test gets a directory of its own: the profile functions keep
// files they have read in memory, by name.
class ListFileTest : public testing::Test {
 protected:
  void SetUp() override {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    static int serial = 0;
    char name[64];
    std::snprintf(name, sizeof name, "list_file_test_%lu_%d", GetCurrentProcessId(), ++serial);
    dir_ = std::string(temp) + name;
    folders_.push_back(dir_);
    CreateDirectoryA(dir_.c_str(), nullptr);
    UseFolder(dir_);
    ResetScanState();
  }
  void TearDown() override {
    SetFileAttributesA(temp_.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(path_.c_str());
    DeleteFileA(temp_.c_str());
    for (auto folder = folders_.rbegin(); folder != folders_.rend(); ++folder)
      RemoveDirectoryA(folder->c_str());
    ListFilePath[0] = '\0';
  }
  void UseFolder(const std::string& folder) {
    path_ = folder + "\\dns.ini";
    temp_ = folder + "\\" + ListTempName;
    lstrcpynA(ListFilePath, path_.c_str(), MAX_PATH);
  }
  // Nests folders inside the test's own until the path is `length` bytes,
  // and keeps the list there. Through the wide call and its long-path
  // prefix, since the 8-bit one stops at 248 bytes.
  bool UseFolderOfLength(size_t length) {
    std::string folder = dir_;
    while (folder.size() < length) {
      folder += "\\" + std::string(std::min<size_t>(length - folder.size() - 1, 100), 'f');
      std::wstring wide = L"\\\\?\\" + std::wstring(folder.begin(), folder.end());
      if (!CreateDirectoryW(wide.c_str(), nullptr)) return false;
      folders_.push_back(folder);
    }
    UseFolder(folder);
    return folder.size() == length;
  }
  static void Save(UiThread& ui) {
    ui.Run([] { SaveServerList(); });
  }
  // The writes a save makes, in either way the product writes a file,
  // each counted and not done. Under Wine a profile write of an empty
  // section creates no file, while Windows creates the section (Microsoft
  // documents it), so only the count shows that nothing would be written.
  static int WritesOfASave(UiThread& ui) {
    ImportSlot section(&WriteSectionSlot, reinterpret_cast<void*>(&CountSectionWrite));
    ImportSlot file(&WriteFileSlot, reinterpret_cast<void*>(&CountFileWrite));
    WriteCalls = 0;
    Save(ui);
    return WriteCalls;
  }
  // Loads the list into the open window again, as a new start would.
  static void Reload(UiThread& ui) {
    ui.Run([] {
      SendDlgItemMessageA(MainDialog, IDC_SERVERLIST, LVM_DELETEALLITEMS, 0, 0);
      ResetScanState();
      LoadServerList();
    });
  }
  // Reverses the table's order, so that a save that was abandoned shows:
  // the old file would otherwise be exactly what a test expects.
  static void Reverse(UiThread& ui) {
    ui.Run([] {
      int rows = RowCount();
      for (int row = 0; row < rows; ++row) SetSortKey(row, rows - row);
      Sort();
    });
  }
  std::string dir_, path_, temp_;
  std::vector<std::string> folders_;
};

Entries Reversed(const Entries& entries) { return Entries(entries.rbegin(), entries.rend()); }

TEST_F(ListFileTest, GbkListLoadsIntoTheTableAndSavesByteForByte) {
  const Entries entries = {
      {"202.96.128.86", Gbk("广东 广州 电信")},
      {"8.8.8.8", "Google"},
      {"114.114.114.114", ""},
      {"1.2.4.8", Gbk("北京 中国互联网络信息中心")},
  };
  ASSERT_TRUE(WriteBytes(path_, ListText(entries)));
  UiThread ui;

  ASSERT_EQ(4, RowCount());
  EXPECT_EQ(4u, TotalRows);
  for (int row = 0; row < 4; ++row) {
    std::vector<std::string> cells = RowTexts(row);
    EXPECT_EQ(entries[row].first, cells[0]);
    EXPECT_EQ(entries[row].second, cells[1]);
    EXPECT_EQ("", cells[2]);
    EXPECT_EQ("", cells[3]);
    EXPECT_EQ(NoLatency, GetSortKey(row));
  }
  Reverse(ui);
  Save(ui);
  EXPECT_EQ(ListText(Reversed(entries)), ReadBytes(path_));
  EXPECT_FALSE(Exists(temp_));

  // Windows ends a session without closing the window: the list is saved
  // as a close saves it, and not where the end is asked or called off.
  Reverse(ui);
  EXPECT_NE(0, SendMessageA(ui.dialog(), WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF));
  EXPECT_EQ(0, SendMessageA(ui.dialog(), WM_ENDSESSION, FALSE, ENDSESSION_LOGOFF));
  EXPECT_EQ(ListText(Reversed(entries)), ReadBytes(path_));
  EXPECT_EQ(0, SendMessageA(ui.dialog(), WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF));
  EXPECT_EQ(ListText(entries), ReadBytes(path_));
  EXPECT_FALSE(Exists(temp_));
}

TEST_F(ListFileTest, NoFileGivesAnEmptyTableAndSavingLeavesNoFile) {
  UiThread ui;
  EXPECT_EQ(0, RowCount());
  EXPECT_EQ(0u, TotalRows);
  EXPECT_EQ(0, WritesOfASave(ui));
  Save(ui);
  EXPECT_FALSE(Exists(path_));
  EXPECT_FALSE(Exists(temp_));
}

// Nothing loaded means nothing the tool may overwrite: whatever the file
// holds stays, byte for byte.
TEST_F(ListFileTest, FileWithoutServersIsLeftAsItIs) {
  const std::string text =
      "; my servers are elsewhere\r\n[Other]\r\n8.8.8.8=Google\r\n[DNSList]\r\n";
  ASSERT_TRUE(WriteBytes(path_, text));
  UiThread ui;
  EXPECT_EQ(0, RowCount());
  EXPECT_EQ(0, WritesOfASave(ui));
  Save(ui);
  EXPECT_EQ(text, ReadBytes(path_));
}

// Files the tool cannot read as its own: binary bytes load nothing and
// stay as they are; a UTF-16 list loads its servers and a save keeps
// them all (in the tool's own encoding); a read-only list is either left
// alone or replaced whole, never lost or cut, and no temporary is left.
TEST_F(ListFileTest, BinaryUtf16AndReadOnlyFilesAreNeverLost) {
  std::string binary;
  std::mt19937 random(7);
  for (int i = 0; i < 4096; ++i) binary += static_cast<char>(random() & 0xFF);
  ASSERT_TRUE(WriteBytes(path_, binary));
  {
    UiThread ui;
    EXPECT_EQ(0, RowCount());
    Save(ui);
  }
  EXPECT_TRUE(SameText(binary, ReadBytes(path_)));
  EXPECT_FALSE(Exists(temp_));

  // "[DNSList]", "8.8.8.8=Google", "1.2.4.8=北京" as UTF-16 with its mark.
  std::wstring wide = L"\xFEFF[DNSList]\r\n8.8.8.8=Google\r\n1.2.4.8=\x5317\x4EAC\r\n";
  ASSERT_TRUE(WriteBytes(path_, std::string(reinterpret_cast<const char*>(wide.data()),
                                            wide.size() * sizeof(wchar_t))));
  {
    UiThread ui;
    ASSERT_EQ(2, RowCount());
    EXPECT_EQ("1.2.4.8", RowTexts(1)[0]);
    EXPECT_EQ(Gbk("北京"), RowTexts(1)[1]);
    Reverse(ui);
    Save(ui);
  }
  const std::string kept = ListText({{"1.2.4.8", Gbk("北京")}, {"8.8.8.8", "Google"}});
  EXPECT_TRUE(SameText(kept, ReadBytes(path_)));

  const Entries entries = {{"10.0.0.1", "a"}, {"10.0.0.2", "b"}};
  ASSERT_TRUE(WriteBytes(path_, ListText(entries)));
  ASSERT_TRUE(SetFileAttributesA(path_.c_str(), FILE_ATTRIBUTE_READONLY));
  {
    UiThread ui;
    ASSERT_EQ(2, RowCount());
    ui.Run([] {
      SetSortKey(0, 20);
      SetSortKey(1, 10);
      Sort();
    });
    Save(ui);
  }
  std::string after = ReadBytes(path_);
  EXPECT_TRUE(after == ListText(entries) || after == ListText({entries[1], entries[0]})) << after;
  EXPECT_FALSE(Exists(temp_));
  SetFileAttributesA(path_.c_str(), FILE_ATTRIBUTE_NORMAL);
}

// The servers of the file at `path` as the profile functions give them:
// every entry split at its first '=', those with nothing before it left
// out, as they name no server.
Entries ProfileServers(const std::string& path) {
  std::vector<char> section(1 << 20);
  GetPrivateProfileSectionA("DNSList", section.data(), static_cast<DWORD>(section.size()),
                            path.c_str());
  Entries servers;
  for (const char* entry = section.data(); *entry != '\0'; entry += lstrlenA(entry) + 1) {
    std::string text = entry;
    size_t equals = text.find('=');
    if (equals == 0) continue;
    servers.emplace_back(text.substr(0, equals),
                         equals == std::string::npos ? "" : text.substr(equals + 1));
  }
  return servers;
}

// Lines the profile parser reads in its own way. Every line that names a
// server keeps it, with its own location, so a save loses none of them;
// the servers are those the profile functions give. A file in UTF-8 is
// read by the same rules and saved in UTF-8, its mark kept.
TEST_F(ListFileTest, EveryServerLineSurvivesLoadAndSave) {
  const std::string lines =
      "0.0.0.0=before any section\r\n"
      "[DNSList]x]\r\n"
      "0.0.0.1=a section named by its last ']'\r\n"
      "[DNSList] and a note\r\n"
      "1.1.1.1=first\r\n"
      "1.1.1.1=second\r\n"
      "  2.2.2.2  =  spaced out  \r\n"
      "=no address\r\n"
      "  = no address either\r\n"
      "3.3.3.3\r\n"
      "4.4.4.4=a=b\r\n"
      "; 9.9.9.9=commented out\r\n"
      "\t;9.9.9.8=commented out\r\n"
      "[no close\r\n"
      "5.5.5.5=\"quoted\"\r\n"
      "\r\n"
      "\t5.5.5.6\t=\ttabs\t\r"
      "\v5.5.5.7\f=\x1A"
      "blanks\x1A\n"
      "5.5.5.8=cut\0 at a zero byte\r\n"
      "7.7.7.7="s;
  const std::string rest =
      "\r\n"
      "[Other]\r\n"
      "6.6.6.6=another section\r\n"
      "[ dnslist ]\r\n"
      "8.8.8.8=a second section of the name\r\n";
  const Entries expected = {
      {"1.1.1.1", "first"},  {"1.1.1.1", "second"}, {"2.2.2.2", "spaced out"}, {"3.3.3.3", ""},
      {"4.4.4.4", "a=b"},    {"[no close", ""},     {"5.5.5.5", "\"quoted\""}, {"5.5.5.6", "tabs"},
      {"5.5.5.7", "blanks"}, {"5.5.5.8", "cut"},    {"7.7.7.7", "上海"},
  };
  const std::string mark = "\xEF\xBB\xBF";
  const struct {
    std::string file;
    std::string mark;
    bool utf8;
  } files[] = {{lines + Gbk("上海") + rest, "", false},
               {lines + "上海" + rest, "", true},
               {mark + lines + "上海" + rest, mark, true}};
  for (const auto& f : files) {
    SCOPED_TRACE(f.mark + (f.utf8 ? "UTF-8" : "GBK"));
    Entries shown = expected, saved = Reversed(expected);
    shown.back().second = Gbk("上海");
    if (!f.utf8) saved.front().second = Gbk("上海");
    ASSERT_TRUE(WriteBytes(path_, f.file));
    if (!f.utf8) {
      EXPECT_EQ(shown, ProfileServers(path_));
    }
    ResetScanState();
    UiThread ui;
    ASSERT_EQ(static_cast<int>(shown.size()), RowCount());
    EXPECT_EQ(shown.size(), TotalRows);
    for (size_t row = 0; row < shown.size(); ++row) {
      std::vector<std::string> cells = RowTexts(static_cast<int>(row));
      EXPECT_EQ(shown[row].first, cells[0]) << row;
      EXPECT_EQ(shown[row].second, cells[1]) << row;
    }
    Reverse(ui);
    Save(ui);
    EXPECT_EQ(f.mark + ListText(saved), ReadBytes(path_));
  }
}

TEST_F(ListFileTest, ScannedTableIsSavedFastestFirstWithUnansweredLast) {
  const Entries entries = {{"10.0.0.1", "a"},
                           {"10.0.0.2", "b"},
                           {"10.0.0.3", "c"},
                           {"10.0.0.4", "d"},
                           {"10.0.0.5", "e"}};
  ASSERT_TRUE(WriteBytes(path_, ListText(entries)));
  UiThread ui;
  ASSERT_EQ(5, RowCount());
  const int keys[] = {NoLatency, 12, NoLatency, 3, 40};
  for (int row = 0; row < 5; ++row) {
    SetSortKey(row, keys[row]);
    SetCellText(row, ColResult, "12 ms");  // results are not stored
  }
  ui.Run([] { Sort(); });
  Save(ui);

  std::string text = ReadBytes(path_);
  std::string fastest = ListText({entries[3], entries[1], entries[4]});
  ASSERT_EQ(fastest, text.substr(0, fastest.size()));
  // The platform's sort decides the order of equal keys.
  std::string rest = text.substr(fastest.size());
  std::string lineA = "10.0.0.1=a\r\n", lineC = "10.0.0.3=c\r\n";
  EXPECT_TRUE(rest == lineA + lineC || rest == lineC + lineA) << rest;
}

// More than a fixed 64 KiB buffer holds of key names, and more rows than a
// 16-bit row position reaches.
TEST_F(ListFileTest, VeryLongListLoadsEveryServerInFileOrder) {
  Entries entries;
  for (int i = 0; i < 65600; ++i) {
    char address[32];
    std::snprintf(address, sizeof address, "10.%d.%d.%d", i / 65536, (i / 256) % 256, i % 256);
    entries.emplace_back(address, Gbk("上海") + std::to_string(i));
  }
  ASSERT_TRUE(WriteBytes(path_, ListText(entries)));
  UiThread ui;

  int count = static_cast<int>(entries.size());
  ASSERT_EQ(count, RowCount());
  EXPECT_EQ(static_cast<unsigned>(count), TotalRows);
  for (int row : {0, count / 2, 65535, count - 1}) {
    std::vector<std::string> cells = RowTexts(row);
    EXPECT_EQ(entries[row].first, cells[0]);
    EXPECT_EQ(entries[row].second, cells[1]);
  }
  Reverse(ui);
  Save(ui);
  EXPECT_TRUE(SameText(ListText(Reversed(entries)), ReadBytes(path_)));
}

// Text of `length` bytes: GBK characters after `lead` ASCII bytes, padded
// with one ASCII byte where a character would not fit.
std::string GbkText(int length, int lead) {
  std::string text(lead, 'x');
  while (static_cast<int>(text.size()) + 2 <= length) text += Gbk("电");
  text.resize(length, 'y');
  return text;
}

// Texts longer than the rooms the workers read into, and GBK texts whose
// last character would straddle the edge of a room, come back whole.
TEST_F(ListFileTest, LongTextsComeBackWhole) {
  Entries entries = {{std::string(100, '7'), std::string(1000, 'L')}};
  const int addressLengths[] = {30, 31, 32, 33, 63, 64, 65};
  const int locationLengths[] = {254, 255, 256, 257, 511, 512, 513};
  for (int i = 0; i < 7; ++i) {
    for (int lead = 0; lead < 2; ++lead)
      entries.emplace_back(GbkText(addressLengths[i], lead), GbkText(locationLengths[i], lead));
  }
  ASSERT_TRUE(WriteBytes(path_, ListText(entries)));
  UiThread ui;
  ASSERT_EQ(static_cast<int>(entries.size()), RowCount());
  Reverse(ui);
  Save(ui);
  EXPECT_TRUE(SameText(ListText(Reversed(entries)), ReadBytes(path_)));
}

extern "C" void* AcpSlot __asm__(IMPORT_SLOT_NAME(GetACP, 0));
extern "C" void* ToWideSlot __asm__(IMPORT_SLOT_NAME(MultiByteToWideChar, 24));
extern "C" void* FromWideSlot __asm__(IMPORT_SLOT_NAME(WideCharToMultiByte, 32));

typedef int(WINAPI* ToWideFunction)(UINT, DWORD, LPCSTR, int, LPWSTR, int);
typedef int(WINAPI* FromWideFunction)(UINT, DWORD, LPCWSTR, int, LPSTR, int, LPCSTR, LPBOOL);
ToWideFunction RealToWide;
FromWideFunction RealFromWide;

UINT WINAPI Utf8CodePage() { return CP_UTF8; }

int WINAPI ToWideOnUtf8System(UINT codePage, DWORD flags, LPCSTR text, int size, LPWSTR wide,
                              int room) {
  return RealToWide(codePage == CP_ACP ? CP_UTF8 : codePage, flags, text, size, wide, room);
}

// As Microsoft documents it, and unlike Wine: no default character for
// UTF-8.
int WINAPI FromWideOnUtf8System(UINT codePage, DWORD flags, LPCWSTR wide, int count, LPSTR text,
                                int room, LPCSTR defaultChar, LPBOOL usedDefault) {
  if (codePage == CP_ACP) codePage = CP_UTF8;
  if (codePage == CP_UTF8 && (defaultChar != nullptr || usedDefault != nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return RealFromWide(codePage, flags, wide, count, text, room, defaultChar, usedDefault);
}

// While it lives, the product code runs as on a Windows whose code page
// for non-Unicode programs is 65001 (UTF-8). The window and the profile
// functions still use Wine's.
struct Utf8System {
  Utf8System()
      : acp(&AcpSlot, reinterpret_cast<void*>(&Utf8CodePage)),
        toWide(&ToWideSlot, reinterpret_cast<void*>(&ToWideOnUtf8System)),
        fromWide(&FromWideSlot, reinterpret_cast<void*>(&FromWideOnUtf8System)) {
    RealToWide = toWide.original<ToWideFunction>();
    RealFromWide = fromWide.original<FromWideFunction>();
  }
  ImportSlot acp, toWide, fromWide;
};

// The parts of `text` between its '\n's, empty ones included.
std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> pieces(1);
  for (char c : text) {
    if (c == '\n') {
      pieces.emplace_back();
    } else {
      pieces.back() += c;
    }
  }
  return pieces;
}

// Whatever the file's encoding and whatever reading is taken, a close
// never changes a byte the user wrote: a list is written back in the
// encoding it was read in, each server as the bytes it came from, and a
// list with any text the code page cannot carry is left as it was, its
// rows still shown. Opened and closed again, a list shows what it showed
// the first time, and the second close writes what the first did. An
// empty location is not compared: that row shows what it can.
TEST_F(ListFileTest, ListInAnyEncodingKeepsItsBytes) {
  // Lines and the locations shown are parted by '\n', which no encoding
  // here has in a character; an empty location shown is not compared.
  struct Case {
    const char* name;
    std::string lines;
    std::string shown;
    bool saved = true;
    std::string mark = "";  // or the whole file, where there are no lines
    bool utf8System = false;
  };
  const std::string mark = "\xEF\xBB\xBF";
  const std::wstring emoji = L"\xFEFF[DNSList]\r\n1.1.1.1=\xD83D\xDE00\r\n2.2.2.2=x\r\n";
  const Case cases[] = {
      {"UTF-8", "127.0.0.1=上\n127.0.0.2=北京 联通 1", Gbk("上\n北京 联通 1")},
      {"UTF-8 with its mark", "127.0.0.1=上\n127.0.0.2=北京 联通 1", Gbk("上\n北京 联通 1"), true,
       mark},
      // Not UTF-8, so the code page's, which the UTF-8 line does not survive.
      {"GBK and UTF-8 lines", "1.1.1.1=" + Gbk("广东 电信") + "\n2.2.2.2=北京 联通",
       Gbk("广东 电信\n"), false},
      // UTF-8 throughout, the GBK bytes included, and more plausible so: 小
      // shows as a Cyrillic С, and is saved as the bytes it was read from.
      {"GBK beside UTF-8, the GBK also UTF-8", "1.1.1.1=" + Gbk("小") + "\n2.2.2.2=上",
       Gbk("С\n上")},
      // d0 a1 also reads as UTF-8, a lone Cyrillic letter.
      {"GBK that is also UTF-8", "1.1.1.1=" + Gbk("小") + "\n2.2.2.2=x", Gbk("小\nx")},
      // cb 87 and ce 9e read as UTF-8 are ˇ and Ξ, a lone sign and a lone
      // Greek letter, both in GB2312.
      {"traditional GBK that is also UTF-8", Gbk("127.0.9.1=藝\n127.0.9.2=螢"), Gbk("藝\n螢")},
      {"traditional UTF-8", "127.0.9.1=藝\n127.0.9.2=螢", Gbk("藝\n螢")},
      // e4 b8 b6 e4 b8 b6 reads as UTF-8 too: 丶丶, whose hanzi are rarer.
      {"GBK that is also UTF-8 of rarer hanzi", Gbk("1.1.1.1=涓朵付\n2.2.2.2=x"), Gbk("涓朵付\nx")},
      // A surrogate, an overlong form, a code point past U+10FFFF: UTF-8
      // to a lax reader only.
      {"GBK that only lax rules read as UTF-8", Gbk("1.1.1.1=矶東\n2.2.2.2=量\n3.3.3.3=酢啊"),
       Gbk("矶東\n量\n酢啊")},
      {"UTF-8 cut mid-character", "1.1.1.1=上\n2.2.2.2=上\xE6\xB5", "\n", false},
      {"GBK cut mid-character", "1.1.1.1=" + Gbk("广州") + "\xB5\n2.2.2.2=x", "\nx", false},
      {"UTF-8 outside GBK", "1.1.1.1=上\n2.2.2.2=香港 \xF0\x9F\x98\x80", Gbk("上\n"), false},
      {"UTF-16 outside GBK", "", "\nx", false,
       std::string(reinterpret_cast<const char*>(emoji.data()), emoji.size() * sizeof(wchar_t))},
      // Each of these lines alone also reads as code page 936, with a
      // hanzi amid Latin letters or rare ones.
      {"UTF-8 with a middle dot and accents",
       "1.1.1.1=北京·电信\n2.2.2.2=瑞士 Zürich\n3.3.3.3=法国 Café",
       Gbk("北京·电信\n瑞士 Zürich\n法国 Café")},
      {"accented Latin names in UTF-8", "1.1.1.1=Zürich\n2.2.2.2=Montréal\n3.3.3.3=Genève",
       Gbk("Zürich\nMontréal\nGenève")},
      // Its bytes are also UTF-8, for 骴山; GB2312 lacks 骴.
      {"GBK that is also three-byte UTF-8", Gbk("1.1.1.1=楠村北"), Gbk("楠村北")},
      // 俺廿 in UTF-8 is 淇哄豢 in code page 936: each reading has one
      // of GB2312's rarer hanzi. The code page's is shown, and the bytes
      // are kept all the same.
      {"readings that tie", "1.1.1.1=俺廿\n2.2.2.2=x", Gbk("淇哄豢\nx")},
      {"UTF-8 mark before bytes the code page reads better", Gbk("1.1.1.1=楠村北"), Gbk("骴山"),
       true, mark},
      // There the code page's text is the UTF-8 itself.
      {"UTF-8 where the code page is 65001", "1.1.1.1=北京 电信\n2.2.2.2=香港", "北京 电信\n香港",
       true, "", true},
      {"two-byte UTF-8 where the code page is 65001", "1.1.1.1=Zürich\n2.2.2.2=Москва",
       "Zürich\nМосква", true, "", true},
  };
  UiThread ui;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> lines = Split(c.lines), shown = Split(c.shown);
    if (c.lines.empty()) lines.clear();
    const std::string file = lines.empty() ? c.mark : LinesText(c.mark, lines);
    ASSERT_TRUE(WriteBytes(path_, file));
    std::unique_ptr<Utf8System> system(c.utf8System ? new Utf8System : nullptr);
    std::vector<std::string> first;
    for (int round = 0; round < 2; ++round) {
      SCOPED_TRACE(round == 0 ? "first opening" : "second opening");
      Reload(ui);
      ASSERT_EQ(static_cast<int>(shown.size()), RowCount());
      std::vector<std::string> now;
      for (int row = 0; row < RowCount(); ++row) now.push_back(RowTexts(row)[1]);
      if (round == 0) {
        first = now;
        for (size_t row = 0; row < shown.size(); ++row) {
          if (!shown[row].empty()) {
            EXPECT_EQ(shown[row], now[row]) << row;
          }
        }
      } else {
        EXPECT_EQ(c.saved ? std::vector<std::string>(first.rbegin(), first.rend()) : first, now);
      }
      Reverse(ui);
      Save(ui);
      std::vector<std::string> reversed(lines.rbegin(), lines.rend());
      bool reversedNow = c.saved && round == 0;
      EXPECT_TRUE(SameText(reversedNow ? LinesText(c.mark, reversed) : file, ReadBytes(path_)));
      EXPECT_FALSE(Exists(temp_));
    }
  }
}

// Lists as people write them, from a seed: their words of every kind, in
// GBK and in UTF-8 with and without its mark, now and then with a comment
// and another section. Whatever is read from them, the first close keeps
// every server's bytes (or leaves the file as it was), and a second
// opening and close change nothing more.
TEST_F(ListFileTest, GeneratedListsKeepTheirBytesOverTwoCloses) {
  const int Lists = 24;
  const std::string marks[] = {"", "", "\xEF\xBB\xBF"};
  std::mt19937 random(21);
  UiThread ui;
  int saved = 0, kept = 0;
  for (int i = 0; i < Lists; ++i) {
    MadeList list = MakeList(random);
    for (MadeEncoding encoding : {MadeGbk, MadeUtf8, MadeUtf8WithMark}) {
      if (encoding == MadeGbk && !list.inGbk) continue;
      std::string file = ListFile(list, encoding);
      std::string mark = marks[encoding];
      std::vector<std::string> lines;
      for (size_t at = file.find('\n') + 1; at < file.size(); at = file.find('\n', at) + 1)
        lines.push_back(file.substr(at, file.find('\r', at) - at));
      std::string rewritten =
          LinesText(mark, std::vector<std::string>(lines.rbegin(), lines.rend()));
      if (random() % 3 == 0) file.insert(mark.size(), "; " + lines[0] + "\r\n");
      if (random() % 3 == 0) file += "[Other]\r\n" + lines[0] + "\r\n";
      SCOPED_TRACE(testing::Message() << list.kind << ", encoding " << encoding << ": " << file);
      ASSERT_TRUE(WriteBytes(path_, file));
      Reload(ui);
      ASSERT_EQ(static_cast<int>(lines.size()), RowCount());
      std::vector<std::string> first;
      for (int row = 0; row < RowCount(); ++row) first.push_back(RowTexts(row)[1]);
      Reverse(ui);
      Save(ui);
      std::string after = ReadBytes(path_);
      ASSERT_TRUE(after == file || after == rewritten) << after;
      (after == file ? kept : saved) += 1;

      Reload(ui);
      std::vector<std::string> second;
      for (int row = RowCount() - 1; row >= 0; --row) second.push_back(RowTexts(row)[1]);
      if (after == rewritten) {
        EXPECT_EQ(first, second);
        Reverse(ui);
        Save(ui);
        EXPECT_EQ(LinesText(mark, lines), ReadBytes(path_));
      }
    }
  }
  std::printf("generated lists: %d saved, %d kept as they were\n", saved, kept);
  EXPECT_GT(saved, kept);
}

// A folder of 251 bytes is the longest that leaves room for "\dns.ini";
// the temporary file must fit there too.
TEST_F(ListFileTest, ListInTheLongestFolderIsSaved) {
  ASSERT_TRUE(UseFolderOfLength(MAX_PATH - 1 - lstrlenA("\\dns.ini")));
  ASSERT_EQ(MAX_PATH - 1, static_cast<int>(path_.size()));
  const Entries entries = {{"10.0.0.1", "a"}, {"10.0.0.2", "b"}};
  ASSERT_TRUE(WriteBytes(path_, ListText(entries)));
  UiThread ui;
  ASSERT_EQ(2, RowCount());
  Reverse(ui);
  Save(ui);
  EXPECT_EQ(ListText(Reversed(entries)), ReadBytes(path_));
  EXPECT_FALSE(Exists(temp_));
}

typedef BOOL(WINAPI* WriteSectionFunction)(LPCSTR, LPCSTR, LPCSTR);
WriteSectionFunction RealWriteSection;
int ChangedWrites = 0;
bool AddAnEntry = false;

// As a full disk or a faulty layer can: the last entry never reaches the
// file, or one more follows it, and the write reports success.
BOOL WINAPI WriteAnotherSection(LPCSTR section, LPCSTR block, LPCSTR path) {
  ++ChangedWrites;
  std::string changed;
  for (const char* entry = block; *entry != '\0'; entry += lstrlenA(entry) + 1) {
    if (AddAnEntry || entry[lstrlenA(entry) + 1] != '\0')
      changed.append(entry, lstrlenA(entry) + 1);
  }
  if (AddAnEntry) changed.append("10.9.9.9=added", sizeof "10.9.9.9=added");
  changed.push_back('\0');
  RealWriteSection(section, changed.c_str(), path);
  return TRUE;
}

TEST_F(ListFileTest, WriteThatComesOutDifferentKeepsTheOldList) {
  const std::string old = ListText({{"10.0.0.1", "a"}, {"10.0.0.2", "b"}, {"10.0.0.3", "c"}});
  UiThread ui;
  for (bool add : {false, true}) {
    SCOPED_TRACE(add ? "one entry more" : "the last entry lost");
    ASSERT_TRUE(WriteBytes(path_, old));
    Reload(ui);
    Reverse(ui);
    ImportSlot slot(&WriteSectionSlot, reinterpret_cast<void*>(&WriteAnotherSection));
    RealWriteSection = slot.original<WriteSectionFunction>();
    ChangedWrites = 0;
    AddAnEntry = add;
    Save(ui);
    EXPECT_EQ(1, ChangedWrites);
    EXPECT_EQ(old, ReadBytes(path_));
    EXPECT_FALSE(Exists(temp_));
  }
}

typedef DWORD(WINAPI* GetSectionFunction)(LPCSTR, LPSTR, DWORD, LPCSTR);
GetSectionFunction RealGetSection;

// Microsoft's page for GetPrivateProfileSection: before Windows 7 a
// section holds at most 32,767 characters. Longer ones come back cut, and
// the return value need not say so.
DWORD WINAPI SectionAsXpReturnsIt(LPCSTR section, LPSTR buffer, DWORD room, LPCSTR path) {
  const DWORD XpMostCharacters = 32767;
  return RealGetSection(section, buffer, room < XpMostCharacters ? room : XpMostCharacters, path);
}

// The list is read from the file's bytes, so nothing of it hangs on what
// a profile read returns on the oldest Windows the tool runs on: the load,
// and the read-back of the save.
TEST_F(ListFileTest, ListLongerThanXpsProfileSectionLoadsWholeAndSavesInItsNewOrder) {
  Entries entries;
  for (int i = 0; i < 3000; ++i) {
    char address[32];
    std::snprintf(address, sizeof address, "10.2.%d.%d", i / 256, i % 256);
    entries.emplace_back(address, Gbk("上海 电信 ") + std::to_string(i));
  }
  ASSERT_GT(ListText(entries).size(), 2 * 32767u);
  ASSERT_TRUE(WriteBytes(path_, ListText(entries)));
  ImportSlot slot(&GetSectionSlot, reinterpret_cast<void*>(&SectionAsXpReturnsIt));
  RealGetSection = slot.original<GetSectionFunction>();
  UiThread ui;
  ASSERT_EQ(static_cast<int>(entries.size()), RowCount());
  EXPECT_EQ(entries.back().second, RowTexts(RowCount() - 1)[1]);
  Reverse(ui);
  Save(ui);
  EXPECT_TRUE(SameText(ListText(Reversed(entries)), ReadBytes(path_)));
}

// A save that died earlier can leave its file behind; what that file holds
// must not reach the list.
TEST_F(ListFileTest, LeftoverOfAnInterruptedSaveDoesNotLeakIn) {
  const Entries entries = {{"10.0.0.1", "kept"}, {"10.0.0.2", "kept"}};
  ASSERT_TRUE(WriteBytes(path_, ListText(entries)));
  ASSERT_TRUE(WriteBytes(temp_, "[Other]\r\nx=y\r\n[DNSList]\r\n10.9.9.9=stale\r\n"));
  UiThread ui;
  Reverse(ui);
  Save(ui);
  EXPECT_EQ(ListText(Reversed(entries)), ReadBytes(path_));
  EXPECT_FALSE(Exists(temp_));
}

TEST_F(ListFileTest, LeftoverThatCannotBeRemovedKeepsTheOldList) {
  const std::string old = ListText({{"10.0.0.1", "old"}, {"10.0.0.2", "old"}});
  ASSERT_TRUE(WriteBytes(path_, old));
  ASSERT_TRUE(WriteBytes(temp_, "[Other]\r\nx=y\r\n"));
  ASSERT_TRUE(SetFileAttributesA(temp_.c_str(), FILE_ATTRIBUTE_READONLY));
  if (DeleteFileA(temp_.c_str())) GTEST_SKIP() << "read-only files can be deleted here";
  UiThread ui;
  SetSortKey(1, 1);
  ui.Run([] { Sort(); });
  Save(ui);
  EXPECT_EQ(old, ReadBytes(path_));
}

// The helper program loads the list at its path, signals the event named
// by its second argument, then reverses the table's order and saves, over
// and over: each save turns the file from one whole order to the other.
struct Child {
  PROCESS_INFORMATION process = {};
  HANDLE ready = nullptr;
};

std::string ChildProgram() {
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string path = self;
  return path.substr(0, path.find_last_of('\\') + 1) + "list_save_child.exe";
}

bool StartChild(const std::string& list, int saves, Child* child) {
  static int serial = 0;
  char event[64];
  std::snprintf(event, sizeof event, "list_save_child_%lu_%d", GetCurrentProcessId(), ++serial);
  child->ready = CreateEventA(nullptr, TRUE, FALSE, event);
  std::string command =
      "\"" + ChildProgram() + "\" \"" + list + "\" " + event + " " + std::to_string(saves);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  // On a loaded machine Wine now and then fails to start a process (error
  // 1359); a child that never ran says nothing about the save, so it is
  // started again.
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                       &child->process)) {
      return true;
    }
    Sleep(200);
  }
  DWORD error = GetLastError();
  CloseHandle(child->ready);
  SetLastError(error);
  return false;
}

void EndChild(Child* child) {
  CloseHandle(child->process.hThread);
  CloseHandle(child->process.hProcess);
  CloseHandle(child->ready);
}

TEST_F(ListFileTest, SaveKilledAtAnyMomentLeavesAWholeList) {
  const int Kills = 200;
  const DWORD ChildTimeoutMs = 120000;
  Entries entries;
  for (int i = 0; i < 1000; ++i) {
    char address[32];
    std::snprintf(address, sizeof address, "10.1.%d.%d", i / 256, i % 256);
    entries.emplace_back(address, Gbk("杭州 电信 ") + std::to_string(i));
  }
  const std::string forward = ListText(entries);
  const std::string backward = ListText(Entries(entries.rbegin(), entries.rend()));
  ASSERT_TRUE(WriteBytes(path_, forward));

  // How long one round of reversing and saving takes here, so that the
  // kills spread over a few rounds.
  const int CalibrationSaves = 20;
  Child child;
  ASSERT_TRUE(StartChild(path_, CalibrationSaves, &child)) << ChildProgram();
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(child.ready, ChildTimeoutMs));
  DWORD start = GetTickCount();
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(child.process.hProcess, ChildTimeoutMs));
  DWORD exitCode = 1;
  GetExitCodeProcess(child.process.hProcess, &exitCode);
  EndChild(&child);
  ASSERT_EQ(0u, exitCode);
  DWORD perRound = (GetTickCount() - start) / CalibrationSaves + 1;
  ASSERT_EQ(forward, ReadBytes(path_));  // an even number of reversals

  std::mt19937 random(12345);
  std::uniform_int_distribution<DWORD> delay(0, 3 * perRound);
  int kills = 0, intactOld = 0, intactNew = 0, broken = 0, leftovers = 0;
  std::string before = forward;
  for (int i = 0; i < Kills; ++i) {
    ASSERT_TRUE(StartChild(path_, 0, &child)) << "kill " << i << ", error " << GetLastError();
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(child.ready, ChildTimeoutMs));
    Sleep(delay(random));
    if (TerminateProcess(child.process.hProcess, 9)) ++kills;
    WaitForSingleObject(child.process.hProcess, ChildTimeoutMs);
    EndChild(&child);

    std::string after = ReadBytes(path_);
    const std::string& other = before == forward ? backward : forward;
    if (after == before) {
      ++intactOld;
    } else if (after == other) {
      ++intactNew;
      before = after;
    } else {
      ++broken;
      ADD_FAILURE() << "kill " << i << " left " << after.size()
                    << " bytes: " << after.substr(0, 60);
      ASSERT_TRUE(WriteBytes(path_, forward));
      before = forward;
    }
    if (Exists(temp_)) ++leftovers;
  }
  std::printf(
      "round %lu ms; kills %d: intact old %d, intact new %d, broken %d; leftover temp files %d\n",
      perRound, kills, intactOld, intactNew, broken, leftovers);
  EXPECT_EQ(Kills, kills);
  EXPECT_EQ(0, broken);
  // Kills landed both before and after a replacement, so they spread over
  // the save rather than all falling on one side of it.
  EXPECT_GT(intactOld, 0);
  EXPECT_GT(intactNew, 0);
}

}  // namespace
