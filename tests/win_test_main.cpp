// Test entry for the Windows tests: prepares what the program entry
// prepares (sockets, the pacer's lock), then runs the tests.
#include <winsock2.h>
#include <windows.h>

#include <commctrl.h>

#include <gtest/gtest.h>

#include "probe/pacer.h"

int main(int argc, char** argv) {
  WSADATA winsock;
  WSAStartup(0x0202, &winsock);
  InitializeCriticalSection(&PaceLock);
  InitCommonControls();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
