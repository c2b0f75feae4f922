#include "serverlist/list_file.h"

#include <shlwapi.h>

#include "probe/scan_control.h"
#include "resource.h"
#include "serverlist/list_encoding.h"
#include "serverlist/list_text.h"
#include "serverlist/server_table.h"

char ListFilePath[MAX_PATH];
const char ListTempName[] = "dns.new";

namespace {

const char* const Section = "DNSList";
const char* const FileName = "\\dns.ini";
const DWORD FirstBlockRoom = 65536;

// A multi-byte character that does not fit may be left out whole, so a
// text cut to its room can end up to one character short of filling it. A
// read counts as whole only when it leaves more than that unused; code
// page 936 needs 2 bytes, 4 also covers UTF-8.
const int CharSlack = 4;

// Set by a load after which a save could lose or change what the user
// wrote: not every server reached the table, or a text could not be
// carried into the system's code page and back unchanged. The file then
// stays as it is at close.
bool KeepFileAsItIs = false;
// The encoding the file was read in, which a save writes it back in.
ListEncoding FileEncoding = CodePageFile;

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

// Appends "address=location" and its zero to the block being built,
// which always ends with a second zero.
bool AppendEntry(char** block, DWORD* used, DWORD* room, const char* address,
                 const char* location) {
  DWORD a = static_cast<DWORD>(lstrlenA(address));
  DWORD l = static_cast<DWORD>(lstrlenA(location));
  if (!Grow(block, *used, room, a + l + 2)) return false;
  CopyMemory(*block + *used, address, a);
  (*block)[*used + a] = '=';
  CopyMemory(*block + *used + a + 1, location, l);
  *used += a + l + 2;
  (*block)[*used - 1] = '\0';
  (*block)[*used] = '\0';
  return true;
}

// Builds the section's entries from the table, every text whole, in the
// form the list is read in; *size counts them without the last zero. Null
// when the table is empty or memory runs out.
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
  *size = used;
  return block;
}

// Writes `size` bytes as the whole of a new file.
bool WriteNewFile(const char* path, const char* bytes, DWORD size) {
  HANDLE file =
      CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  bool ok = WriteFile(file, bytes, size, &written, nullptr) && written == size;
  CloseHandle(file);
  return ok;
}

// The file in UTF-8, as the profile functions would lay out a section:
// the mark where the list had one, the section's name and a line for
// each entry.
bool WriteUtf8(const char* path, const char* entries, DWORD size, bool mark) {
  DWORD name = static_cast<DWORD>(lstrlenA(Section));
  // Each entry's zero becomes a CR and an LF: at most one for 2 bytes.
  char* text = Allocate(Utf8MarkSize + name + 4 + size + size / 2 + 2);
  if (text == nullptr) return false;
  DWORD used = 0;
  if (mark) {
    CopyMemory(text, Utf8Mark, Utf8MarkSize);
    used = Utf8MarkSize;
  }
  text[used++] = '[';
  CopyMemory(text + used, Section, name);
  used += name;
  text[used++] = ']';
  text[used++] = '\r';
  text[used++] = '\n';
  for (DWORD at = 0; at < size; ++at) {
    if (entries[at] != '\0') {
      text[used++] = entries[at];
    } else {
      text[used++] = '\r';
      text[used++] = '\n';
    }
  }
  bool ok = WriteNewFile(path, text, used);
  LocalFree(text);
  return ok;
}

// True when the file at `path` holds exactly the entries `block`, read in
// the encoding it was written in: a write can report success for what the
// disk cut short or the profile functions laid out otherwise.
bool HoldsEntries(const char* path, const char* block, DWORD size) {
  DWORD got = 0;
  char* written = RowsAsWritten(path, Section, FileEncoding, &got);
  if (written == nullptr) return false;
  bool same = got == size && SameBytes(written, block, size);
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

// Writes the entries of `block` as the only section of a new file `temp`,
// in the list's encoding, and puts it in place of dns.ini. On any failure
// dns.ini is left as it was.
void ReplaceListFile(const char* temp, const char* block, DWORD size) {
  // A leftover from an interrupted save must go: writing into it would
  // keep whatever else it holds.
  DeleteFileA(temp);
  if (GetFileAttributesA(temp) != INVALID_FILE_ATTRIBUTES) return;
  bool ok = false;
  if (FileEncoding == CodePageFile) {
    ok = WritePrivateProfileSectionA(Section, block, temp) != FALSE;
    WritePrivateProfileStringA(nullptr, nullptr, nullptr, temp);  // flush any cached copy
    ok = ok && HoldsEntries(temp, block, size);
  } else {
    DWORD utf8Size = 0;
    char* utf8 = CodePageToUtf8(block, size, &utf8Size);
    ok = utf8 != nullptr && WriteUtf8(temp, utf8, utf8Size, FileEncoding == Utf8FileWithMark) &&
         HoldsEntries(temp, utf8, utf8Size);
    if (utf8 != nullptr) LocalFree(utf8);
  }
  ok = ok && FlushToDisk(temp) &&
       MoveFileExA(temp, ListFilePath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  if (!ok) DeleteFileA(temp);
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
// included, each with its own location: the address is what stands
// before the first '=', and a line with no '=' is a server whose location
// is empty.
void LoadServerList() {
  KeepFileAsItIs = false;
  FileEncoding = CodePageFile;
  if (ListFilePath[0] == '\0') return;
  ListReading reading = ReadListFile(ListFilePath, Section);
  KeepFileAsItIs = !reading.rewritable;
  FileEncoding = reading.encoding;
  if (reading.rows == nullptr) return;
  // Each new row would otherwise repaint and re-lay the list, which made
  // the load of a long list take seconds.
  SendDlgItemMessageA(MainDialog, IDC_SERVERLIST, WM_SETREDRAW, FALSE, 0);
  char* next = nullptr;
  for (char* entry = reading.rows; *entry != '\0'; entry = next) {
    next = entry + lstrlenA(entry) + 1;
    char* equals = entry;
    while (*equals != '\0' && *equals != '=') ++equals;
    const char* location = "";
    if (*equals == '=') {
      *equals = '\0';
      location = equals + 1;
    }
    int row = AppendRow(entry);
    if (row < 0) {
      KeepFileAsItIs = true;
      break;
    }
    SetCellText(row, ColLocation, location);
    SetSortKey(row, NoLatency);
    ++TotalRows;
  }
  SendDlgItemMessageA(MainDialog, IDC_SERVERLIST, WM_SETREDRAW, TRUE, 0);
  LocalFree(reading.rows);
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
