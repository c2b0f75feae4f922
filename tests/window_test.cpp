#include "window_test.h"

#include <windows.h>

#include <commctrl.h>

#include "resource.h"

UiThread* WindowTest::ui_ = nullptr;

void WindowTest::SetUp() {
  SendMessageA(GetDlgItem(ui_->dialog(), IDC_SERVERLIST), LVM_DELETEALLITEMS, 0, 0);
  ResetScanState();
}
