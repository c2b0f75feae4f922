// The profile functions read a file as the system's code page, or as
// UTF-16 when it starts with that mark. Microsoft documents nothing of
// UTF-8 for them, yet Notepad saves UTF-8 by default since Windows 10
// version 1903. So the servers are read here from the file's bytes, and
// their encoding decided once, from all of them together:
//  - A mark decides: UTF-16, or UTF-8.
//  - Servers that are not UTF-8, or only ASCII, are in the code page.
//  - UTF-8 beyond ASCII reads both ways: the more plausible reading (see
//    Implausibility) is taken, the code page's where neither is.
// A save writes the file back in the encoding it was read in, so a wrong
// guess can show a wrong text but never change a byte: every text goes
// back to the bytes it came from. A file in UTF-16 is written in the code
// page, as the profile functions always wrote it.
#include "serverlist/list_encoding.h"

#include "serverlist/list_text.h"

namespace {

const UINT ChineseCodePage = 936;
const UINT TraditionalCodePage = 950;
const WCHAR Replacement = 0xFFFD;

// Windows 10 version 1903 and later can make UTF-8 the system code page
// ("Beta: Use Unicode UTF-8 for worldwide language support"); CP_ACP then
// means 65001.
bool IsUtf8CodePage() { return GetACP() == CP_UTF8; }

// The code page's lead bytes, in `flags`; null where it has none.
const bool* LeadBytes(UINT codePage, bool flags[256]) {
  CPINFO info;
  if (!GetCPInfo(codePage, &info) || info.MaxCharSize != 2) return nullptr;
  for (int b = 0; b < 256; ++b) flags[b] = false;
  for (int i = 0; i + 1 < MAX_LEADBYTES && info.LeadByte[i] != 0; i += 2)
    for (int b = info.LeadByte[i]; b <= info.LeadByte[i + 1]; ++b) flags[b] = true;
  return flags;
}

// Microsoft's documentation of WideCharToMultiByte: for UTF-8, and so for
// CP_ACP where the system code page is 65001, lpDefaultChar and
// lpUsedDefaultChar must be null, or the call fails. Wine accepts them,
// so only a test that stands in such a Windows can show it. The
// conversions below pass null for every code page and tell a character
// lost or replaced by a look-alike by converting back and comparing.

// True when `codePage` reads `size` bytes and writes them back byte for
// byte, as the window and the profile functions do with every text they
// carry.
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
// caller frees; *size is its length. *exact is cleared when a character
// does not come back unchanged: the code page lacks it or has only a
// look-alike.
char* WideToCodePage(const WCHAR* wide, int count, UINT codePage, DWORD* size, bool* exact) {
  int n =
      count == 0 ? 0 : WideCharToMultiByte(codePage, 0, wide, count, nullptr, 0, nullptr, nullptr);
  if (count > 0 && n == 0) return nullptr;
  char* text = Allocate(static_cast<DWORD>(n) + 1);
  if (text == nullptr) return nullptr;
  *size = static_cast<DWORD>(n);
  if (count == 0) return text;
  DWORD bytes = static_cast<DWORD>(count) * sizeof(WCHAR);
  WCHAR* back = reinterpret_cast<WCHAR*>(Allocate(bytes));
  if (WideCharToMultiByte(codePage, 0, wide, count, text, n, nullptr, nullptr) != n ||
      back == nullptr || MultiByteToWideChar(codePage, 0, text, n, back, count) != count ||
      !SameBytes(back, wide, bytes))
    *exact = false;
  if (back != nullptr) LocalFree(back);
  return text;
}

// UTF-8 text in the system's code page, as WideToCodePage gives it; bytes
// valid in no sequence become U+FFFD and clear *exact.
char* Utf8ToCodePage(const char* text, DWORD size, DWORD* converted, bool* exact) {
  // A sequence of n bytes gives at most n UTF-16 units.
  if (size > MAXLONG / sizeof(WCHAR) - 1) return nullptr;
  WCHAR* wide = reinterpret_cast<WCHAR*>(Allocate((size + 1) * sizeof(WCHAR)));
  if (wide == nullptr) return nullptr;
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
  int count = 0;
  for (std::size_t at = 0, length = 0; at < size; at += length) {
    unsigned long point = NextCodePoint(bytes, size, at, &length);
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
  char* result = WideToCodePage(wide, count, CP_ACP, converted, exact);
  LocalFree(wide);
  return result;
}

// The code points of a reading, and what stands for bytes that start no
// character of it.
const DWORD Undecodable = MAXDWORD;

DWORD* Utf8Points(const char* text, DWORD size, DWORD* count) {
  DWORD* points = reinterpret_cast<DWORD*>(Allocate((size + 1) * sizeof(DWORD)));
  if (points == nullptr) return nullptr;
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
  *count = 0;
  for (std::size_t at = 0, length = 0; at < size; at += length) {
    unsigned long point = NextCodePoint(bytes, size, at, &length);
    points[(*count)++] = point == NoCodePoint ? Undecodable : static_cast<DWORD>(point);
  }
  return points;
}

// The code page's reading, a character at a time: two bytes after a lead
// byte, else one.
DWORD* CodePagePoints(const char* text, DWORD size, const bool* leadBytes, DWORD* count) {
  DWORD* points = reinterpret_cast<DWORD*>(Allocate((size + 1) * sizeof(DWORD)));
  if (points == nullptr) return nullptr;
  *count = 0;
  for (DWORD at = 0, length = 1; at < size; at += length) {
    unsigned char b = static_cast<unsigned char>(text[at]);
    length = leadBytes != nullptr && leadBytes[b] && size - at >= 2 ? 2 : 1;
    WCHAR c[2];
    DWORD point = b;
    if (b >= 0x80) {
      int n = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text + at, static_cast<int>(length),
                                  c, 2);
      point = n == 1 ? c[0] : Undecodable;
      if (n != 1) length = 1;
    }
    points[(*count)++] = point;
  }
  return points;
}

// How a character sits among its neighbours: the script whose letters
// make words with it, a sign, or a boundary between words. Scripts that
// lists are not written in (Hebrew, Arabic, Hangul, ...) count as signs.
enum Script { Boundary, Latin, Han, Kana, Greek, Cyrillic, Sign };

bool Within(DWORD point, DWORD first, DWORD last) { return point >= first && point <= last; }

Script ScriptOf(DWORD p) {
  if (p < 0x80) return (p | 0x20) >= 'a' && (p | 0x20) <= 'z' ? Latin : Boundary;
  if ((Within(p, 0xC0, 0x24F) && p != 0xD7 && p != 0xF7) || Within(p, 0x1E00, 0x1EFF)) return Latin;
  if (Within(p, 0x370, 0x3FF)) return Greek;
  if (Within(p, 0x400, 0x52F)) return Cyrillic;
  if (Within(p, 0x3040, 0x30FF)) return Kana;
  if (Within(p, 0x3400, 0x4DBF) || Within(p, 0x4E00, 0x9FFF) || Within(p, 0xF900, 0xFAFF))
    return Han;
  // The punctuation of Chinese text: middle dot, dashes, quotes and the
  // ellipsis, CJK punctuation and full-width forms.
  if (p == 0xB7 || Within(p, 0x2010, 0x2027) || Within(p, 0x3000, 0x303F) ||
      Within(p, 0xFF01, 0xFF5E))
    return Boundary;
  return Sign;
}

// Letters that no language people write lists in uses: Latin Extended-B
// beyond pinyin's and Romanian's, Greek and Cyrillic beyond their modern
// alphabets.
bool IsRareLetter(DWORD p) {
  return (Within(p, 0x180, 0x24F) && !Within(p, 0x1CD, 0x1DC) && !Within(p, 0x218, 0x21B)) ||
         (Within(p, 0x370, 0x3FF) && !Within(p, 0x386, 0x3CE)) || Within(p, 0x460, 0x52F);
}

// Whether `c` has a two-byte place in `codePage`, in *lead and *trail.
bool PairIn(UINT codePage, WCHAR c, unsigned* lead, unsigned* trail) {
  char pair[2] = {0, 0};
  WCHAR back = 0;
  if (WideCharToMultiByte(codePage, 0, &c, 1, pair, 2, nullptr, nullptr) != 2 ||
      MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, pair, 2, &back, 1) != 1 || back != c)
    return false;
  *lead = static_cast<unsigned char>(pair[0]);
  *trail = static_cast<unsigned char>(pair[1]);
  return true;
}

