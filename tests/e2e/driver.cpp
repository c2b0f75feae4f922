// Drives a running dnscheck window from another process, the way a user
// would, and reads back what the user would see:
//   e2e_driver state EXE            caption, buttons, focus, columns and their
//                                   widths, the list's client width and its
//                                   scroll bars, cells
//   e2e_driver press EXE start|stop a click on the button (BM_CLICK)
//   e2e_driver keys EXE KEY...      esc, enter, end: posted to the focus
//   e2e_driver focus EXE            the keyboard focus to the list, as a
//                                   click into it gives
//   e2e_driver close EXE            WM_CLOSE, as the caption's close button
//   e2e_driver wait EXE START STOP MS  until the buttons' enabled states
//                                   are START and STOP (1 or 0): exit 0,
//                                   or 1 when MS pass first
// EXE is the Windows path of the running program's file; the dialog of
// the process started from that file is the one driven, so other windows
// on the same display cannot be mistaken for it. Texts are printed as the
// window holds them (code page 936 bytes), one tab-separated record a line.
#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "find_dialog.h"
#include "resource.h"

namespace {

// A program's first start in a fresh Wine session also starts Wine's own
// services, which takes long on a busy machine.
const DWORD FindWaitMs = 90000;
const UINT ReplyWaitMs = 10000;
const int ColumnCount = 4;
// Room for one cell in the target: larger than anything the tool stores,
// so a cell is never cut here.
const int TextRoom = 1024;

struct Target {
  HWND dialog;
  DWORD pid;
  HANDLE process;
};

bool SameFile(DWORD pid, const void* exe) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) return false;
  char image[MAX_PATH];
  DWORD size = MAX_PATH;
  bool same = QueryFullProcessImageNameA(process, 0, image, &size) &&
              lstrcmpiA(image, static_cast<const char*>(exe)) == 0;
  CloseHandle(process);
  return same;
}

// Waits for the program's dialog; a freshly started program takes a
// moment to show it, longer on a loaded machine.
bool FindTarget(const char* exe, Target* target, bool* hidden) {
  DialogSearch search = {SameFile, exe, nullptr, false};
  target->dialog = FindMainDialog(&search, FindWaitMs);
  *hidden = search.hidden;
  if (target->dialog == nullptr) return false;
  GetWindowThreadProcessId(target->dialog, &target->pid);
  target->process = OpenProcess(
      PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE | PROCESS_QUERY_LIMITED_INFORMATION,
      FALSE, target->pid);
  return target->process != nullptr;
}

LRESULT Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  DWORD_PTR result = 0;
  SendMessageTimeoutA(window, message, wParam, lParam, SMTO_ABORTIFHUNG, ReplyWaitMs, &result);
  return static_cast<LRESULT>(result);
}

// List requests carry pointers, which the system does not translate
// between processes: the request structure and the text it points to are
// placed in the target's own memory.
struct RemoteBlock {
  HANDLE process;
  char* base;  // request structure first, then TextRoom bytes of text
};

const SIZE_T TextOffset = 256;

bool OpenBlock(HANDLE process, RemoteBlock* block) {
  block->process = process;
  block->base = static_cast<char*>(
      VirtualAllocEx(process, nullptr, TextOffset + TextRoom, MEM_COMMIT, PAGE_READWRITE));
  return block->base != nullptr;
}

void CloseBlock(RemoteBlock* block) { VirtualFreeEx(block->process, block->base, 0, MEM_RELEASE); }

template <typename Request>
std::string AskText(RemoteBlock* block, HWND list, UINT message, WPARAM index, Request request) {
  request.pszText = block->base + TextOffset;
  request.cchTextMax = TextRoom;
  static_assert(sizeof(Request) <= TextOffset, "request overlaps the text");
  char empty[1] = {0};
  WriteProcessMemory(block->process, block->base + TextOffset, empty, 1, nullptr);
  WriteProcessMemory(block->process, block->base, &request, sizeof request, nullptr);
  Send(list, message, index, reinterpret_cast<LPARAM>(block->base));
  char text[TextRoom] = {};
  ReadProcessMemory(block->process, block->base + TextOffset, text, TextRoom - 1, nullptr);
  return text;
}

