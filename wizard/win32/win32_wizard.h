// The Windows front end: the hidden main window, the two wizard pages and the
// logo panel.
#ifndef VSETUP_WIZARD_WIN32_WIZARD_H
#define VSETUP_WIZARD_WIN32_WIZARD_H

#include <windows.h>
#include <prsht.h>

extern const char kMainClassName[];  // "VorelWClass"
extern const char kLogoClassName[];  // "BmpWClass"

// Registers the main window's class, then the logo panel's. 0 when either
// fails.
int RegisterClasses(HINSTANCE instance);
// The main window: never shown; creating it shows the wizard.
HWND CreateMainWindow(HINSTANCE instance);
LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Runs the wizard modally, owned by owner.
void ShowWizard(HWND owner, HINSTANCE instance);
// Fills a Windows 95 sized page record for template with procedure.
void FillPage(PROPSHEETPAGEA_V1* record, int dialogTemplate, const char* title, DLGPROC procedure);
INT_PTR CALLBACK WelcomePageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK FinishPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
// Paints the product name in the page's banner.
void PaintBanner(HWND page);

// The framed vendor logo at the left of each page.
LRESULT CALLBACK BmpWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

#endif
