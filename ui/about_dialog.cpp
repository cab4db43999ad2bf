// The About dialog: the program's name, version and credits beside its icon.
#include "dialogs.h"
#include "resource.h"

namespace {

// The icon control sizes its window, frame included, to the icon, which leaves the picture less
// room than its own size and shrinks it. The frame is grown around it instead.
void GiveIconItsOwnSize(HWND dialog)
{
    for (HWND control = GetWindow(dialog, GW_CHILD); control; control = GetWindow(control, GW_HWNDNEXT)) {
        if ((GetWindowLongA(control, GWL_STYLE) & SS_TYPEMASK) != SS_ICON)
            continue;
        RECT outer;
        RECT inner;
        GetWindowRect(control, &outer);
        GetClientRect(control, &inner);
        int frameWidth = (outer.right - outer.left) - inner.right;
        int frameHeight = (outer.bottom - outer.top) - inner.bottom;
        SetWindowPos(control, nullptr, 0, 0, GetSystemMetrics(SM_CXICON) + frameWidth,
                     GetSystemMetrics(SM_CYICON) + frameHeight, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

}  // namespace

INT_PTR CALLBACK AboutDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    if (message == WM_INITDIALOG) {
        GiveIconItsOwnSize(dialog);
        return FALSE;
    }
    if ((message == WM_COMMAND && wParam == IDC_ABOUT_OK) || message == WM_CLOSE) {
        EndDialog(dialog, 0);
        return TRUE;
    }
    return FALSE;
}
