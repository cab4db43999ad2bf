// The connect dialog: reads the server's address and starts the connection.
#include "chat_state.h"
#include "dialogs.h"
#include "resource.h"

namespace {

void ConnectToTypedAddress(HWND dialog)
{
    GetDlgItemTextA(dialog, IDC_ADDRESS, chatState.addressText, ADDRESS_TEXT_SIZE);
    RequestConnect();
    EndDialog(dialog, 0);
}

}  // namespace

INT_PTR CALLBACK ConnectDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    if (message == WM_COMMAND && wParam == IDC_CONNECT) {
        ConnectToTypedAddress(dialog);
        return TRUE;
    }
    if ((message == WM_COMMAND && wParam == IDC_CONNECT_CANCEL) || message == WM_CLOSE) {
        EndDialog(dialog, 0);
        return TRUE;
    }
    return FALSE;
}
