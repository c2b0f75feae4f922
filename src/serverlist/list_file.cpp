#include "serverlist/list_file.h"

#include <shlwapi.h>

#include "probe/scan_control.h"
#include "resource.h"
#include "serverlist/server_table.h"

char ListFilePath[MAX_PATH];
const char ListTempName[] = "dns.new";

namespace {

const char* const Section = "DNSList";
const char* const FileName = "\\dns.ini";
const DWORD FirstSectionRoom = 65536;
const DWORD FirstBlockRoom = 65536;

// A multi-byte character that does not fit may be left out whole, so a
// text cut to its room can end up to one character short of filling it. A
// read counts as whole only when it leaves more than that unused; code
// page 936 needs 2 bytes, 4 also covers UTF-8.
const int CharSlack = 4;

// Set by a load after which a save could lose or change what the user
// wrote: not every server reached the table, or a text could not be
// carried into the system's code page unchanged. The file then stays as
// it is at close.
bool KeepFileAsItIs = false;

// A zero-filled block of `size` bytes, or null.
char* Allocate(DWORD size) { return static_cast<char*>(LocalAlloc(LPTR, size)); }

// Reads a section of `path` whole, as "key=value" entries each ended by a
// zero and the list by a second one: the room doubles until the section
// fits. One read of the whole section, not one per key: under Wine each
// profile call opens the file again, and 10,000 keys took seconds.
char* ReadSection(const char* path) {
  for (DWORD room = FirstSectionRoom;; room *= 2) {
    char* buffer = Allocate(room);
    if (buffer == nullptr) return nullptr;
    // A full buffer returns room - 2; the last two bytes are the zeros.
    DWORD got = GetPrivateProfileSectionA(Section, buffer, room, path);
    if (got + 2 + CharSlack < room) return buffer;
    LocalFree(buffer);
    if (room > MAXDWORD / 2) return nullptr;
  }
}

// Reads a cell whole into a block the caller frees: the room doubles
// while the text could have been cut.
char* ReadCell(int row, int column, int room) {
  for (;; room *= 2) {
    char* buffer = Allocate(static_cast<DWORD>(room));
    if (buffer == nullptr) return nullptr;
    if (GetCellText(row, column, buffer, room) + 1 + CharSlack < room) return buffer;
    LocalFree(buffer);
    if (room > MAXLONG / 2) return nullptr;
  }
}

// Makes room for `more` bytes after the `used` bytes of a block being
// built, which always keeps a zero after them.
bool Grow(char** block, DWORD used, DWORD* room, DWORD more) {
  if (more > MAXDWORD / 2 - used) return false;
  DWORD need = used + more + 1;
  if (need <= *room) return true;
  DWORD grown = *room;
  while (grown < need) grown *= 2;
  char* bigger = Allocate(grown);
  if (bigger == nullptr) return false;
  CopyMemory(bigger, *block, used);
  LocalFree(*block);
  *block = bigger;
  *room = grown;
  return true;
}

// Appends "address=location", or the line `address` alone when there is
// no location, and its zero to the section block being built; the block
// always ends with a second zero.
bool AppendEntry(char** block, DWORD* used, DWORD* room, const char* address,
                 const char* location) {
  DWORD a = static_cast<DWORD>(lstrlenA(address));
  DWORD l = location != nullptr ? static_cast<DWORD>(lstrlenA(location)) + 1 : 0;
  if (!Grow(block, *used, room, a + l + 1)) return false;
  CopyMemory(*block + *used, address, a);
  if (l > 0) {
    (*block)[*used + a] = '=';
    CopyMemory(*block + *used + a + 1, location, l - 1);
  }
  *used += a + l + 1;
  (*block)[*used - 1] = '\0';
  (*block)[*used] = '\0';
  return true;
}

// Builds the section block from the table, every text whole. Null when
// the table is empty or memory runs out.
char* BuildBlock(DWORD* size) {
  DWORD room = FirstBlockRoom;
  DWORD used = 0;
  char* block = Allocate(room);
  bool ok = block != nullptr;
  int row = 0;
  for (; ok; ++row) {
    char* address = ReadCell(row, ColAddress, AddressRoom);
    if (address != nullptr && address[0] == '\0') {  // past the last row
      LocalFree(address);
      break;
    }
    char* location = address != nullptr ? ReadCell(row, ColLocation, LocationRoom) : nullptr;
    ok = location != nullptr && AppendEntry(&block, &used, &room, address, location);
    if (address != nullptr) LocalFree(address);
    if (location != nullptr) LocalFree(location);
  }
  if (!ok || row == 0) {
    if (block != nullptr) LocalFree(block);
    return nullptr;
  }
  *size = used + 1;
  return block;
}

bool SameBytes(const void* a, const void* b, DWORD size) {
  const char* x = static_cast<const char*>(a);
  const char* y = static_cast<const char*>(b);
  for (DWORD i = 0; i < size; ++i)
    if (x[i] != y[i]) return false;
  return true;
}

// True when the file at `path` holds exactly the section `block`: the
// profile call can report success for a write that the disk cut short.
bool HoldsSection(const char* path, const char* block, DWORD size) {
  char* written = ReadSection(path);
  WritePrivateProfileStringA(nullptr, nullptr, nullptr, path);  // drop the cached copy
  if (written == nullptr) return false;
  bool same = SameBytes(written, block, size);
  LocalFree(written);
  return same;
}

// Puts the file's data on the disk before it is renamed over dns.ini, so
// that a power cut cannot leave the new name on an empty file.
bool FlushToDisk(const char* path) {
  HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BOOL ok = FlushFileBuffers(file);
  CloseHandle(file);
  return ok != FALSE;
}

// Writes `block` as the only section of a new file `temp` and puts it in
// place of dns.ini. On any failure dns.ini is left as it was.
void ReplaceListFile(const char* temp, const char* block, DWORD size) {
  // A leftover from an interrupted save must go: writing into it would
  // keep whatever else it holds.
  DeleteFileA(temp);
  if (GetFileAttributesA(temp) != INVALID_FILE_ATTRIBUTES) return;
  bool ok = WritePrivateProfileSectionA(Section, block, temp) != FALSE;
  WritePrivateProfileStringA(nullptr, nullptr, nullptr, temp);  // flush any cached copy
  ok = ok && HoldsSection(temp, block, size) && FlushToDisk(temp) &&
       MoveFileExA(temp, ListFilePath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  if (!ok) DeleteFileA(temp);
}

// Which encoding the file's texts are in. The profile functions read a
// file as the system's code page, or as UTF-16 when it starts with that
// mark, and write them back the same way; Microsoft documents nothing of
// UTF-8 for them, and a UTF-8 file (Notepad's default since Windows 10
// version 1903) would be shown garbled and written back with "?" for
// every sequence the code page lacks. So the encoding is decided here from
// the file's bytes, and a file the profile functions would misread is not
// given to them: its section is read from the bytes by the same rules.
//  - A UTF-16 mark: left to the profile functions, as documented; but
//    kept as it is when a character of it has no place in the code page.
//  - A UTF-8 mark: UTF-8, whatever the platform makes of the mark.
//  - UTF-8 whose every character beyond ASCII takes three or four bytes:
//    UTF-8. Chinese text in UTF-8 is made of those; code page 936 text
//    forms them only by rare chance, while it often forms two-byte ones
//    ("小" is d0 a1).
//  - Otherwise plain ASCII, or bytes the code page reads and writes back
//    unchanged: the code page, as every list written so far.
//  - Anything else (lines from different editors, or UTF-8 with two-byte
//    characters) is read line by line: each line by the rules above, and
//    as UTF-8 when it is only that. A line valid in neither is shown as
//    its bytes, and the file is then kept as it is.
enum FileEncoding { ProfileEncoding, Utf8Encoding, LineByLine };

// How a text reads as UTF-8: not at all, as plain ASCII, with some
// character below U+0800 (Narrow), or with none (Wide).
enum Utf8Kind { NotUtf8, AsciiOnly, Utf8Narrow, Utf8Wide };

const DWORD NoCodePoint = MAXDWORD;
const WCHAR Replacement = 0xFFFD;

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

Utf8Kind KindOfUtf8(const char* text, DWORD size) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
  Utf8Kind kind = AsciiOnly;
  for (DWORD at = 0, length = 0; at < size; at += length) {
    DWORD point = NextCodePoint(bytes, size, at, &length);
    if (point == NoCodePoint) return NotUtf8;
    if (point >= 0x80 && point < 0x800) kind = Utf8Narrow;
    if (point >= 0x800 && kind == AsciiOnly) kind = Utf8Wide;
  }
  return kind;
}

// True when the system's code page reads `text` and writes it back byte
// for byte, as the profile functions do with every text they carry.
bool RoundTripsInAnsi(const char* text, DWORD size) {
  if (size == 0) return true;
  if (size > MAXLONG / sizeof(WCHAR)) return false;
  int n = static_cast<int>(size);
  WCHAR* wide = reinterpret_cast<WCHAR*>(Allocate(size * sizeof(WCHAR)));
  char* back = Allocate(size);
  bool same = false;
  if (wide != nullptr && back != nullptr) {
    int w = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, n, wide, n);
    same = w > 0 && WideCharToMultiByte(CP_ACP, 0, wide, w, back, n, nullptr, nullptr) == n &&
           SameBytes(text, back, size);
  }
  if (wide != nullptr) LocalFree(wide);
  if (back != nullptr) LocalFree(back);
  return same;
}

