// Program entry: prepares what every probe needs, then runs the window
// until the user closes it.
#include <windows.h>

#include "resource.h"
#include "serverlist/list_file.h"
#include "ui/main_dialog.h"
#include "ui/start_up.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  StartUp();
  BuildListFilePath();
  DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, MainDialogProc, 0);
  // Workers still probing end with the process.
  ExitProcess(0);
}
