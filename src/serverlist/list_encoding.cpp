// The profile functions read a file as the system's code page, or as
// UTF-16 when it starts with that mark, and write it back the same way.
// Microsoft documents nothing of UTF-8 for them, yet Notepad saves UTF-8
// by default since Windows 10 version 1903. So the encoding is decided
// here, once, from all the file's bytes: a file read line by line can be
// saved with its lines in two encodings, garbled in every editor for good.
//  - A mark decides: UTF-16 is left to the profile functions; after a
//    UTF-8 mark the section is read here, as UTF-8.
//  - Bytes that are not UTF-8, or only ASCII, are the code page's, read by
//    the profile functions.
//  - Valid UTF-8 beyond ASCII reads both ways: the more plausible reading
//    (see Oddity) is taken. Where neither is, the code page's is shown and
//    the file kept as it is: a guess must not rewrite what the user wrote.
#include "serverlist/list_encoding.h"

namespace {

const DWORD NoCodePoint = MAXDWORD;
const WCHAR Replacement = 0xFFFD;
const UINT ChineseCodePage = 936;

char* Allocate(DWORD size) { return static_cast<char*>(LocalAlloc(LPTR, size)); }

// The code point of the UTF-8 sequence at `text[at]`, its length in
// *length. A byte that starts no valid sequence (a stray continuation, an
// overlong form, a surrogate, beyond U+10FFFF, or cut short) gives
// NoCodePoint and a length of 1.
DWORD NextCodePoint(const unsigned char* text, DWORD size, DWORD at, DWORD* length) {
  DWORD lead = text[at];
  *length = 1;
  if (lead < 0x80) return lead;
  DWORD extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : 1;
  const DWORD least[] = {0, 0x80, 0x800, 0x10000};
  if (lead < 0xC2 || lead > 0xF4 || extra > size - at - 1) return NoCodePoint;
  DWORD point = lead & (0x3F >> extra);
  for (DWORD i = 1; i <= extra; ++i) {
    if ((text[at + i] & 0xC0) != 0x80) return NoCodePoint;
    point = point << 6 | (text[at + i] & 0x3F);
  }
  if (point < least[extra] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF))
    return NoCodePoint;
  *length = extra + 1;
  return point;
}

enum Utf8Kind { NotUtf8, AsciiOnly, BeyondAscii };

Utf8Kind KindOfUtf8(const char* text, DWORD size) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
  Utf8Kind kind = AsciiOnly;
  for (DWORD at = 0, length = 0; at < size; at += length) {
    DWORD point = NextCodePoint(bytes, size, at, &length);
    if (point == NoCodePoint) return NotUtf8;
    if (point >= 0x80) kind = BeyondAscii;
  }
  return kind;
}

// Windows 10 version 1903 and later can make UTF-8 the system code page
// ("Beta: Use Unicode UTF-8 for worldwide language support"); CP_ACP then
// means 65001.
bool IsUtf8CodePage(UINT codePage) {
  return codePage == CP_UTF8 || (codePage == CP_ACP && GetACP() == CP_UTF8);
}

// Microsoft's documentation of WideCharToMultiByte: for UTF-8, and so for
// CP_ACP where the system code page is 65001, lpDefaultChar and
// lpUsedDefaultChar must be null, or the call fails. Wine accepts them,
// so only a test that stands in such a Windows can show it. The
// conversions below pass null for every code page and tell a character
// lost or replaced by a look-alike by converting back and comparing.

// True when `codePage` reads `size` bytes and writes them back byte for
// byte, as the profile functions do with every text they carry.
bool RoundTrips(const char* text, DWORD size, UINT codePage) {
  if (size == 0) return true;
  if (size > MAXLONG / sizeof(WCHAR)) return false;
  int n = static_cast<int>(size);
  WCHAR* wide = reinterpret_cast<WCHAR*>(Allocate(size * sizeof(WCHAR)));
  char* back = Allocate(size);
  bool same = false;
  if (wide != nullptr && back != nullptr) {
    int w = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text, n, wide, n);
    same = w > 0 && WideCharToMultiByte(codePage, 0, wide, w, back, n, nullptr, nullptr) == n &&
           SameBytes(text, back, size);
  }
  if (wide != nullptr) LocalFree(wide);
  if (back != nullptr) LocalFree(back);
  return same;
}

