// The two wizard pages: the welcome page and the finish page, whose Finish
// button runs the installation.
#include <windows.h>
#include <commctrl.h>
#include <prsht.h>

#include <cstddef>
#include <cstring>

#include "core/setup_state.h"
#include "resources/resource.h"
#include "wizard/run_install.h"
#include "wizard/win32/win32_wizard.h"

namespace {

// The records keep the sizes Windows 95's property sheet knows (the headers'
// PROPSHEETPAGEA_V1_SIZE and PROPSHEETHEADERA_V1_SIZE).
const DWORD kPageRecordSize = sizeof(PROPSHEETPAGEA_V1);
const DWORD kSheetRecordSize = offsetof(PROPSHEETHEADERA, pfnCallback) + sizeof(PFNPROPSHEETCALLBACK);
static_assert(kPageRecordSize == 40, "Windows 95 page record");
static_assert(kSheetRecordSize == 40, "Windows 95 sheet record");

// The sheet's Next button.
const int kNextButton = 0x3024;

// The logo panel at the left of a page.
HWND CreateLogoPanel(HWND page) {
    const PageRect& at = kLogoPanelRect;
    HWND panel = CreateWindowA(kLogoClassName, "", WS_CHILD, at.x, at.y, at.width, at.height, page, nullptr,
                               static_cast<HINSTANCE>(g_setup.instance), nullptr);
    if (panel != nullptr) {
        ShowWindow(panel, SW_SHOWNORMAL);
        UpdateWindow(panel);
    }
    return panel;
}

void SetWizardButtons(HWND page, LPARAM buttons) {
    PostMessageA(GetParent(page), PSM_SETWIZBUTTONS, 0, buttons);
}

// Lets the sheet go on: the page has nothing to object to.
INT_PTR Accept(HWND page) {
    SetWindowLongA(page, DWL_MSGRESULT, 0);
    return 1;
}

// The banner font, kept for the life of the process.
LOGFONTA g_bannerFont;

}  // namespace

void FillPage(PROPSHEETPAGEA_V1* record, int dialog_template, const char* title, DLGPROC procedure) {
    std::memset(record, 0, sizeof *record);
    record->dwSize = kPageRecordSize;
    record->dwFlags = 0;
    record->hInstance = static_cast<HINSTANCE>(g_setup.instance);
    record->pszTemplate = MAKEINTRESOURCEA(dialog_template);
    record->hIcon = nullptr;
    record->pszTitle = title;
    record->pfnDlgProc = procedure;
    record->lParam = 0;
}

void ShowWizard(HWND owner, HINSTANCE) {
    PROPSHEETPAGEA_V1 pages[2];
    FillPage(&pages[0], IDD_WELCOME, "", WelcomePageProc);
    FillPage(&pages[1], IDD_FINISH, "", FinishPageProc);

    PROPSHEETHEADERA sheet;
    std::memset(&sheet, 0, sizeof sheet);
    sheet.dwSize = kSheetRecordSize;
    sheet.dwFlags = PSH_PROPSHEETPAGE | PSH_WIZARD | PSH_NOAPPLYNOW;
    sheet.hwndParent = owner;
    sheet.pszCaption = "";
    sheet.nPages = 2;
    sheet.nStartPage = 0;
    sheet.ppsp = reinterpret_cast<LPCPROPSHEETPAGEA>(pages);
    PropertySheetA(&sheet);
}

INT_PTR CALLBACK WelcomePageProc(HWND page, UINT message, WPARAM, LPARAM lParam) {
    static HWND panel;
    switch (message) {
    case WM_INITDIALOG:
        panel = CreateLogoPanel(page);
        return panel != nullptr ? 1 : 0;
    case WM_PAINT:
        PaintBanner(page);
        return 0;
    case WM_NOTIFY:
        switch (reinterpret_cast<NMHDR*>(lParam)->code) {
        case PSN_SETACTIVE:
            SetWizardButtons(page, PSWIZB_NEXT);
            // A plain push button: Enter does not skip the welcome.
            SendMessageA(GetDlgItem(GetParent(page), kNextButton), BM_SETSTYLE, BS_PUSHBUTTON, FALSE);
            return 1;
        case PSN_KILLACTIVE:
        case PSN_RESET:
            return Accept(page);
        case PSN_WIZNEXT:
            return 1;
        case PSN_QUERYCANCEL:
            if (panel != nullptr) {
                DestroyWindow(panel);
                panel = nullptr;
            }
            PostQuitMessage(0);
            return 1;
        default:
            return 0;
        }
    default:
        return 0;
    }
}

INT_PTR CALLBACK FinishPageProc(HWND page, UINT message, WPARAM, LPARAM lParam) {
    static HWND panel;
    switch (message) {
    case WM_INITDIALOG:
        panel = CreateLogoPanel(page);
        return panel != nullptr ? 1 : 0;
    case WM_PAINT:
        PaintBanner(page);
        return 0;
    case WM_COMMAND:
        return 1;
    case WM_NOTIFY:
        switch (reinterpret_cast<NMHDR*>(lParam)->code) {
        case PSN_SETACTIVE:
            SetWizardButtons(page, PSWIZB_BACK | PSWIZB_FINISH);
            return 1;
        case PSN_KILLACTIVE:
        case PSN_RESET:
            return Accept(page);
        case PSN_WIZNEXT:
            return 1;
        case PSN_WIZFINISH:
            SetWizardButtons(page, PSWIZB_FINISH);
            RunInstall(page);
            PostQuitMessage(0);
            return 1;
        case PSN_QUERYCANCEL:
            PostQuitMessage(0);
            return 1;
        default:
            return 0;
        }
    default:
        return 0;
    }
}

void PaintBanner(HWND page) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(page, &paint);
    int height = GetPrivateProfileIntA("Banner", "FontHi", 36, g_setup.setupFile);
    g_bannerFont.lfHeight = -height;
    g_bannerFont.lfWidth = 0;
    g_bannerFont.lfEscapement = 0;
    g_bannerFont.lfOrientation = 0;
    g_bannerFont.lfWeight = FW_BOLD;
    g_bannerFont.lfItalic = 255;
    g_bannerFont.lfUnderline = 0;
    g_bannerFont.lfStrikeOut = 0;
    g_bannerFont.lfCharSet = ANSI_CHARSET;
    g_bannerFont.lfOutPrecision = OUT_STROKE_PRECIS;
    g_bannerFont.lfClipPrecision = CLIP_STROKE_PRECIS;
    g_bannerFont.lfQuality = DRAFT_QUALITY;
    g_bannerFont.lfPitchAndFamily = VARIABLE_PITCH | FF_ROMAN;
    lstrcpyA(g_bannerFont.lfFaceName, "Times N");
    HFONT font = CreateFontIndirectA(&g_bannerFont);
    HGDIOBJ old_font = SelectObject(dc, font);
    int old_mode = SetBkMode(dc, TRANSPARENT);
    int x = GetPrivateProfileIntA("Banner", "StartX", 150, g_setup.setupFile);
    int y = GetPrivateProfileIntA("Banner", "StartY", 10, g_setup.setupFile);
    int length = lstrlenA(g_setup.productName);
    // A blue shadow under white letters.
    COLORREF old_color = SetTextColor(dc, RGB(0, 0, 255));
    TextOutA(dc, x, y, g_setup.productName, length);
    SetTextColor(dc, RGB(255, 255, 255));
    TextOutA(dc, x - 1, y - 1, g_setup.productName, length);
    SetTextColor(dc, old_color);
    SetBkMode(dc, old_mode);
    SelectObject(dc, old_font);
    DeleteObject(font);
    EndPaint(page, &paint);
}
