#include "serverlist/list_file.h"

#include <shlwapi.h>

#include "probe/scan_control.h"
#include "resource.h"
#include "serverlist/list_encoding.h"
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

// The section's entries in the system's code page, as ReadSection gives
// them. *rewritable is cleared when a save could change what the user
// wrote.
char* ReadEntries(const char* path, bool* rewritable) {
  ListReading reading = ReadListFile(path, Section);
  *rewritable = reading.rewritable;
  return reading.entries != nullptr ? reading.entries : ReadSection(path);
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
  bool rewritable = true;
  char* entries = ReadEntries(ListFilePath, &rewritable);
  if (entries == nullptr) return;
  KeepFileAsItIs = !rewritable;
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