// `count` UTF-16 units in the system's code page, zero-terminated, in a
// block the caller frees. *exact is cleared when a character does not
// come back unchanged: the code page lacks it or has only a look-alike.
char* WideToAnsi(const WCHAR* wide, int count, bool* exact) {
  int n =
      count == 0 ? 0 : WideCharToMultiByte(CP_ACP, 0, wide, count, nullptr, 0, nullptr, nullptr);
  if (count > 0 && n == 0) return nullptr;
  char* text = Allocate(static_cast<DWORD>(n) + 1);
  if (text == nullptr || count == 0) return text;
  BOOL defaulted = FALSE;
  WideCharToMultiByte(CP_ACP, 0, wide, count, text, n, nullptr, &defaulted);
  DWORD bytes = static_cast<DWORD>(count) * sizeof(WCHAR);
  WCHAR* back = reinterpret_cast<WCHAR*>(Allocate(bytes));
  if (back == nullptr || defaulted ||
      MultiByteToWideChar(CP_ACP, 0, text, n, back, count) != count ||
      !SameBytes(back, wide, bytes))
    *exact = false;
  if (back != nullptr) LocalFree(back);
  return text;
}

// UTF-8 text in the system's code page, as WideToAnsi gives it; bytes
// valid in no sequence become U+FFFD and clear *exact.
char* Utf8ToAnsi(const char* text, DWORD size, bool* exact) {
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
  char* ansi = WideToAnsi(wide, count, exact);
  LocalFree(wide);
  return ansi;
}