// What the two national sets say of a hanzi: how rare it is, and whether
// it is a simplified form (only GB2312 has it) or a traditional one (only
// Big5 has it). A hanzi GB2312 has is as rare as its level there: the
// 3,755 common hanzi (lead bytes B0-D7), then the rarer ones. Traditional
// forms count as rare as GB2312's rarer level where they are among Big5's
// 5,401 common ones (A440-C67E), and rarer still elsewhere: so a
// traditional name costs a little, but less than a lone sign or letter
// that a misreading gives (藝 in GBK is cb 87, which UTF-8 reads as ˇ).
// Where a code page is missing, none of its hanzi is known.
struct Hanzi {
  int rarity;
  bool simplified;
  bool traditional;
};

Hanzi Classify(DWORD point) {
  WCHAR c = static_cast<WCHAR>(point);
  unsigned lead = 0, trail = 0;
  int gb = -1, big5 = -1;  // the level: 0 common, 1 rarer, 2 outside them; -1 not in the set
  if (PairIn(ChineseCodePage, c, &lead, &trail) && trail >= 0xA1)
    gb = Within(lead, 0xB0, 0xD7) ? 0 : Within(lead, 0xD8, 0xF7) ? 1 : -1;
  if (PairIn(TraditionalCodePage, c, &lead, &trail)) {
    unsigned code = lead << 8 | trail;
    big5 = Within(code, 0xA440, 0xC67E) ? 0 : Within(code, 0xC940, 0xF9D5) ? 1 : 2;
  }
  Hanzi h = {gb >= 0 ? gb : big5 == 0 ? 1 : 2, gb >= 0 && big5 < 0, big5 >= 0 && gb < 0};
  return h;
}

