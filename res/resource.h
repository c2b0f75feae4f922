// Resource identifiers, shared by the resource script and the code.
// Dialogs and controls are separate name spaces: IDD_MAIN and IDC_START
// are both 1000.
#ifndef DNSCHECK_RES_RESOURCE_H
#define DNSCHECK_RES_RESOURCE_H

#define IDI_MAIN 10

#define IDD_MAIN 1000
#define IDC_SERVERLIST 100
#define IDC_START 1000
#define IDC_STOP 2000

#endif
