// Resource numbers of the Windows wizard, shared by the resource script and
// the code.
#ifndef VSETUP_RESOURCE_H
#define VSETUP_RESOURCE_H

// Dialog templates of the two wizard pages.
#define IDD_WELCOME 101
#define IDD_FINISH 102

// Controls of the finish page: where the copy step names the file it reads
// and the file it writes.
#define IDC_STATUS_SOURCE 1001
#define IDC_STATUS_DEST 1002

// Controls that are never addressed.
#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

// The program icon.
#define IDI_VOREL 300

#endif