// Bytes that may be either are read as UTF-8 by the rules above.
bool ReadAsUtf8(const char* text, DWORD size) {
  Utf8Kind kind = KindOfUtf8(text, size);
  return kind == Utf8Wide || (kind == Utf8Narrow && !RoundTripsInAnsi(text, size));
}

FileEncoding EncodingOf(const char* text, DWORD size) {
  Utf8Kind kind = KindOfUtf8(text, size);
  if (kind == AsciiOnly) return ProfileEncoding;
  if (kind == Utf8Wide) return Utf8Encoding;
  return RoundTripsInAnsi(text, size) ? ProfileEncoding : LineByLine;
}

// One line of the section in the system's code page, in a block the
// caller frees; *exact as for WideToAnsi.
char* LineToAnsi(const char* line, DWORD size, FileEncoding encoding, bool* exact) {
  if (encoding == Utf8Encoding || ReadAsUtf8(line, size)) return Utf8ToAnsi(line, size, exact);
  if (!RoundTripsInAnsi(line, size)) *exact = false;
  char* text = Allocate(size + 1);
  if (text != nullptr) CopyMemory(text, line, size);
  return text;
}

// The blanks the profile format ignores around lines, keys and values.
bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r' || c == '\n' || c == 0x1A;
}

// Whether the text between `from` and `to` names our section, case aside.
bool NamesSection(const char* from, const char* to) {
  while (from < to && IsBlank(*from)) ++from;
  while (to > from && IsBlank(to[-1])) --to;
  int length = lstrlenA(Section);
  if (to - from != length) return false;
  // The name is all letters, for which setting 0x20 folds the case.
  for (int i = 0; i < length; ++i)
    if ((from[i] | 0x20) != (Section[i] | 0x20)) return false;
  return true;
}

// The section's lines read from the file's bytes, in the block format
// ReadSection gives, by the rules the profile functions follow: lines end
// at CR or LF and at a zero byte, blanks around them and empty lines and
// comments are dropped; a line that starts with '[' and holds a ']' opens
// a section, and only the first one named DNSList is read.
char* ParseSection(const char* bytes, DWORD size, FileEncoding encoding, bool* exact) {
  DWORD room = FirstSectionRoom, used = 0;
  char* block = Allocate(room);
  bool inSection = false;
  for (DWORD at = 0; block != nullptr && at < size;) {
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
      inSection = NamesSection(bytes + from + 1, close);
      continue;
    }
    if (!inSection) continue;
    char* line = LineToAnsi(bytes + from, to - from, encoding, exact);
    bool kept = line != nullptr && AppendEntry(&block, &used, &room, line, nullptr);
    if (line != nullptr) LocalFree(line);
    if (!kept) {
      LocalFree(block);
      block = nullptr;
    }
  }
  return block;
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

