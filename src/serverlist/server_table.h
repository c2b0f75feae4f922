// The table of servers. It lives in the main dialog's list control and
// nowhere else: every operation is one synchronous request to that
// control, which the UI thread carries out, so each is atomic with respect
// to every other and callable from any thread.
#ifndef DNSCHECK_SERVERLIST_SERVER_TABLE_H
#define DNSCHECK_SERVERLIST_SERVER_TABLE_H

#include <windows.h>

enum Column { ColAddress = 0, ColLocation = 1, ColResult = 2, ColHijack = 3 };

// Sort key of a row without a reply time: sorts after every real time.
const int NoLatency = 9999;

// Room the readers pass for a cell, terminating zero included.
const int AddressRoom = 32;
const int LocationRoom = 256;

// The main dialog; written once when it initialises, before any other
// thread exists.
extern HWND MainDialog;

// The four columns, as wide as the system DPI and their texts ask; the
// location column fills the list's width but for room for a scroll bar.
void SetUpColumns();
int AppendRow(const char* address);
// Bytes copied, not counting the zero; 0 for a missing row or empty cell.
int GetCellText(int row, int column, char* buffer, int room);
void SetCellText(int row, int column, const char* text);
void SetSortKey(int row, int value);
int GetSortKey(int row);
// Receives two rows' sort keys; ascending order, NoLatency last.
int CALLBACK CompareLatency(LPARAM a, LPARAM b, LPARAM unused);
void Sort();

#endif
