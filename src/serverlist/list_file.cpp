#include "serverlist/list_file.h"

#include <shlwapi.h>

#include "probe/scan_control.h"
#include "serverlist/server_table.h"

char ListFilePath[MAX_PATH];

namespace {

const char* const Section = "DNSList";
const char* const FileName = "\\dns.ini";
const char* const TempSuffix = ".new";
const DWORD FirstNamesRoom = 65536;

// A zero-filled block of `size` bytes, or null.
char* Allocate(DWORD size) { return static_cast<char*>(LocalAlloc(LPTR, size)); }

// Reads a profile string whole: the room doubles until the text fits.
// `rest` is what the profile call leaves unused of a full buffer: 2 for
// the key list (its two final zeros), 1 for a value.
char* ReadWhole(const char* key, DWORD room, DWORD rest) {
  for (;;) {
    char* buffer = Allocate(room);
    if (buffer == nullptr) return nullptr;
    DWORD got = GetPrivateProfileStringA(Section, key, "", buffer, room, ListFilePath);
    if (got + rest < room) return buffer;
    LocalFree(buffer);
    room *= 2;
  }
}

// Reads a cell whole into a block the caller frees: the room doubles
// while the text fills it.
char* ReadCell(int row, int column, int room) {
  for (;;) {
    char* buffer = Allocate(static_cast<DWORD>(room));
    if (buffer == nullptr) return nullptr;
    if (GetCellText(row, column, buffer, room) < room - 1) return buffer;
    LocalFree(buffer);
    room *= 2;
  }
}

// Appends "address=location" and its zero to the section block being
// built, growing it as needed.
bool AppendEntry(char** block, DWORD* used, DWORD* room, const char* address, const char* location) {
  DWORD a = static_cast<DWORD>(lstrlenA(address));
  DWORD l = static_cast<DWORD>(lstrlenA(location));
  DWORD need = *used + a + 1 + l + 2;  // '=', the entry's zero, the block's final zero
  if (need > *room) {
    DWORD grown = *room;
    while (grown < need) grown *= 2;
    char* bigger = Allocate(grown);
    if (bigger == nullptr) return false;
    CopyMemory(bigger, *block, *used);
    LocalFree(*block);
    *block = bigger;
    *room = grown;
  }
  CopyMemory(*block + *used, address, a);
  (*block)[*used + a] = '=';
  CopyMemory(*block + *used + a + 1, location, l);
  *used += a + 1 + l + 1;
  (*block)[*used - 1] = '\0';
  (*block)[*used] = '\0';
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

void LoadServerList() {
  if (ListFilePath[0] == '\0') return;
  char* names = ReadWhole(nullptr, FirstNamesRoom, 2);
  if (names == nullptr) return;
  for (char* name = names; *name != '\0'; name += lstrlenA(name) + 1) {
    char* location = ReadWhole(name, LocationRoom, 1);
    int row = AppendRow(name);
    SetCellText(row, ColLocation, location != nullptr ? location : "");
    SetSortKey(row, NoLatency);
    ++TotalRows;
    if (location != nullptr) LocalFree(location);
  }
  LocalFree(names);
}

// The new list is written whole to a file beside dns.ini and then put in
// its place in one step, so that dns.ini is at every moment either the
// complete old list or the complete new one, whenever the process dies.
void SaveServerList() {
  if (ListFilePath[0] == '\0') return;
  DWORD room = 65536;
  DWORD used = 0;
  char* block = Allocate(room);
  if (block == nullptr) return;
  int rows = 0;
  for (;; ++rows) {
    char* address = ReadCell(rows, ColAddress, AddressRoom);
    if (address == nullptr) break;
    if (address[0] == '\0') {
      LocalFree(address);
      break;
    }
    char* location = ReadCell(rows, ColLocation, LocationRoom);
    bool ok = location != nullptr && AppendEntry(&block, &used, &room, address, location);
    LocalFree(address);
    if (location != nullptr) LocalFree(location);
    if (!ok) {  // out of memory: keep the old file rather than write part of the list
      LocalFree(block);
      return;
    }
  }
  // An empty table means nothing was loaded; whatever the file holds then
  // is left as it is rather than deleted.
  if (rows > 0) {
    char temp[MAX_PATH + 8];
    lstrcpyA(temp, ListFilePath);
    lstrcatA(temp, TempSuffix);
    DeleteFileA(temp);
    if (WritePrivateProfileSectionA(Section, block, temp)) {
      WritePrivateProfileStringA(nullptr, nullptr, nullptr, temp);  // flush any cached copy
      if (!MoveFileExA(temp, ListFilePath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        DeleteFileA(temp);
    } else {
      DeleteFileA(temp);
    }
  }
  LocalFree(block);
}