// How unlikely a reading is as the text of a list that people write,
// summed over its characters beyond ASCII. Chinese words, words of an
// alphabet and their punctuation cost nothing; what costs:
//  - a rare hanzi;
//  - a word of hanzi that mixes simplified and traditional forms (e8 87
//    ba e4 b8 ad, 臺中 in UTF-8, read as GBK is 鑷轰腑);
//  - a hanzi inside a Latin word ("Z眉rich" is Zürich's UTF-8 read as
//    GBK), or touching a lower-case letter, which a Chinese word rarely
//    does;
//  - a word of another alphabet of one letter or two (d0 a1, GBK's 小,
//    read as UTF-8 is a lone Cyrillic С), a lone kana, a rare letter, and
//    an accented Latin letter in a word of no plain letter: accented
//    letters stand among plain ones in the names of every language lists
//    are written in;
//  - a sign, and bytes that are no character.
DWORD Implausibility(const DWORD* points, DWORD count) {
  DWORD sum = 0;
  DWORD simplified = 0, traditional = 0;  // in the current word of hanzi
  // The word of one script that the character at i stands in.
  DWORD wordEnd = 0, letters = 0;
  bool plainLetter = false;
  for (DWORD i = 0; i < count; ++i) {
    DWORD p = points[i];
    Script self = ScriptOf(p);
    if (self != Han) {
      sum += 2 * (simplified < traditional ? simplified : traditional);
      simplified = traditional = 0;
    }
    if (i >= wordEnd) {
      plainLetter = false;
      for (wordEnd = i; wordEnd < count && ScriptOf(points[wordEnd]) == self; ++wordEnd)
        plainLetter = plainLetter || points[wordEnd] < 0x80;
      letters = wordEnd - i;
    }
    if (p < 0x80) continue;
    Script before = i > 0 ? ScriptOf(points[i - 1]) : Boundary;
    Script after = i + 1 < count ? ScriptOf(points[i + 1]) : Boundary;
    bool lowerBeside = (i > 0 && Within(points[i - 1], 'a', 'z')) ||
                       (i + 1 < count && Within(points[i + 1], 'a', 'z'));
    switch (self) {
      case Boundary: break;
      case Han: {
        Hanzi h = Classify(p);
        simplified += h.simplified;
        traditional += h.traditional;
        sum += h.rarity + (before == Latin && after == Latin ? 4 : lowerBeside ? 1 : 0);
        break;
      }
      case Latin: sum += IsRareLetter(p) || !plainLetter ? 2 : 0; break;
      case Greek:
      case Cyrillic: sum += IsRareLetter(p) ? 2 : letters == 1 ? 3 : letters == 2 ? 2 : 0; break;
      // Japanese writes its words in kana and kanji together.
      case Kana: sum += letters > 1 ? 0 : before == Han || after == Han ? 1 : 3; break;
      case Sign: sum += p == Undecodable ? 4 : 3; break;
    }
  }
  return sum + 2 * (simplified < traditional ? simplified : traditional);
}

