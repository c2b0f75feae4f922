// Helper program for list_file_test, which kills it at random moments:
//   list_save_child LIST EVENT SAVES
// loads LIST as the program does, sets the named event, then reverses the
// table's order and saves it, SAVES times (0: until killed, within a
// bound), so the file turns from one whole order to the other each time.
#include <windows.h>

#include <commctrl.h>

#include <cstdlib>

#include "resource.h"
#include "serverlist/list_file.h"
#include "serverlist/server_table.h"
#include "ui_fixture.h"

namespace {

// A child whose parent died must still end.
const int MostSaves = 5000;
const DWORD MostMs = 120000;

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  InitCommonControls();
  lstrcpynA(ListFilePath, argv[1], MAX_PATH);
  UiThread ui;
  int rows = RowCount();
  if (rows == 0) return 3;
  HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[2]);
  if (ready == nullptr) return 4;
  int saves = std::atoi(argv[3]);
  if (saves <= 0) saves = MostSaves;

  // Nobody looks at this window. Repainting it after every key change
  // would take most of each round, and the kills would mostly miss the save.
  SendDlgItemMessageA(ui.dialog(), IDC_SERVERLIST, WM_SETREDRAW, FALSE, 0);

  SetEvent(ready);
  DWORD start = GetTickCount();
  for (int i = 0; i < saves && GetTickCount() - start < MostMs; ++i) {
    ui.Run([rows] {
      for (int row = 0; row < rows; ++row) SetSortKey(row, rows - row);
      Sort();
      SaveServerList();
    });
  }
  CloseHandle(ready);
  // As the program ends: closing the window first costs Wine seconds.
  ExitProcess(0);
}
