// The real main dialog, opened modeless on a UI thread of its own that
// pumps messages, so that table requests from other threads are carried
// out as in the program. The dialog procedure is the program's own.
#ifndef DNSCHECK_TESTS_UI_FIXTURE_H
#define DNSCHECK_TESTS_UI_FIXTURE_H

#include <windows.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

// The window holds code page 936 texts: the users of this fixture compare
// them with Gbk().
#include "text_files.h"

class UiThread {
 public:
  // Opens the dialog; its initialisation loads ListFilePath, if set.
  UiThread();
  // Closes the dialog without saving and ends the thread.
  ~UiThread();
  UiThread(const UiThread&) = delete;
  UiThread& operator=(const UiThread&) = delete;

  HWND dialog() const { return dialog_; }
  // Runs `work` on the UI thread and waits for it.
  void Run(const std::function<void()>& work);
  // Presses a button as a click would (a WM_COMMAND from the control).
  void Press(int id);
  bool IsEnabled(int id);
  std::string Caption();

 private:
  void Loop();
  HWND dialog_;
  DWORD threadId_;
  HANDLE ready_;
  std::thread thread_;
};

// Clears the process-wide scan state, as a freshly started program has it.
void ResetScanState();

// Appends rows with these addresses, each with an empty location and the
// sort key of a loaded row.
void AddRows(const std::vector<std::string>& addresses);

// Every cell of a row: address, location, result, forged verdict.
std::vector<std::string> RowTexts(int row);
int RowCount();

// Polls `done` every 10 ms until it is true or `timeoutMs` passes.
bool WaitFor(const std::function<bool()>& done, DWORD timeoutMs);

#endif