// Whether UTF-8 rows beyond ASCII are more plausible read as UTF-8 than
// in the code page. Equal readings go to the code page, as lists always
// were read.
bool ReadsBetterAsUtf8(const char* rows, DWORD size, const bool* leadBytes) {
  DWORD utf8Count = 0, pageCount = 0;
  DWORD* utf8 = Utf8Points(rows, size, &utf8Count);
  DWORD* page = CodePagePoints(rows, size, leadBytes, &pageCount);
  bool better = utf8 != nullptr && page != nullptr &&
                Implausibility(utf8, utf8Count) < Implausibility(page, pageCount);
  if (utf8 != nullptr) LocalFree(utf8);
  if (page != nullptr) LocalFree(page);
  return better;
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
  // Small enough that a reading's code points, one for each byte at most,
  // fit in a block too.
  if (high == 0 && *size < MAXLONG / sizeof(DWORD) - 2) bytes = Allocate(*size + 1);
  DWORD got = 0;
  if (bytes != nullptr && (!ReadFile(file, bytes, *size, &got, nullptr) || got != *size)) {
    LocalFree(bytes);
    bytes = nullptr;
  }
  CloseHandle(file);
  return bytes;
}

// The section's rows of `size` bytes, in a block the caller frees.
char* Rows(const char* bytes, DWORD size, const char* section, const bool* leadBytes, DWORD* used) {
  char* rows = Allocate(size + 2);
  if (rows != nullptr)
    *used = static_cast<DWORD>(SectionRows(bytes, size, section, leadBytes, rows));
  return rows;
}

bool HasUtf8Mark(const char* bytes, DWORD size) {
  return size >= Utf8MarkSize && SameBytes(bytes, Utf8Mark, Utf8MarkSize);
}

// A file that starts with UTF-16's mark, read as the profile functions
// read it; only the little-endian order is written back.
void ReadUtf16(const char* bytes, DWORD size, const char* section, const bool* leadBytes,
               ListReading* reading) {
  bool little = static_cast<unsigned char>(bytes[0]) == 0xFF;
  int count = static_cast<int>((size - 2) / sizeof(WCHAR));
  WCHAR* wide = reinterpret_cast<WCHAR*>(Allocate((static_cast<DWORD>(count) + 1) * sizeof(WCHAR)));
  if (wide == nullptr) return;
  CopyMemory(wide, bytes + 2, static_cast<DWORD>(count) * sizeof(WCHAR));
  if (!little)
    for (int i = 0; i < count; ++i) wide[i] = static_cast<WCHAR>(wide[i] << 8 | wide[i] >> 8);
  bool exact = little && size % 2 == 0;
  DWORD textSize = 0;
  char* text = WideToCodePage(wide, count, CP_ACP, &textSize, &exact);
  LocalFree(wide);
  if (text == nullptr) return;
  reading->rows = Rows(text, textSize, section, leadBytes, &reading->size);
  reading->rewritable = exact;
  LocalFree(text);
}

// UTF-8 rows, which it frees, put in the code page for the window; the
// file is written back in `encoding`.
void TakeUtf8(char* utf8, DWORD size, ListEncoding encoding, ListReading* reading) {
  bool exact = true;
  reading->rows = Utf8ToCodePage(utf8, size, &reading->size, &exact);
  reading->encoding = encoding;
  reading->rewritable = exact;
  LocalFree(utf8);
}

}  // namespace

const char Utf8Mark[] = "\xEF\xBB\xBF";

char* Allocate(DWORD size) { return static_cast<char*>(LocalAlloc(LPTR, size)); }