// `count` UTF-16 units in `codePage`, zero-terminated, in a block the
// caller frees. *exact is cleared when a character does not come back
// unchanged: the code page lacks it or has only a look-alike.
char* WideToCodePage(const WCHAR* wide, int count, UINT codePage, bool* exact) {
  int n =
      count == 0 ? 0 : WideCharToMultiByte(codePage, 0, wide, count, nullptr, 0, nullptr, nullptr);
  if (count > 0 && n == 0) return nullptr;
  char* text = Allocate(static_cast<DWORD>(n) + 1);
  if (text == nullptr || count == 0) return text;
  DWORD bytes = static_cast<DWORD>(count) * sizeof(WCHAR);
  WCHAR* back = reinterpret_cast<WCHAR*>(Allocate(bytes));
  if (WideCharToMultiByte(codePage, 0, wide, count, text, n, nullptr, nullptr) != n ||
      back == nullptr || MultiByteToWideChar(codePage, 0, text, n, back, count) != count ||
      !SameBytes(back, wide, bytes))
    *exact = false;
  if (back != nullptr) LocalFree(back);
  return text;
}

// UTF-8 text in `codePage`, as WideToCodePage gives it; bytes valid in no
// sequence become U+FFFD and clear *exact.
char* Utf8ToCodePage(const char* text, DWORD size, UINT codePage, bool* exact) {
  // A sequence of n bytes gives at most n UTF-16 units.
  if (size > MAXLONG / sizeof(WCHAR) - 1) return nullptr;
  WCHAR* wide = reinterpret_cast<WCHAR*>(Allocate((size + 1) * sizeof(WCHAR)));
  if (wide == nullptr) return nullptr;
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
  int count = 0;
  for (DWORD at = 0, length = 0; at < size; at += length) {
    DWORD point = NextCodePoint(bytes, size, at, &length);
    if (point == NoCodePoint) {
      *exact = false;
      point = Replacement;
    }
    if (point >= 0x10000) {
      wide[count++] = static_cast<WCHAR>(0xD800 + ((point - 0x10000) >> 10));
      point = 0xDC00 + (point & 0x3FF);
    }
    wide[count++] = static_cast<WCHAR>(point);
  }
  char* converted = WideToCodePage(wide, count, codePage, exact);
  LocalFree(wide);
  return converted;
}

// How unlikely a reading is as the text of a list that Chinese users
// write, counted over its characters beyond ASCII: first those GB2312
// lacks (GBK's later additions, rare characters, characters code page 936
// has none of), then those outside GB2312's 3,755 common hanzi, its first
// level. The first count decides, the second only where the first is
// equal: "北京·电信" as UTF-8 has none outside GB2312 while its bytes read
// as code page 936 give three; 楠村北 in code page 936 has none while its
// bytes read as UTF-8 give 骴, which GB2312 lacks; and 小 in code page 936
// (d0 a1) is a common hanzi where UTF-8 reads a Cyrillic letter, which
// GB2312 has but is not a hanzi.
// The measure is Chinese whatever the system's code page, since the lists
// are. On code page 1252, accented letters read as UTF-8 are mostly in
// GB2312, while the pairs of Latin-1 signs that the code page reads from
// their bytes are not. Where code page 936 is missing, every character
// counts as outside, and the UTF-8 reading, with fewer characters, wins.
struct Oddity {
  DWORD outsideGb2312;
  DWORD outsideCommon;
};

