#include "ui/start_up.h"

#include <winsock2.h>
#include <windows.h>

#include <commctrl.h>

#include "probe/pacer.h"
#include "probe/scan_control.h"

bool StartUp() {
  WSADATA winsock;
  bool sockets = WSAStartup(MAKEWORD(2, 2), &winsock) == 0;
  InitializeCriticalSection(&PaceLock);
  InitializeCriticalSection(&ScanStateLock);
  InitCommonControls();
  return sockets;
}
