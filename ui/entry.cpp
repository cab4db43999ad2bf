// Program entry: start the network layer, run the main chat window, end with its result.
#include "chat_state.h"
#include "dialogs.h"
#include "resource.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    chatState.instance = GetModuleHandleA(nullptr);
    int startError = StartNetwork();
    if (startError != 0)
        ExitProcess(static_cast<UINT>(startError));
    INT_PTR result = DialogBoxParamA(chatState.instance, IDD_START, nullptr, MainDlgProc, 0);
    ExitProcess(static_cast<UINT>(result));
}