// GB2312 in code page 936: rows 0xA1-0xA9 (signs, Latin, Greek, Cyrillic,
// kana, pinyin) and 0xB0-0xF7 (hanzi; common up to 0xD7), each with
// columns 0xA1-0xFE. Other rows belong to GBK or to user-defined areas.
void Count(DWORD point, Oddity* oddity) {
  if (point < 0x80) return;
  WCHAR c = static_cast<WCHAR>(point);
  char pair[2] = {0, 0};
  WCHAR back = 0;
  bool inGb2312 =
      point < 0x10000 &&
      WideCharToMultiByte(ChineseCodePage, 0, &c, 1, pair, 2, nullptr, nullptr) == 2 &&
      MultiByteToWideChar(ChineseCodePage, MB_ERR_INVALID_CHARS, pair, 2, &back, 1) == 1 &&
      back == c;
  unsigned lead = static_cast<unsigned char>(pair[0]);
  unsigned column = static_cast<unsigned char>(pair[1]);
  inGb2312 = inGb2312 && column >= 0xA1 && column <= 0xFE &&
             ((lead >= 0xA1 && lead <= 0xA9) || (lead >= 0xB0 && lead <= 0xF7));
  if (!inGb2312) ++oddity->outsideGb2312;
  if (!inGb2312 || lead < 0xB0 || lead > 0xD7) ++oddity->outsideCommon;
}

Oddity OddityAsUtf8(const char* text, DWORD size) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
  Oddity oddity = {0, 0};
  for (DWORD at = 0, length = 0; at < size; at += length)
    Count(NextCodePoint(bytes, size, at, &length), &oddity);
  return oddity;
}

// The code page's reading, a character at a time: a pair of bytes where
// they make one character, as in code page 936, else a byte. A byte that
// starts no character counts as outside: the conversion would show it as
// "?", an ASCII sign that would count for nothing.
Oddity OddityInCodePage(const char* text, DWORD size, UINT codePage) {
  Oddity oddity = {0, 0};
  for (DWORD at = 0, length = 1; at < size; at += length) {
    length = 1;
    if (static_cast<unsigned char>(text[at]) < 0x80) continue;
    WCHAR c[2];
    int n = 0;
    if (size - at >= 2) n = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text + at, 2, c, 2);
    if (n == 1) {
      length = 2;
    } else {
      n = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text + at, 1, c, 2);
    }
    if (n == 1) {
      Count(c[0], &oddity);
    } else {
      ++oddity.outsideGb2312;
      ++oddity.outsideCommon;
    }
  }
  return oddity;
}

enum Reading { CodePageReading, Utf8Reading, EitherReading };

// The reading of a file without a mark.
Reading ReadingOf(const char* bytes, DWORD size, UINT codePage) {
  if (KindOfUtf8(bytes, size) != BeyondAscii) return CodePageReading;
  // UTF-8 read by code page 65001 is the same text either way.
  if (IsUtf8CodePage(codePage)) return Utf8Reading;
  Oddity utf8 = OddityAsUtf8(bytes, size);
  Oddity ansi = OddityInCodePage(bytes, size, codePage);
  if (utf8.outsideGb2312 != ansi.outsideGb2312)
    return utf8.outsideGb2312 < ansi.outsideGb2312 ? Utf8Reading : CodePageReading;
  if (utf8.outsideCommon != ansi.outsideCommon)
    return utf8.outsideCommon < ansi.outsideCommon ? Utf8Reading : CodePageReading;
  return EitherReading;
}

// Whether the text between `from` and `to` names `section`, case aside.
bool NamesSection(const char* from, const char* to, const char* section) {
  while (from < to && IsBlank(*from)) ++from;
  while (to > from && IsBlank(to[-1])) --to;
  int length = lstrlenA(section);
  if (to - from != length) return false;
  // The name is all letters, for which setting 0x20 folds the case.
  for (int i = 0; i < length; ++i)
    if ((from[i] | 0x20) != (section[i] | 0x20)) return false;
  return true;
}

// The section's lines, each ended by a zero, as they stand in the file's
// bytes; *used is their length. Read by the rules the profile functions
// follow: lines end at CR or LF and at a zero byte, blanks around them and
// empty lines and comments are dropped; a line that starts with '[' and
// holds a ']' opens a section, and only the first of the name is read.
// Each line takes at most its bytes and one of its line end, so the
// block needs no more room than the file and a zero.
char* SectionLines(const char* bytes, DWORD size, const char* section, DWORD* used) {
  char* lines = Allocate(size + 2);
  if (lines == nullptr) return nullptr;
  *used = 0;
  bool inSection = false;
  for (DWORD at = 0; at < size;) {
    DWORD from = at, to = at;
    while (to < size && bytes[to] != '\r' && bytes[to] != '\n' && bytes[to] != '\0') ++to;
    at = to;
    while (at < size && bytes[at] != '\r' && bytes[at] != '\n') ++at;
    ++at;
    while (from < to && IsBlank(bytes[from])) ++from;
    while (to > from && IsBlank(bytes[to - 1])) --to;
    if (from == to || bytes[from] == ';') continue;
    const char* close = bytes + from;
    while (close < bytes + to && *close != ']') ++close;
    if (bytes[from] == '[' && close < bytes + to) {
      if (inSection) break;
      inSection = NamesSection(bytes + from + 1, close, section);
      continue;
    }
    if (!inSection) continue;
    CopyMemory(lines + *used, bytes + from, to - from);
    *used += to - from + 1;
  }
  return lines;
}

