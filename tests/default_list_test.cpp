// The list the tool ships with, loaded by the tool's own loader into the
// real window: every server must be one that a query can reach across the
// Internet, listed once, with a description that is read whole and fits
// its column.
#include <winsock2.h>
#include <windows.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "serverlist/list_file.h"
#include "serverlist/server_table.h"
#include "ui_fixture.h"

namespace {

// 宋体 at 9 points draws a code page 936 text 6 pixels wide per byte; the
// location column is 200 pixels, less the margins the list keeps.
const int LocationColumnBytes = 30;

struct Block {
  unsigned long first;  // host order
  int prefixLength;
  const char* name;
};

// The special-purpose ranges (RFC 6890 and its updates) on which no public
// resolver can be.
const Block NotPublic[] = {
    {0x00000000, 8, "\"this network\" 0/8"},
    {0x0A000000, 8, "private 10/8"},
    {0x64400000, 10, "shared address space (CGNAT) 100.64/10"},
    {0x7F000000, 8, "loopback 127/8"},
    {0xA9FE0000, 16, "link-local 169.254/16"},
    {0xAC100000, 12, "private 172.16/12"},
    {0xC0000000, 24, "protocol assignments 192.0.0/24"},
    {0xC0000200, 24, "TEST-NET-1 192.0.2/24"},
    {0xC0586300, 24, "6to4 relay anycast 192.88.99/24"},
    {0xC0A80000, 16, "private 192.168/16"},
    {0xC6120000, 15, "benchmarking 198.18/15"},
    {0xC6336400, 24, "TEST-NET-2 198.51.100/24"},
    {0xCB007100, 24, "TEST-NET-3 203.0.113/24"},
    {0xE0000000, 4, "multicast 224/4"},
    {0xF0000000, 4, "reserved 240/4, broadcast included"},
};

const char* NotPublicRange(unsigned long address) {
  for (const Block& b : NotPublic) {
    unsigned long mask = 0xFFFFFFFFul << (32 - b.prefixLength);
    if ((address & mask) == b.first) return b.name;
  }
  return nullptr;
}

// Four decimal parts of 0 to 255 without leading zeros, the form in which
// the text the user reads is the address the probe uses: the socket
// library's parser also takes "1.2.3", hexadecimal and octal parts.
bool ParseDotted(const std::string& text, unsigned long* address) {
  unsigned long value = 0;
  int parts = 0;
  size_t i = 0;
  while (parts < 4) {
    size_t start = i;
    unsigned part = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - start < 3) {
      part = part * 10 + static_cast<unsigned>(text[i] - '0');
      ++i;
    }
    size_t digits = i - start;
    if (digits == 0 || part > 255 || (digits > 1 && text[start] == '0')) return false;
    value = (value << 8) | part;
    ++parts;
    if (parts < 4) {
      if (i >= text.size() || text[i] != '.') return false;
      ++i;
    }
  }
  if (i != text.size()) return false;
  *address = value;
  return true;
}

// Windows sees the build machine's file system as drive Z:.
std::string WindowsPath(const std::string& unixPath) {
  std::string path = "Z:" + unixPath;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

using Entries = std::vector<std::pair<std::string, std::string>>;

// The file's entries by its lines, independently of the profile functions:
// what the table must show, each text whole.
Entries EntriesOfLines(const std::string& bytes, std::string* header) {
  Entries entries;
  size_t at = 0;
  bool first = true;
  while (at < bytes.size()) {
    size_t end = bytes.find("\r\n", at);
    if (end == std::string::npos) end = bytes.size();
    std::string line = bytes.substr(at, end - at);
    at = end + 2;
    if (first) {
      *header = line;
      first = false;
      continue;
    }
    size_t equals = line.find('=');
    entries.emplace_back(line.substr(0, equals),
                         equals == std::string::npos ? "" : line.substr(equals + 1));
  }
  return entries;
}

bool IsCodePage936(const std::string& text) {
  return text.empty() || MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, text.data(),
                                             static_cast<int>(text.size()), nullptr, 0) > 0;
}

// One window loads the list for the whole suite: Wine takes seconds to
// open one.
class DefaultListTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string path = WindowsPath(DNSCHECK_DEFAULT_LIST);
    fileBytes_ = new std::string(ReadBytes(path));
    rows_ = new Entries;
    lstrcpynA(ListFilePath, path.c_str(), MAX_PATH);
    {
      UiThread ui;
      for (int row = 0; row < RowCount(); ++row) {
        std::vector<std::string> cells = RowTexts(row);
        rows_->emplace_back(cells[ColAddress], cells[ColLocation]);
      }
    }
    ListFilePath[0] = '\0';
  }
  static void TearDownTestSuite() {
    delete rows_;
    delete fileBytes_;
  }
  static Entries* rows_;
  static std::string* fileBytes_;
};

