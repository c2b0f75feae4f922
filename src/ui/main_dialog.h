// The one window of the tool: the server list, Start and Stop.
#ifndef DNSCHECK_UI_MAIN_DIALOG_H
#define DNSCHECK_UI_MAIN_DIALOG_H

#include <windows.h>

INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

#endif