// The section's entries from UTF-8 bytes, in the system's code page;
// *exact as for WideToCodePage. The zeros between lines stay zeros.
char* SectionFromUtf8(const char* bytes, DWORD size, const char* section, bool* exact) {
  DWORD used = 0;
  char* lines = SectionLines(bytes, size, section, &used);
  if (lines == nullptr) return nullptr;
  char* entries = Utf8ToCodePage(lines, used, CP_ACP, exact);
  LocalFree(lines);
  return entries;
}

// The whole file's bytes, in a block the caller frees; null when it
// cannot be read.
char* ReadFileBytes(const char* path, DWORD* size) {
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  DWORD high = 0;
  *size = GetFileSize(file, &high);
  char* bytes = nullptr;
  if (high == 0 && *size < MAXLONG / sizeof(WCHAR)) bytes = Allocate(*size + 1);
  DWORD got = 0;
  if (bytes != nullptr && (!ReadFile(file, bytes, *size, &got, nullptr) || got != *size)) {
    LocalFree(bytes);
    bytes = nullptr;
  }
  CloseHandle(file);
  return bytes;
}

// Whether every character of UTF-16 text after its mark has a place in
// the code page. Only the little-endian order is checked; a file in the
// other is kept as it is.
bool Utf16Fits(const char* bytes, DWORD size) {
  if (static_cast<unsigned char>(bytes[0]) != 0xFF || size % 2 != 0) return false;
  bool exact = true;
  char* text = WideToCodePage(reinterpret_cast<const WCHAR*>(bytes + 2),
                              static_cast<int>((size - 2) / 2), CP_ACP, &exact);
  if (text == nullptr) return false;
  LocalFree(text);
  return exact;
}

}  // namespace

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r' || c == '\n' || c == 0x1A;
}

bool SameBytes(const void* a, const void* b, DWORD size) {
  const char* x = static_cast<const char*>(a);
  const char* y = static_cast<const char*>(b);
  for (DWORD i = 0; i < size; ++i)
    if (x[i] != y[i]) return false;
  return true;
}

ListReading ReadListFile(const char* path, const char* section) {
  ListReading reading = {nullptr, true};
  DWORD size = 0;
  char* bytes = ReadFileBytes(path, &size);
  if (bytes == nullptr) {
    // A file the profile functions might still read, but not checked here.
    reading.rewritable = GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES;
    return reading;
  }
  const unsigned char* mark = reinterpret_cast<const unsigned char*>(bytes);
  DWORD skip = 0;
  Reading how = CodePageReading;
  if (size >= 2 && ((mark[0] == 0xFF && mark[1] == 0xFE) || (mark[0] == 0xFE && mark[1] == 0xFF))) {
    reading.rewritable = Utf16Fits(bytes, size);
    LocalFree(bytes);
    return reading;
  }
  if (size >= 3 && mark[0] == 0xEF && mark[1] == 0xBB && mark[2] == 0xBF) {
    how = Utf8Reading;
    skip = 3;
  } else {
    how = ReadingOf(bytes, size, CP_ACP);
  }
  if (how == Utf8Reading) {
    reading.entries = SectionFromUtf8(bytes + skip, size - skip, section, &reading.rewritable);
    // The profile functions, left to read it, would misread it.
    if (reading.entries == nullptr) reading.rewritable = false;
  } else {
    reading.rewritable = how == CodePageReading && RoundTrips(bytes, size, CP_ACP);
  }
  LocalFree(bytes);
  return reading;
}