ListReading ReadListFile(const char* path, const char* section) {
  ListReading reading = {nullptr, 0, CodePageFile, false};
  DWORD size = 0;
  char* bytes = ReadFileBytes(path, &size);
  if (bytes == nullptr) {
    // Nothing to lose where there is no file; one that cannot be read
    // stays as it is.
    reading.rewritable = GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES;
    return reading;
  }
  bool flags[256];
  const bool* leadBytes = LeadBytes(CP_ACP, flags);
  const unsigned char* mark = reinterpret_cast<const unsigned char*>(bytes);
  DWORD used = 0;
  if (size >= 2 && ((mark[0] == 0xFF && mark[1] == 0xFE) || (mark[0] == 0xFE && mark[1] == 0xFF))) {
    ReadUtf16(bytes, size, section, leadBytes, &reading);
  } else if (HasUtf8Mark(bytes, size)) {
    char* utf8 = Rows(bytes + Utf8MarkSize, size - Utf8MarkSize, section, nullptr, &used);
    if (utf8 != nullptr) TakeUtf8(utf8, used, Utf8FileWithMark, &reading);
  } else {
    // Decided on the rows as UTF-8 splits them; the code page's lead bytes
    // can only hide a ']' in a line that starts with '['.
    char* utf8 = Rows(bytes, size, section, nullptr, &used);
    Utf8Kind kind = utf8 != nullptr ? KindOfUtf8(utf8, used) : NotUtf8;
    // On a system whose code page is UTF-8 the two readings are one.
    if (kind == BeyondAscii && (IsUtf8CodePage() || ReadsBetterAsUtf8(utf8, used, leadBytes))) {
      TakeUtf8(utf8, used, Utf8File, &reading);
    } else {
      reading.rows = Rows(bytes, size, section, leadBytes, &reading.size);
      // Rows the two splits disagree on would be read otherwise once saved.
      reading.rewritable = reading.rows != nullptr && utf8 != nullptr && used == reading.size &&
                           SameBytes(utf8, reading.rows, used) &&
                           RoundTrips(reading.rows, reading.size, CP_ACP);
      if (utf8 != nullptr) LocalFree(utf8);
    }
  }
  if (reading.rows == nullptr) reading.rewritable = false;
  LocalFree(bytes);
  return reading;
}

char* RowsAsWritten(const char* path, const char* section, ListEncoding encoding, DWORD* size) {
  DWORD fileSize = 0;
  char* bytes = ReadFileBytes(path, &fileSize);
  if (bytes == nullptr) return nullptr;
  bool flags[256];
  DWORD skip = encoding == Utf8FileWithMark && HasUtf8Mark(bytes, fileSize) ? Utf8MarkSize : 0;
  const bool* leadBytes = encoding == CodePageFile ? LeadBytes(CP_ACP, flags) : nullptr;
  char* rows = Rows(bytes + skip, fileSize - skip, section, leadBytes, size);
  // A mark that should be there and is not fails the comparison.
  if (rows != nullptr && encoding == Utf8FileWithMark && skip == 0) {
    LocalFree(rows);
    rows = nullptr;
  }
  LocalFree(bytes);
  return rows;
}

char* CodePageToUtf8(const char* text, DWORD size, DWORD* utf8Size) {
  if (size > MAXLONG / sizeof(WCHAR) / 3) return nullptr;
  if (!RoundTrips(text, size, CP_ACP)) return nullptr;
  int n = static_cast<int>(size);
  WCHAR* wide = reinterpret_cast<WCHAR*>(Allocate((size + 1) * sizeof(WCHAR)));
  if (wide == nullptr) return nullptr;
  int count = n == 0 ? 0 : MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, n, wide, n);
  // Each UTF-16 unit takes at most three bytes of UTF-8.
  char* utf8 = Allocate(static_cast<DWORD>(count) * 3 + 1);
  int written = 0;
  if (utf8 != nullptr && count > 0) {
    written = WideCharToMultiByte(CP_UTF8, 0, wide, count, utf8, count * 3, nullptr, nullptr);
    if (written == 0) {
      LocalFree(utf8);
      utf8 = nullptr;
    }
  }
  LocalFree(wide);
  *utf8Size = static_cast<DWORD>(written);
  return utf8;
}