std::string Cell(RemoteBlock* block, HWND list, int row, int column) {
  LVITEMA item = {};
  item.iSubItem = column;
  return AskText(block, list, LVM_GETITEMTEXTA, static_cast<WPARAM>(row), item);
}

std::string Header(RemoteBlock* block, HWND list, int column) {
  LVCOLUMNA request = {};
  request.mask = LVCF_TEXT;
  return AskText(block, list, LVM_GETCOLUMNA, static_cast<WPARAM>(column), request);
}

// The row's sort key: the best time in ms, or 9999 without one.
long long SortKey(RemoteBlock* block, HWND list, int row) {
  LVITEMA item = {};
  item.mask = LVIF_PARAM;
  item.iItem = row;
  WriteProcessMemory(block->process, block->base, &item, sizeof item, nullptr);
  Send(list, LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(block->base));
  ReadProcessMemory(block->process, block->base, &item, sizeof item, nullptr);
  return static_cast<long long>(item.lParam);
}

std::string WindowText(HWND window) {
  char text[TextRoom] = {};
  GetWindowTextA(window, text, sizeof text);
  return text;
}

const char* FocusName(const Target& t) {
  GUITHREADINFO info = {};
  info.cbSize = sizeof info;
  if (!GetGUIThreadInfo(GetWindowThreadProcessId(t.dialog, nullptr), &info)) return "unknown";
  if (info.hwndFocus == nullptr) return "none";
  if (info.hwndFocus == GetDlgItem(t.dialog, IDC_SERVERLIST)) return "list";
  if (info.hwndFocus == GetDlgItem(t.dialog, IDC_START)) return "start";
  if (info.hwndFocus == GetDlgItem(t.dialog, IDC_STOP)) return "stop";
  return "other";
}

int PrintState(const Target& t) {
  HWND list = GetDlgItem(t.dialog, IDC_SERVERLIST);
  RemoteBlock block;
  if (!OpenBlock(t.process, &block)) {
    std::fprintf(stderr, "e2e_driver: no memory in the target\n");
    return 1;
  }
  RECT r;
  GetWindowRect(t.dialog, &r);
  std::printf("window\t%p\t%d\n", static_cast<void*>(t.dialog), IsWindowVisible(t.dialog) ? 1 : 0);
  std::printf("rect\t%ld\t%ld\t%ld\t%ld\n", r.left, r.top, r.right, r.bottom);
  std::printf("caption\t%s\n", WindowText(t.dialog).c_str());
  const int buttons[] = {IDC_START, IDC_STOP};
  for (int id : buttons) {
    HWND button = GetDlgItem(t.dialog, id);
    std::printf("button\t%d\t%d\t%s\n", id, IsWindowEnabled(button) ? 1 : 0,
                WindowText(button).c_str());
  }
  std::printf("focus\t%s\n", FocusName(t));
  std::printf("selected\t%d\n", static_cast<int>(Send(list, LVM_GETNEXTITEM,
                                                      static_cast<WPARAM>(-1), LVNI_SELECTED)));
  for (int c = 0; c < ColumnCount; ++c)
    std::printf("column\t%d\t%s\t%d\n", c, Header(&block, list, c).c_str(),
                static_cast<int>(Send(list, LVM_GETCOLUMNWIDTH, static_cast<WPARAM>(c), 0)));
  RECT client;
  GetClientRect(list, &client);
  LONG style = GetWindowLongA(list, GWL_STYLE);
  std::printf("list\t%ld\t%d\t%d\n", client.right, (style & WS_HSCROLL) ? 1 : 0,
              (style & WS_VSCROLL) ? 1 : 0);
  int rows = static_cast<int>(Send(list, LVM_GETITEMCOUNT, 0, 0));
  for (int row = 0; row < rows; ++row) {
    std::printf("row");
    for (int c = 0; c < ColumnCount; ++c) std::printf("\t%s", Cell(&block, list, row, c).c_str());
    std::printf("\t%lld\n", SortKey(&block, list, row));
  }
  CloseBlock(&block);
  return 0;
}

