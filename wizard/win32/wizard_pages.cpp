// The two wizard pages: the welcome page and the finish page, whose Finish
// button runs the installation.
#include <windows.h>
#include <commctrl.h>
#include <prsht.h>

#include <cstddef>
#include <cstring>

#include "installer/core/setup_state.h"
#include "resources/resource.h"
#include "resources/wizard_pages.h"
#include "installer/run_install.h"
#include "wizard/win32/win32_wizard.h"

namespace {

// The records keep the sizes Windows 95's property sheet knows (the headers'
// PROPSHEETPAGEA_V1_SIZE and PROPSHEETHEADERA_V1_SIZE). The 64-bit test
// build has the same records with pointer-sized fields, hence larger.
const DWORD kPageRecordSize = sizeof(PROPSHEETPAGEA_V1);
const DWORD kSheetRecordSize = offsetof(PROPSHEETHEADERA, pfnCallback) + sizeof(PFNPROPSHEETCALLBACK);
#ifndef _WIN64
static_assert(kPageRecordSize == 40, "Windows 95 page record");
static_assert(kSheetRecordSize == 40, "Windows 95 sheet record");
#endif

// The sheet's buttons.
const int kBackButton = 0x3023;
const int kNextButton = 0x3024;
const int kFinishButton = 0x3025;

// Posted by a page that has become active, behind its button change: the
// sheet has applied the change when it arrives.
const UINT kFocusDefaultButton = WM_APP + 1;

// Gives the keyboard focus to the sheet's default button, or, where that is
// greyed or hidden, to the first usable button of the row. Enabling and
// hiding buttons can take the focus away from every control, and the sheet
// then answers no key but Alt+letters.
void FocusDefaultButton(HWND page) {
    HWND sheet = GetParent(page);
    LRESULT id = SendMessageA(sheet, DM_GETDEFID, 0, 0);
    int order[] = {HIWORD(id) == DC_HASDEFID ? LOWORD(id) : kFinishButton, kFinishButton, kNextButton, kBackButton,
                   IDCANCEL};
    for (int candidate : order) {
        HWND button = GetDlgItem(sheet, candidate);
        if (button != nullptr && IsWindowVisible(button) && IsWindowEnabled(button)) {
            SendMessageA(sheet, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(button), TRUE);
            return;
        }
    }
}

// Puts the sheet in the middle of the screen's work area, as Windows places
// a property sheet whose owner is hidden.
void CentreSheet(HWND page) {
    HWND sheet = GetParent(page);
    RECT area, bounds;
    if (!SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0) || !GetWindowRect(sheet, &bounds)) return;
    int width = bounds.right - bounds.left, height = bounds.bottom - bounds.top;
    SetWindowPos(sheet, nullptr, area.left + (area.right - area.left - width) / 2,
                 area.top + (area.bottom - area.top - height) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// Keeps the logo panel whole on its page whatever the dialog font's metrics
// make of the page's dialog units: where the page is too short for it (Wine's
// fonts make it so), the panel gets shorter and keeps below it the margin it
// has above.
void FitLogoPanel(HWND page, HWND panel) {
    RECT client;
    if (panel == nullptr || !GetClientRect(page, &client)) return;
    const PageRect& at = kLogoPanelRect;
    int height = at.height;
    if (at.y + height > client.bottom) height = client.bottom - 2 * at.y;
    if (height < 0) height = 0;
    SetWindowPos(panel, nullptr, 0, 0, at.width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    InvalidateRect(panel, nullptr, FALSE);
}

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

void SetWizardButtons(HWND page, LPARAM buttons) { PostMessageA(GetParent(page), PSM_SETWIZBUTTONS, 0, buttons); }

// Lets the sheet go on: the page has nothing to object to.
INT_PTR Accept(HWND page) {
    SetWindowLongPtrA(page, DWLP_MSGRESULT, 0);
    return 1;
}

// The banner font, kept for the life of the process.
LOGFONTA g_bannerFont;

}  // namespace

void FillPage(PROPSHEETPAGEA_V1* record, int dialogTemplate, const char* title, DLGPROC procedure) {
    std::memset(record, 0, sizeof *record);
    record->dwSize = kPageRecordSize;
    record->dwFlags = 0;
    record->hInstance = static_cast<HINSTANCE>(g_setup.instance);
    record->pszTemplate = MAKEINTRESOURCEA(dialogTemplate);
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
        // The first page is made when the sheet has its size.
        CentreSheet(page);
        panel = CreateLogoPanel(page);
        FitLogoPanel(page, panel);
        return panel != nullptr ? 1 : 0;
    case WM_SIZE:
        FitLogoPanel(page, panel);
        return 0;
    case kFocusDefaultButton:
        FocusDefaultButton(page);
        return 1;
    case WM_PAINT:
        PaintBanner(page);
        return 0;
    case WM_NOTIFY:
        switch (reinterpret_cast<NMHDR*>(lParam)->code) {
        case PSN_SETACTIVE:
            SetWizardButtons(page, PSWIZB_NEXT);
            PostMessageA(page, kFocusDefaultButton, 0, 0);
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
        FitLogoPanel(page, panel);
        return panel != nullptr ? 1 : 0;
    case WM_SIZE:
        FitLogoPanel(page, panel);
        return 0;
    case kFocusDefaultButton:
        FocusDefaultButton(page);
        return 1;
    case WM_PAINT:
        PaintBanner(page);
        return 0;
    case WM_COMMAND:
        return 1;
    case WM_NOTIFY:
        switch (reinterpret_cast<NMHDR*>(lParam)->code) {
        case PSN_SETACTIVE:
            SetWizardButtons(page, PSWIZB_BACK | PSWIZB_FINISH);
            PostMessageA(page, kFocusDefaultButton, 0, 0);
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
    int height = GetPrivateProfileIntA(BANNER_SECTION, BANNER_HEIGHT, g_setup.setupFile);
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
    HGDIOBJ oldFont = SelectObject(dc, font);
    int oldMode = SetBkMode(dc, TRANSPARENT);
    int x = GetPrivateProfileIntA(BANNER_SECTION, BANNER_LEFT, g_setup.setupFile);
    int y = GetPrivateProfileIntA(BANNER_SECTION, BANNER_TOP, g_setup.setupFile);
    int length = lstrlenA(g_setup.productName);
    // A blue shadow under white letters.
    COLORREF oldColor = SetTextColor(dc, RGB(0, 0, 255));
    TextOutA(dc, x, y, g_setup.productName, length);
    SetTextColor(dc, RGB(255, 255, 255));
    TextOutA(dc, x - 1, y - 1, g_setup.productName, length);
    SetTextColor(dc, oldColor);
    SetBkMode(dc, oldMode);
    SelectObject(dc, oldFont);
    DeleteObject(font);
    EndPaint(page, &paint);
}
