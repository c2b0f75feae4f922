// Program entry: prepares what every probe needs, then runs the window
// until the user closes it.
#include <winsock2.h>
#include <windows.h>

#include <commctrl.h>

#include "probe/pacer.h"
#include "resource.h"
#include "serverlist/list_file.h"
#include "ui/main_dialog.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  WSADATA winsock;
  WSAStartup(0x0202, &winsock);
  InitializeCriticalSection(&PaceLock);
  BuildListFilePath();
  InitCommonControls();
  DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, MainDialogProc, 0);
  // Workers still probing end with the process.
  ExitProcess(0);
}