int Press(const Target& t, const char* which) {
  int id = std::strcmp(which, "start") == 0  ? IDC_START
           : std::strcmp(which, "stop") == 0 ? IDC_STOP
                                             : 0;
  if (id == 0) return 2;
  Send(GetDlgItem(t.dialog, id), BM_CLICK, 0, 0);
  return 0;
}

// Keys go to the control that has the focus, through the dialog's own
// message loop, as typed keys do.
int Keys(const Target& t, int count, char** names) {
  GUITHREADINFO info = {};
  info.cbSize = sizeof info;
  GetGUIThreadInfo(GetWindowThreadProcessId(t.dialog, nullptr), &info);
  HWND to = info.hwndFocus != nullptr ? info.hwndFocus : t.dialog;
  for (int i = 0; i < count; ++i) {
    UINT key = std::strcmp(names[i], "esc") == 0     ? VK_ESCAPE
               : std::strcmp(names[i], "enter") == 0 ? VK_RETURN
               : std::strcmp(names[i], "end") == 0   ? VK_END
                                                     : 0;
    if (key == 0) return 2;
    LPARAM scan = static_cast<LPARAM>(MapVirtualKeyA(key, MAPVK_VK_TO_VSC)) << 16;
    PostMessageA(to, WM_KEYDOWN, key, scan | 1);
    PostMessageA(to, WM_KEYUP, key, scan | 1 | (static_cast<LPARAM>(3) << 30));
  }
  return 0;
}

// Polls in-process, every few milliseconds, so that a short state (a
// scan that lasts a second) is still seen on a slow machine.
int WaitButtons(const Target& t, const char* start, const char* stop, const char* ms) {
  BOOL wantStart = std::atoi(start) != 0;
  BOOL wantStop = std::atoi(stop) != 0;
  DWORD limit = static_cast<DWORD>(std::strtoul(ms, nullptr, 10));
  DWORD begin = GetTickCount();
  for (;;) {
    BOOL startOn = IsWindowEnabled(GetDlgItem(t.dialog, IDC_START)) != FALSE;
    BOOL stopOn = IsWindowEnabled(GetDlgItem(t.dialog, IDC_STOP)) != FALSE;
    if (startOn == wantStart && stopOn == wantStop) return 0;
    if (!IsWindow(t.dialog) || GetTickCount() - begin > limit) return 1;
    Sleep(5);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: e2e_driver state|press|keys|wait|focus|close EXE [args]\n");
    return 2;
  }
  Target target;
  bool hidden = false;
  if (!FindTarget(argv[2], &target, &hidden)) {
    std::fprintf(stderr, "e2e_driver: %s dialog of %s\n", hidden ? "only a hidden" : "no", argv[2]);
    return 1;
  }
  const char* command = argv[1];
  int result = 2;
  if (std::strcmp(command, "state") == 0) {
    result = PrintState(target);
  } else if (std::strcmp(command, "press") == 0 && argc == 4) {
    result = Press(target, argv[3]);
  } else if (std::strcmp(command, "keys") == 0) {
    result = Keys(target, argc - 3, argv + 3);
  } else if (std::strcmp(command, "wait") == 0 && argc == 6) {
    result = WaitButtons(target, argv[3], argv[4], argv[5]);
  } else if (std::strcmp(command, "focus") == 0) {
    // The dialog manager's own way of moving the focus between controls.
    Send(target.dialog, WM_NEXTDLGCTL,
         reinterpret_cast<WPARAM>(GetDlgItem(target.dialog, IDC_SERVERLIST)), TRUE);
    result = 0;
  } else if (std::strcmp(command, "close") == 0) {
    result = PostMessageA(target.dialog, WM_CLOSE, 0, 0) ? 0 : 1;
  }
  std::fflush(stdout);
  CloseHandle(target.process);
  return result;
}
