// The main chat window: hands the user's commands and the socket events to the chat core.
#include "chat_state.h"
#include "dialogs.h"
#include "resource.h"

namespace {

// The core's line buffer holds LINE_SIZE bytes with the NUL, so one more typed character
// would be lost when the line is read.
constexpr WPARAM INPUT_LIMIT = LINE_SIZE - 1;

const char WELCOME_LINE[] = "\xAB Welcome to Velmora! \xBB\r\n\r\n";

void InitMainWindow(HWND window)
{
    AppendToLog(window, WELCOME_LINE);
    ArmNotifications(window);
    SendDlgItemMessageA(window, IDC_INPUT, EM_LIMITTEXT, INPUT_LIMIT, 0);
    SetStatus(window, TEXT_NOT_CONNECTED);
}

// Wine's log hands Enter to the default button by giving it the focus; hidden, it would then swallow
// every key. The focus goes back to the log, where Windows leaves it.
void KeepFocusOffSendButton(HWND window)
{
    if (GetFocus() == GetDlgItem(window, IDC_SEND))
        SetFocus(GetDlgItem(window, IDC_LOG));
}

// Reading waits while a dialog is being shown: the dialog appears only once the message queue
// runs dry, which a busy room's read events would never let happen.
void RunDialog(HWND window, const char* name, DLGPROC procedure)
{
    DialogOpening(window);
    DialogBoxParamA(chatState.instance, name, window, procedure, 0);
    DialogEnded(window);
}

// Matched against the whole wParam: only notification code 0 (a click, a menu choice or the
// Enter key's press of the default button) is a command here.
INT_PTR RunMainCommand(HWND window, WPARAM command)
{
    switch (command) {
    case IDM_CONNECT:
        RunDialog(window, IDD_CONN, ConnectDlgProc);
        return TRUE;
    case IDM_ABOUT:
        RunDialog(window, IDD_ABOUT, AboutDlgProc);
        return TRUE;
    case IDM_EXIT:
    case IDC_EXIT:
        return CloseDown(window);
    case IDC_SEND:
        SendTypedLine(window);
        KeepFocusOffSendButton(window);
        return TRUE;
    }
    return FALSE;
}

}  // namespace

INT_PTR CALLBACK MainDlgProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        InitMainWindow(window);
        return TRUE;
    case WM_COMMAND:
        return RunMainCommand(window, wParam);
    case WM_CLOSE:
        return CloseDown(window);
    case WM_SOCKET_NOTIFY:
        return OnSocketNotify(window, wParam, lParam);
    // The ways out of a read pause. The log paints only after the input waiting before it: the
    // user has had a turn. A minimised or hidden window paints nothing. A dialog, notice or menu
    // over the window tells it when its own loop has nothing left to do. The colours stay the
    // platform's.
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
        if (reinterpret_cast<HWND>(lParam) == GetDlgItem(window, IDC_LOG))
            LogPainted(window);
        return FALSE;
    case WM_SIZE:
        if (wParam == SIZE_MINIMIZED)
            ResumeReading(window);
        return FALSE;
    case WM_SHOWWINDOW:
        if (!wParam)
            ResumeReading(window);
        return FALSE;
    case WM_ENTERIDLE:
        ResumeReading(window);
        return FALSE;
    }
    return FALSE;
}
