// How dns.ini's bytes are read: the encoding decided once for the whole
// file, and its texts carried into the system's code page, the only one
// the window and the profile functions know.
#ifndef DNSCHECK_SERVERLIST_LIST_ENCODING_H
#define DNSCHECK_SERVERLIST_LIST_ENCODING_H

#include <windows.h>

struct ListReading {
  // Null when the profile functions read the file as it is: the code page,
  // or UTF-16 with its mark. Otherwise the section's entries, read here
  // from the file's bytes and put in the code page, in the form
  // GetPrivateProfileSectionA gives: "key=value" entries each ended by a
  // zero, the list by a second one. The caller frees them (LocalFree).
  char* entries;
  // False when a save could change what the user wrote: a text did not
  // reach the code page unchanged, or the encoding could not be told. The
  // file then stays as it is at close.
  bool rewritable;
};

ListReading ReadListFile(const char* path, const char* section);

// What the loader shares with the reading here: the blanks the profile
// format ignores around lines, keys and values, and a comparison of bytes.
bool IsBlank(char c);
bool SameBytes(const void* a, const void* b, DWORD size);

#endif
