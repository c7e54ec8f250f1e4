// The logo panel: the vendor bitmap stretched into a sunken frame.
#include <windows.h>

#include "installer/core/setup_state.h"
#include "wizard/win32/win32_wizard.h"

namespace {

struct LogoBitmap {
    HBITMAP handle;
    LONG width;
    LONG height;
};

// One record for the process: each panel loads the bitmap into it.
LogoBitmap g_logo;

void PaintPanel(HWND window) {
    RECT bounds;
    GetWindowRect(window, &bounds);
    int width = bounds.right - bounds.left;
    int height = bounds.bottom - bounds.top;

    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    // Grey above and to the left, white below and to the right: sunken.
    HPEN grey = CreatePen(PS_SOLID, 1, RGB(128, 128, 128));
    HGDIOBJ oldPen = SelectObject(dc, grey);
    MoveToEx(dc, 0, height - 2, nullptr);
    LineTo(dc, 0, 0);
    LineTo(dc, width, 0);
    SelectObject(dc, GetStockObject(WHITE_PEN));
    MoveToEx(dc, width - 1, 0, nullptr);
    LineTo(dc, width - 1, height - 1);
    LineTo(dc, 0, height - 1);
    SelectObject(dc, oldPen);
    DeleteObject(grey);

    HDC memory = CreateCompatibleDC(dc);
    HGDIOBJ oldBitmap = SelectObject(memory, g_logo.handle);
    StretchBlt(dc, 1, 1, width - 2, height - 2, memory, 0, 0, g_logo.width, g_logo.height, SRCCOPY);
    SelectObject(memory, oldBitmap);
    DeleteDC(memory);
    EndPaint(window, &paint);
}

}  // namespace

LRESULT CALLBACK BmpWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE: {
        g_logo.handle = LoadBitmapA(static_cast<HINSTANCE>(g_setup.instance), "logo");
        BITMAP info;
        if (g_logo.handle != nullptr && GetObjectA(g_logo.handle, sizeof info, &info)) {
            g_logo.width = info.bmWidth;
            g_logo.height = info.bmHeight;
        }
        InvalidateRect(window, nullptr, FALSE);
        return 0;
    }
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_PAINT:
        PaintPanel(window);
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}