// The section's entries as ReadSection gives them, in the system's code
// page. *exact is cleared when a text could not be read into it
// unchanged, or the file's encoding could not be told.
char* ReadEntries(const char* path, bool* exact) {
  DWORD size = 0;
  char* bytes = ReadFileBytes(path, &size);
  if (bytes == nullptr) {
    if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES) *exact = false;
    return ReadSection(path);
  }
  const unsigned char* mark = reinterpret_cast<const unsigned char*>(bytes);
  char* entries = nullptr;
  if (size >= 2 && ((mark[0] == 0xFF && mark[1] == 0xFE) || (mark[0] == 0xFE && mark[1] == 0xFF))) {
    // Only little-endian UTF-16 is checked; the other order is kept as it is.
    if (mark[0] == 0xFF && size % 2 == 0) {
      char* ansi = WideToAnsi(reinterpret_cast<const WCHAR*>(bytes + 2),
                              static_cast<int>((size - 2) / 2), exact);
      if (ansi == nullptr) *exact = false;
      if (ansi != nullptr) LocalFree(ansi);
    } else {
      *exact = false;
    }
    entries = ReadSection(path);
  } else if (size >= 3 && mark[0] == 0xEF && mark[1] == 0xBB && mark[2] == 0xBF) {
    entries = ParseSection(bytes + 3, size - 3, Utf8Encoding, exact);
  } else {
    FileEncoding encoding = EncodingOf(bytes, size);
    entries = encoding == ProfileEncoding ? ReadSection(path)
                                          : ParseSection(bytes, size, encoding, exact);
  }
  LocalFree(bytes);
  return entries;
}

// Blanks trimmed off both ends of `text`, in place.
char* TrimBlanks(char* text) {
  while (IsBlank(*text)) ++text;
  char* end = text + lstrlenA(text);
  while (end > text && IsBlank(end[-1])) --end;
  *end = '\0';
  return text;
}

// The temporary file's path: dns.ini's folder and ListTempName.
bool BuildTempPath(char* temp) {
  int folder = lstrlenA(ListFilePath);
  while (folder > 0 && ListFilePath[folder - 1] != '\\') --folder;
  if (folder + lstrlenA(ListTempName) >= MAX_PATH) return false;
  CopyMemory(temp, ListFilePath, folder);
  lstrcpyA(temp + folder, ListTempName);
  return true;
}

}  // namespace

void BuildListFilePath() {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(GetModuleHandleA(nullptr), path, MAX_PATH);
  ListFilePath[0] = '\0';
  if (n == 0 || n >= MAX_PATH) return;  // cut: not a path to trust
  PathRemoveFileSpecA(path);
  if (lstrlenA(path) + lstrlenA(FileName) >= MAX_PATH) return;
  lstrcpyA(ListFilePath, path);
  lstrcatA(ListFilePath, FileName);
}

// Every entry of the section becomes a row, in file order, duplicates
// included, each with its own location. The key is what stands before
// the first '=' (the profile parser splits there too); a line with no '='
// is a server whose location is empty. A line with nothing before its '='
// names no server and is left out: an empty address would end the save.
// Comments and the blanks around keys and values are dropped here too:
// not every Windows leaves them out of a section it returns.
void LoadServerList() {
  KeepFileAsItIs = false;
  if (ListFilePath[0] == '\0') return;
  bool exact = true;
  char* entries = ReadEntries(ListFilePath, &exact);
  if (entries == nullptr) return;
  KeepFileAsItIs = !exact;
  // Each new row would otherwise repaint and re-lay the list, which made
  // the load of a long list take seconds.
  SendDlgItemMessageA(MainDialog, IDC_SERVERLIST, WM_SETREDRAW, FALSE, 0);
  char* next = nullptr;
  for (char* entry = entries; *entry != '\0'; entry = next) {
    next = entry + lstrlenA(entry) + 1;
    entry = TrimBlanks(entry);
    if (*entry == ';') continue;
    char* equals = entry;
    while (*equals != '\0' && *equals != '=') ++equals;
    const char* location = "";
    if (*equals == '=') {
      *equals = '\0';
      location = TrimBlanks(equals + 1);
    }
    const char* address = TrimBlanks(entry);
    if (*address == '\0') continue;
    int row = AppendRow(address);
    if (row < 0) {
      KeepFileAsItIs = true;
      break;
    }
    SetCellText(row, ColLocation, location);
    SetSortKey(row, NoLatency);
    ++TotalRows;
  }
  SendDlgItemMessageA(MainDialog, IDC_SERVERLIST, WM_SETREDRAW, TRUE, 0);
  LocalFree(entries);
}

// The new list is written whole to a file beside dns.ini and then put in
// its place in one step, so that dns.ini is at every moment either the
// complete old list or the complete new one, whenever the process dies.
// An empty table means nothing could be loaded: the file is then left as
// it is, since deleting it could only destroy a list the user still has.
void SaveServerList() {
  if (ListFilePath[0] == '\0' || KeepFileAsItIs) return;
  char temp[MAX_PATH];
  if (!BuildTempPath(temp)) return;
  DWORD size = 0;
  char* block = BuildBlock(&size);
  if (block == nullptr) return;
  ReplaceListFile(temp, block, size);
  LocalFree(block);
}
