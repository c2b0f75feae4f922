// The list of servers in dns.ini beside the executable: loaded into the
// table when the window opens, written back in table order when it closes.
#ifndef DNSCHECK_SERVERLIST_LIST_FILE_H
#define DNSCHECK_SERVERLIST_LIST_FILE_H

#include <windows.h>

// Empty when the executable's directory leaves no room for "\dns.ini";
// the list is then neither read nor written.
extern char ListFilePath[MAX_PATH];

// The name a save writes under, beside dns.ini, before it puts the file
// in dns.ini's place: no longer than "dns.ini", so that it fits wherever
// dns.ini does.
extern const char ListTempName[];

void BuildListFilePath();
void LoadServerList();
void SaveServerList();

#endif
