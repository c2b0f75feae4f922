// The planted DLL of the end-to-end test and its control. Built as
// winmm.dll it stands for one a web page dropped into Downloads beside the
// tool: loaded into a process, it appends that process's path to
// planted.log beside itself. Built as a program, it is the control, which
// imports winmm the plain way and so shows that the planting works.
// Without winmm's declarations, which the planted DLL defines anew.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#ifdef PLANTED_DLL
// What the tool once imported from winmm.
extern "C" __declspec(dllexport) DWORD WINAPI timeGetTime() { return GetTickCount(); }
extern "C" __declspec(dllexport) UINT WINAPI timeBeginPeriod(UINT) { return 0; }
extern "C" __declspec(dllexport) UINT WINAPI timeEndPeriod(UINT) { return 0; }

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  char log[MAX_PATH + 16], loader[MAX_PATH + 1];
  DWORD length = GetModuleFileNameA(self, log, MAX_PATH);
  while (length > 0 && log[length - 1] != '\\') --length;
  lstrcpyA(log + length, "planted.log");
  length = GetModuleFileNameA(nullptr, loader, MAX_PATH);
  loader[length++] = '\n';
  HANDLE file = CreateFileA(log, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_ALWAYS, 0, nullptr);
  WriteFile(file, loader, length, &length, nullptr);
  CloseHandle(file);
  return TRUE;
}
#else
#include <mmsystem.h>

int main() { timeGetTime(); }
#endif
