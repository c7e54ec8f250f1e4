// The wizard's numbers, in one place: the resource numbers that the resource
// script and the code share, and where the pages put the windows they make
// themselves. The installer core, both front ends and vsetup.rc read them
// from here.
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

#ifndef RC_INVOKED
// A window's place on its page, in pixels of the page's client area.
struct PageRect {
    int x, y, width, height;
};

// The logo panel at the left of both pages.
constexpr PageRect kLogoPanelRect = {10, 10, 120, 210};
// The finish page's progress bar while the installation runs.
constexpr PageRect kProgressBarRect = {165, 200, 275, 18};
#endif

#endif