Entries* DefaultListTest::rows_ = nullptr;
std::string* DefaultListTest::fileBytes_ = nullptr;

TEST_F(DefaultListTest, LoadsEveryLineWholeInFileOrder) {
  std::string header;
  Entries lines = EntriesOfLines(*fileBytes_, &header);
  EXPECT_EQ("[DNSList]", header);
  ASSERT_GE(rows_->size(), 40u) << "the default list did not load";
  ASSERT_EQ(lines.size(), rows_->size()) << "the loader dropped or split lines";
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i], (*rows_)[i]) << "line " << i + 2;
  }
}

TEST_F(DefaultListTest, EveryServerIsAPublicAddressListedOnce) {
  ASSERT_FALSE(rows_->empty());
  std::set<unsigned long> seen;
  for (const auto& row : *rows_) {
    const std::string& text = row.first;
    unsigned long address = 0;
    if (!ParseDotted(text, &address)) {
      ADD_FAILURE() << "\"" << text << "\" is not a dotted IPv4 address";
      continue;
    }
    EXPECT_LT(text.size(), static_cast<size_t>(AddressRoom - 1)) << text;
    EXPECT_EQ(htonl(address), inet_addr(text.c_str())) << text << " reads as another address";
    if (const char* range = NotPublicRange(address)) {
      ADD_FAILURE() << text << " is in " << range;
    }
    EXPECT_TRUE(seen.insert(address).second) << text << " is listed twice";
  }
}

// The tool reads and writes the list in code page 936; a list saved as
// UTF-8 would show as garbage on the systems it is for.
TEST_F(DefaultListTest, FileIsCodePage936Text) {
  ASSERT_NE("<missing>", *fileBytes_) << "the default list could not be read";
  EXPECT_NE(0, fileBytes_->compare(0, 3, "\xEF\xBB\xBF")) << "the file starts with a UTF-8 mark";
  EXPECT_TRUE(IsCodePage936(*fileBytes_));
}

TEST_F(DefaultListTest, EveryDescriptionIsPresentAndFitsItsColumn) {
  ASSERT_FALSE(rows_->empty());
  for (const auto& row : *rows_) {
    const std::string& location = row.second;
    EXPECT_FALSE(location.empty()) << row.first << " has no description";
    EXPECT_LT(location.size(), static_cast<size_t>(LocationRoom)) << row.first;
    EXPECT_LE(location.size(), static_cast<size_t>(LocationColumnBytes))
        << row.first << ": the description is cut in its column";
  }
}

// The address checks themselves, on the cases a careless edit would bring.
TEST(DefaultListAddressTest, RejectsNonCanonicalFormsAndNonPublicRanges) {
  unsigned long a = 0;
  for (const char* bad : {"1.2.3", "1.2.3.4.5", "01.2.3.4", "0x8.8.8.8", "256.1.1.1", "1.2.3.4 ",
                          "", "1..2.3", "8.8.8.8a"}) {
    EXPECT_FALSE(ParseDotted(bad, &a)) << bad;
  }
  ASSERT_TRUE(ParseDotted("76.76.2.0", &a));
  EXPECT_EQ(0x4C4C0200ul, a);
  EXPECT_EQ(nullptr, NotPublicRange(a));
  for (const char* reserved :
       {"0.1.2.3", "10.0.0.1", "100.64.0.1", "100.127.255.254", "127.0.0.1", "169.254.1.1",
        "172.31.0.1", "192.0.0.9", "192.0.2.1", "192.168.1.1", "198.19.0.1", "198.51.100.7",
        "203.0.113.5", "224.0.0.251", "239.255.255.250", "240.0.0.1", "255.255.255.255"}) {
    ASSERT_TRUE(ParseDotted(reserved, &a)) << reserved;
    EXPECT_NE(nullptr, NotPublicRange(a)) << reserved;
  }
  for (const char* publicAddress : {"100.63.255.255", "100.128.0.0", "172.32.0.1", "198.20.0.1",
                                    "223.255.255.255", "9.9.9.9"}) {
    ASSERT_TRUE(ParseDotted(publicAddress, &a)) << publicAddress;
    EXPECT_EQ(nullptr, NotPublicRange(a)) << publicAddress;
  }
}

}  // namespace
