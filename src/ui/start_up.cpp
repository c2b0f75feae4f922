#include "ui/start_up.h"

#include <winsock2.h>
#include <windows.h>

#include <commctrl.h>

#include "probe/pacer.h"

bool StartUp() {
  WSADATA winsock;
  bool sockets = WSAStartup(MAKEWORD(2, 2), &winsock) == 0;
  InitializeCriticalSection(&PaceLock);
  InitCommonControls();
  return sockets;
}
