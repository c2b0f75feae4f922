// How dns.ini's bytes are read: the encoding decided once from the
// servers the file names, their texts carried into the system's code
// page, the only one the window knows, and carried back for a save in the
// encoding the file was read in.
#ifndef DNSCHECK_SERVERLIST_LIST_ENCODING_H
#define DNSCHECK_SERVERLIST_LIST_ENCODING_H

#include <windows.h>

// What a save writes: the code page, through the profile functions, or
// UTF-8, with a mark where the file had one.
enum ListEncoding { CodePageFile, Utf8File, Utf8FileWithMark };

// UTF-8's byte-order mark, and its length.
extern const char Utf8Mark[];
const DWORD Utf8MarkSize = 3;

struct ListReading {
  // The section's servers in the system's code page, in the form
  // SectionRows gives, and the block's length without its last zero;
  // null when the file holds nothing that could be read. The caller frees
  // them (LocalFree).
  char* rows;
  DWORD size;
  ListEncoding encoding;
  // False when a save could change what the user wrote: a text did not
  // reach the code page and back unchanged, or the file could not be
  // read. The file then stays as it is at close.
  bool rewritable;
};

ListReading ReadListFile(const char* path, const char* section);

// The servers of the file at `path` as they stand in it, read in
// `encoding` and not converted: what a save checks it wrote. Null when it
// cannot be read.
char* RowsAsWritten(const char* path, const char* section, ListEncoding encoding, DWORD* size);

// `size` bytes of code page text, zeros included, as UTF-8; null where a
// character does not come back unchanged.
char* CodePageToUtf8(const char* text, DWORD size, DWORD* utf8Size);

// A zero-filled block of `size` bytes, or null.
char* Allocate(DWORD size);

#endif
