// Points one import slot of this program at a function of the test's own,
// so that a platform call made by the product code (which calls through
// the slot) can be counted, simulated or made to fail. Every caller in the
// program is affected while the object lives; the slot is restored when it
// is destroyed.
#ifndef DNSCHECK_TESTS_IMPORT_SLOT_H
#define DNSCHECK_TESTS_IMPORT_SLOT_H

#include <windows.h>

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

#endif
