// The About dialog: the program's name, version and credits beside its icon.
#include "dialogs.h"
#include "resource.h"

INT_PTR CALLBACK AboutDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    if ((message == WM_COMMAND && wParam == IDC_ABOUT_OK) || message == WM_CLOSE) {
        EndDialog(dialog, 0);
        return TRUE;
    }
    return FALSE;
}
