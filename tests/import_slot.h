// Points one import slot of this program at a function of the test's own,
// so that a platform call made by the product code (which calls through
// the slot) can be counted, simulated or made to fail. Every caller in the
// program is affected while the object lives; the slot is restored when it
// is destroyed.
#ifndef DNSCHECK_TESTS_IMPORT_SLOT_H
#define DNSCHECK_TESTS_IMPORT_SLOT_H

#include <windows.h>

#include <map>
#include <string>
#include <utility>

#include "probe/pacer.h"

// The linker's name of a function's import slot: `bytes` is the size of
// its arguments, part of a 32-bit stdcall name.
#ifdef _WIN64
#define IMPORT_SLOT_NAME(function, bytes) "__imp_" #function
#else
#define IMPORT_SLOT_NAME(function, bytes) "__imp__" #function "@" #bytes
#endif

class ImportSlot {
 public:
  ImportSlot(void** slot, void* replacement) : slot_(slot), original_(*slot) {
    VirtualProtect(slot_, sizeof *slot_, PAGE_READWRITE, &protection_);
    InterlockedExchangePointer(slot_, replacement);
  }
  ~ImportSlot() {
    InterlockedExchangePointer(slot_, original_);
    DWORD ignored;
    VirtualProtect(slot_, sizeof *slot_, protection_, &ignored);
  }
  ImportSlot(const ImportSlot&) = delete;
  ImportSlot& operator=(const ImportSlot&) = delete;

  // The function the slot held before, for replacements that pass on.
  template <typename Function>
  Function original() const {
    return reinterpret_cast<Function>(original_);
  }

 private:
  void** slot_;
  void* original_;
  DWORD protection_;
};

extern "C" void* GetProcAddressSlot __asm__(IMPORT_SLOT_NAME(GetProcAddress, 8));

// While it lives, what the product looks up by name (GetProcAddress) rather
// than imports is the test's function for each name given (null: as on a
// system that lacks it), the system's for any other. The pacer's timer
// functions are looked up again whenever the names change, as start-up
// looks them up: one at a time, and never while a scan runs.
class LookupStandIn {
 public:
  explicit LookupStandIn(std::map<std::string, void*> names)
      : slot_(&GetProcAddressSlot, reinterpret_cast<void*>(&LookUp)) {
    Offer(std::move(names));
  }
  ~LookupStandIn() { Offer({}); }
  void Offer(std::map<std::string, void*> names) {
    system_ = slot_.original<LookupFunction>();
    names_ = std::move(names);
    LoadTimerFunctions();
  }

 private:
  typedef FARPROC(WINAPI* LookupFunction)(HMODULE, LPCSTR);
  static FARPROC WINAPI LookUp(HMODULE module, LPCSTR name) {
    bool byName = reinterpret_cast<ULONG_PTR>(name) > 0xFFFF;
    auto found = byName ? names_.find(name) : names_.end();
    if (found == names_.end()) return system_(module, name);
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(found->second));
  }
  static inline std::map<std::string, void*> names_;
  static inline LookupFunction system_;
  ImportSlot slot_;
};

#endif
