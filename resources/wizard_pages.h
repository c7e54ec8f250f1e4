// The wizard's two pages, described once: their caption, their banner, their
// sizes and every static text on them with its control id and its rectangle,
// in dialog units of the pages' font (MS Sans Serif 8 point). vsetup.rc makes
// VSETUP.EXE's dialog templates of them and the Qt wizard lays out the same
// pages from them, so that a text or a rectangle changes here only. Texts
// are Windows-1252 bytes; windres, as the C++ compiler, joins adjacent
// string literals.
//
// A page's texts are a list of PAGE_TEXT(text, id, x, y, width, height,
// style) entries, each a left-aligned, word-wrapped static text (LTEXT):
// the reader names the macro that makes a control of one entry. The style
// is that of the dialog template's control; the Qt wizard has no use for it.
#ifndef VSETUP_WIZARD_PAGES_H
#define VSETUP_WIZARD_PAGES_H

#include "resource.h"

// The caption of the sheet, on both pages.
#define WIZARD_CAPTION "Vorel Setup Wizard"

// The banner, the product name painted at the top of both pages: the height
// of its letters, its left and its top in pixels, each as a key of the setup
// file's BANNER_SECTION and the value taken where the key is missing.
#define BANNER_SECTION "Banner"
#define BANNER_HEIGHT "FontHi", 36
#define BANNER_LEFT "StartX", 150
#define BANNER_TOP "StartY", 10

#define WELCOME_PAGE_WIDTH 298
#define WELCOME_PAGE_HEIGHT 125
#define WELCOME_PAGE_TEXTS(PAGE_TEXT)                                                                                \
    PAGE_TEXT("This Setup will help you quickly install Vorel's Windows 95 display driver.",                         \
              IDC_STATIC, 110, 40, 150, 20, WS_GROUP)                                                                \
    PAGE_TEXT("For more information, click Next.", IDC_STATIC, 110, 70, 120, 15, WS_GROUP)

// The finish page ends with its two status lines: where the copy step names
// the file it reads and the file it writes.
#define FINISH_PAGE_WIDTH 276
#define FINISH_PAGE_HEIGHT 140
#define FINISH_PAGE_TEXTS(PAGE_TEXT)                                                                                 \
    PAGE_TEXT("After Setup is complete, you can use Display icon in Control Panel to change the resolution, "        \
              "colors, and refresh rate you want.",                                                                  \
              IDC_STATIC, 110, 40, 158, 29, NOT WS_GROUP)                                                            \
    PAGE_TEXT("Click Finish to start.", IDC_STATIC, 110, 70, 100, 15, WS_GROUP)                                      \
    PAGE_TEXT("", IDC_STATUS_SOURCE, 110, 95, 140, 9, WS_GROUP)                                                      \
    PAGE_TEXT("", IDC_STATUS_DEST, 110, 110, 140, 9, WS_GROUP)

#endif
