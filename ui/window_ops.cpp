// The main window's operations that the chat core shows its work through.
#include "chat_state.h"
#include "resource.h"

namespace {

constexpr UINT BEEP_SIMPLE = 0xFFFFFFFF;
// A full log drops at least this share of its text at once, so that trimming is rare.
constexpr int TRIM_SHARE_DIVISOR = 4;

struct LogView {
    DWORD selectionStart;
    DWORD selectionEnd;
    int firstVisibleLine;
    int horizontalPosition;
};

LRESULT SendLog(HWND log, UINT message, WPARAM wParam = 0, LPARAM lParam = 0)
{
    return SendMessageA(log, message, wParam, lParam);
}

LogView ReadLogView(HWND log)
{
    LogView view;
    SendLog(log, EM_GETSEL, reinterpret_cast<WPARAM>(&view.selectionStart),
            reinterpret_cast<LPARAM>(&view.selectionEnd));
    view.firstVisibleLine = static_cast<int>(SendLog(log, EM_GETFIRSTVISIBLELINE));
    view.horizontalPosition = GetScrollPos(log, SB_HORZ);
    return view;
}

// Removes whole lines from the start of the log until at least `needed` characters are gone,
// and at least a share of the log. Returns the characters and lines removed.
void DropOldestLines(HWND log, int logLength, int needed, int* droppedChars, int* droppedLines)
{
    int target = logLength / TRIM_SHARE_DIVISOR;
    if (target < needed)
        target = needed;
    int line = static_cast<int>(SendLog(log, EM_LINEFROMCHAR, target));
    int cut = static_cast<int>(SendLog(log, EM_LINEINDEX, line));
    if (cut < target) {
        ++line;
        cut = static_cast<int>(SendLog(log, EM_LINEINDEX, line));
    }
    // One line longer than all the rest has no start to cut at: its oldest part goes.
    if (cut < target) {
        cut = target;
        --line;
    }
    SendLog(log, EM_SETSEL, 0, cut);
    SendLog(log, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(""));
    *droppedChars = cut;
    *droppedLines = line;
}

DWORD ShiftBack(DWORD position, int dropped)
{
    return position > static_cast<DWORD>(dropped) ? position - dropped : 0;
}

void RestoreLogView(HWND log, const LogView& view, int droppedChars, int droppedLines)
{
    SendLog(log, EM_SETSEL, ShiftBack(view.selectionStart, droppedChars),
            ShiftBack(view.selectionEnd, droppedChars));
    int wantedFirstLine = view.firstVisibleLine - droppedLines;
    if (wantedFirstLine < 0)
        wantedFirstLine = 0;
    int firstLine = static_cast<int>(SendLog(log, EM_GETFIRSTVISIBLELINE));
    SendLog(log, EM_LINESCROLL, 0, wantedFirstLine - firstLine);
    SendLog(log, WM_HSCROLL, MAKEWPARAM(SB_THUMBPOSITION, view.horizontalPosition));
}

}  // namespace

// New text always goes at the end of the log. The log follows it only while the caret stood at
// the end; otherwise the user's selection and scroll position stay. The log keeps the edit
// control's own limit: when new text would not fit, the oldest lines go first, in one large step.
void AppendToLog(HWND mainWindow, const char* text)
{
    HWND log = GetDlgItem(mainWindow, IDC_LOG);
    int limit = static_cast<int>(SendLog(log, EM_GETLIMITTEXT));
    int textLength = lstrlenA(text);
    if (textLength > limit) {
        text += textLength - limit;
        textLength = limit;
    }
    int logLength = GetWindowTextLengthA(log);
    LogView view = ReadLogView(log);
    bool follow = view.selectionStart == view.selectionEnd &&
                  view.selectionEnd == static_cast<DWORD>(logLength);

    // The trim and the insertion share one repaint.
    SendLog(log, WM_SETREDRAW, FALSE);
    int droppedChars = 0;
    int droppedLines = 0;
    if (logLength + textLength > limit) {
        DropOldestLines(log, logLength, logLength + textLength - limit, &droppedChars,
                        &droppedLines);
        logLength -= droppedChars;
    }
    SendLog(log, EM_SETSEL, logLength, logLength);
    SendLog(log, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text));
    if (!follow)
        RestoreLogView(log, view, droppedChars, droppedLines);
    SendLog(log, WM_SETREDRAW, TRUE);
    RedrawWindow(log, nullptr, nullptr, RDW_ERASE | RDW_FRAME | RDW_INVALIDATE);
}

void ReplaceLog(HWND mainWindow, const char* text)
{
    HWND log = GetDlgItem(mainWindow, IDC_LOG);
    int logLength = GetWindowTextLengthA(log);
    LogView view = ReadLogView(log);
    bool follow = view.selectionStart == view.selectionEnd &&
                  view.selectionEnd == static_cast<DWORD>(logLength);
    SetWindowTextA(log, text);
    // The text the user was reading is gone; a caret that followed the end still does.
    if (follow) {
        int newLength = GetWindowTextLengthA(log);
        SendLog(log, EM_SETSEL, newLength, newLength);
        SendLog(log, EM_SCROLLCARET);
    }
}

int LogLimit(HWND mainWindow)
{
    return static_cast<int>(SendDlgItemMessageA(mainWindow, IDC_LOG, EM_GETLIMITTEXT, 0, 0));
}

void SetStatus(HWND mainWindow, const char* text)
{
    SetDlgItemTextA(mainWindow, IDC_STATUS, text);
}

void ShowNotice(HWND mainWindow, const char* caption, const char* text)
{
    MessageBoxA(mainWindow, text, caption, MB_OK);
}

void AlertBeep(HWND)
{
    MessageBeep(BEEP_SIMPLE);
}

int ReadInput(HWND mainWindow, char* buffer, int size)
{
    return static_cast<int>(GetDlgItemTextA(mainWindow, IDC_INPUT, buffer, size));
}

void ClearInput(HWND mainWindow)
{
    SetDlgItemTextA(mainWindow, IDC_INPUT, "");
}

void EndMainWindow(HWND mainWindow)
{
    EndDialog(mainWindow, 0);
}

unsigned PendingWindowWork(HWND mainWindow)
{
    if (IsIconic(mainWindow) || !IsWindowVisible(mainWindow))
        return WINDOW_UNSEEN;
    unsigned work = 0;
    if (GetUpdateRect(GetDlgItem(mainWindow, IDC_LOG), nullptr, FALSE))
        work |= WINDOW_LOG_REPAINT_WAITS;
    // What was typed is seen only once the input line paints.
    if (HIWORD(GetQueueStatus(QS_INPUT)) != 0 || GetUpdateRect(GetDlgItem(mainWindow, IDC_INPUT), nullptr, FALSE))
        work |= WINDOW_INPUT_WAITS;
    return work;
}

// Painting comes after input. An internal paint is a flag, not a region, so no window over the
// log and no edge of the screen can clip it away.
void AskLogRepaint(HWND mainWindow)
{
    RedrawWindow(GetDlgItem(mainWindow, IDC_LOG), nullptr, nullptr, RDW_INTERNALPAINT);
}

BOOL ReadEventWaits(HWND mainWindow)
{
    MSG next;
    return PeekMessageA(&next, mainWindow, WM_SOCKET_NOTIFY, WM_SOCKET_NOTIFY, PM_NOREMOVE) &&
           WSAGETSELECTEVENT(next.lParam) == FD_READ && next.wParam == chatState.streamSocket;
}
