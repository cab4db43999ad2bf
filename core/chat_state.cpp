#include "chat_state.h"

#include <string.h>

ChatState chatState;

namespace {

bool IsConnectUnderWay(int error)
{
    // Windows Sockets 1.1 answers a repeated connect with WSAEINVAL while the first is pending.
    return error == WSAEWOULDBLOCK || error == WSAEALREADY || error == WSAEINVAL ||
           error == WSAEISCONN;
}

// Starts a connect on the stream socket; 0 when it is under way, else the error it failed with.
int StartConnect()
{
    if (connect(chatState.streamSocket, reinterpret_cast<const sockaddr*>(&chatState.serverAddress),
                sizeof chatState.serverAddress) == 0)
        return 0;
    int error = WSAGetLastError();
    return IsConnectUnderWay(error) ? 0 : error;
}

// Some stacks (Wine among them) will not connect again a socket whose attempt failed.
void ReplaceStreamSocket()
{
    closesocket(chatState.streamSocket);
    chatState.streamSocket = socket(AF_INET, SOCK_STREAM, 0);
    WSAAsyncSelect(chatState.streamSocket, chatState.notifyWindow, WM_SOCKET_NOTIFY, SOCKET_EVENTS);
}

// Stands in for an event the platform will not post itself.
void PostSocketEvent(HWND mainWindow, WORD event, int error)
{
    PostMessageA(mainWindow, WM_SOCKET_NOTIFY, chatState.streamSocket, WSAMAKESELECTREPLY(event, error));
}

void ShowLogBatch(HWND mainWindow)
{
    if (chatState.logBatchLength == 0)
        return;
    chatState.logBatch[chatState.logBatchLength] = '\0';
    chatState.logBatchLength = 0;
    bool replace = chatState.batchDroppedLines;
    chatState.batchDroppedLines = false;
    if (replace)
        ReplaceLog(mainWindow, chatState.logBatch);
    else
        AppendToLog(mainWindow, chatState.logBatch);
}

// Drops whole lines from the start of the batch until `needed` bytes are free, and at least a
// share of what it holds. Every text in the batch ends with CR LF, so a cut after one is a line start.
void DropOldestBatchLines(int needed)
{
    int target = chatState.logBatchLength / JUMP_DROP_DIVISOR;
    if (target < needed)
        target = needed;
    int cut = target < 2 ? 2 : target;
    while (cut < chatState.logBatchLength &&
           !(chatState.logBatch[cut - 2] == '\r' && chatState.logBatch[cut - 1] == '\n'))
        ++cut;
    if (cut > chatState.logBatchLength)
        cut = chatState.logBatchLength;
    chatState.logBatchLength -= cut;
    memmove(chatState.logBatch, chatState.logBatch + cut, chatState.logBatchLength);
    chatState.batchDroppedLines = true;
}

// Adds one line to the batch: n bytes, and CR LF after them if they lack one.
void AddLineToBatch(HWND mainWindow, const char* text, int n, bool addLineEnd)
{
    int length = n + (addLineEnd ? 2 : 0);
    if (chatState.logBatchLength + length > JUMP_BUFFER_SIZE && chatState.logLimit > JUMP_BUFFER_SIZE)
        ShowLogBatch(mainWindow);   // the log keeps more than the batch can: nothing need go
    int keep = chatState.logLimit < JUMP_BUFFER_SIZE ? chatState.logLimit : JUMP_BUFFER_SIZE;
    if (chatState.logBatchLength + length > keep)
        DropOldestBatchLines(chatState.logBatchLength + length - keep);
    char* end = chatState.logBatch + chatState.logBatchLength;
    memcpy(end, text, n);
    if (addLineEnd) {
        end[n] = '\r';
        end[n + 1] = '\n';
    }
    chatState.logBatchLength += length;
}

void ShowHeldLine(HWND mainWindow, bool addLineEnd)
{
    AddLineToBatch(mainWindow, chatState.heldLine, chatState.heldLength, addLineEnd);
    chatState.lineEndShownForCr = addLineEnd && chatState.heldLine[chatState.heldLength - 1] == '\r';
    chatState.heldLength = 0;
}

// Held-back text goes to the log, followed by CR LF, when no more of its line will come.
void ShowHeldText(HWND mainWindow)
{
    if (chatState.heldLength > 0)
        ShowHeldLine(mainWindow, true);
}

bool HasLineEnd(const char* text, int n)
{
    if (chatState.lineEndShownForCr && n > 0 && text[0] == '\n')
        return true;
    for (int i = 1; i < n; ++i)
        if (text[i - 1] == '\r' && text[i] == '\n')
            return true;
    return false;
}

// Shows received text by the server's line ends: each line once it is complete.
void TakeInByLines(HWND mainWindow, const char* text, int n)
{
    for (int i = 0; i < n; ++i) {
        if (chatState.lineEndShownForCr) {
            chatState.lineEndShownForCr = false;
            if (text[i] == '\n')
                continue;
        }
        chatState.heldLine[chatState.heldLength++] = text[i];
        int held = chatState.heldLength;
        if (held >= 2 && chatState.heldLine[held - 2] == '\r' && chatState.heldLine[held - 1] == '\n')
            ShowHeldLine(mainWindow, false);
        else if (held == HELD_LINE_SIZE)
            ShowHeldLine(mainWindow, true);
    }
}

// One read's text, its NULs already dropped. A server that never sends a line end sees each read
// shown as a line of its own; the first CR LF it sends hands the lines over to it (docs/protocol.md,
// "How the client shows it").
void TakeInText(HWND mainWindow, const char* text, int n)
{
    if (!chatState.serverEndsLines && !HasLineEnd(text, n)) {
        AddLineToBatch(mainWindow, text, n, true);
        chatState.lineEndShownForCr = n > 0 && text[n - 1] == '\r';
        return;
    }
    chatState.serverEndsLines = true;
    TakeInByLines(mainWindow, text, n);
}

// Sends as much as the socket takes at once: the count sent, or -1 when the socket failed.
// Only a send that would block arms the next write event, so partial sends are retried here.
int SendWhatFits(const char* bytes, int n)
{
    int total = 0;
    while (total < n) {
        int sent = send(chatState.talkSocket, bytes + total, n - total, 0);
        if (sent == SOCKET_ERROR)
            return WSAGetLastError() == WSAEWOULDBLOCK ? total : -1;
        total += sent;
    }
    return total;
}

void KeepInOutbox(const char* bytes, int n)
{
    memcpy(chatState.outbox + chatState.outboxLength, bytes, n);
    chatState.outboxLength += n;
}

void SendOutbox(HWND mainWindow)
{
    if (chatState.outboxLength == 0)
        return;
    int sent = SendWhatFits(chatState.outbox, chatState.outboxLength);
    if (sent < 0) {
        chatState.outboxLength = 0;
        AlertBeep(mainWindow);
        return;
    }
    chatState.outboxLength -= sent;
    memmove(chatState.outbox, chatState.outbox + sent, chatState.outboxLength);
}

bool InputWaits(HWND mainWindow)
{
    unsigned work = PendingWindowWork(mainWindow);
    return (work & WINDOW_INPUT_WAITS) && !(work & WINDOW_UNSEEN);
}

enum ReadsEnd { READS_END_AT_BOUND, READS_END_FOR_INPUT };

void TakeInReads(HWND mainWindow, int maxReads, ReadsEnd end)
{
    chatState.logLimit = LogLimit(mainWindow);
    for (int i = 0; i < maxReads && TakeInChunk(mainWindow) > 0; ++i) {
        if (end == READS_END_FOR_INPUT && (i + 1) % READS_BETWEEN_INPUT_CHECKS == 0 && InputWaits(mainWindow))
            return;
    }
}

// Windows Sockets posts a read event after every read that leaves data behind: a thousand spare
// events for one event's reads, each to be dispatched before the log may paint. So read events are
// held off while an event reads; arming them again posts one if data is left.
void TakeInReadsHoldingEvents(HWND mainWindow)
{
    // Before the connection, arming the events again could leave out the connect event.
    if (!chatState.connected) {
        TakeInReads(mainWindow, READS_PER_EVENT, READS_END_FOR_INPUT);
        return;
    }
    WSAAsyncSelect(chatState.talkSocket, chatState.notifyWindow, WM_SOCKET_NOTIFY, EVENTS_WHILE_READING);
    TakeInReads(mainWindow, READS_PER_EVENT, READS_END_FOR_INPUT);
    WSAAsyncSelect(chatState.talkSocket, chatState.notifyWindow, WM_SOCKET_NOTIFY, EVENTS_AFTER_READING);
}

// Posted socket events go before keys and painting, so a server that never pauses would starve
// both. A read event skipped here is not posted again by Windows Sockets until recv is called, so
// every pause has a way out that calls ResumeReading.
void OnReadEvent(HWND mainWindow)
{
    // A read event adds nothing while a pause awaits its way out or another read event waits in
    // the queue (one posted by ResumeReading and one by arming the events again, say).
    if (chatState.readPause != READ_PAUSE_NONE || ReadEventWaits(mainWindow))
        return;
    unsigned work = PendingWindowWork(mainWindow);
    ReadPause pause = READ_PAUSE_NONE;
    if (work & WINDOW_UNSEEN)
        pause = READ_PAUSE_NONE;
    else if (chatState.dialogsOpen > 0)
        pause = work & (WINDOW_INPUT_WAITS | WINDOW_LOG_REPAINT_WAITS) ? READ_PAUSE_FOR_DIALOG : READ_PAUSE_NONE;
    else if (work & WINDOW_LOG_REPAINT_WAITS)
        pause = READ_PAUSE_FOR_REPAINT;
    else if (work & WINDOW_INPUT_WAITS)
        pause = READ_PAUSE_FOR_INPUT;
    if (pause == READ_PAUSE_FOR_INPUT)
        AskLogRepaint(mainWindow);
    chatState.readPause = pause;
    if (pause != READ_PAUSE_NONE)
        return;
    TakeInReadsHoldingEvents(mainWindow);
    ShowLogBatch(mainWindow);
}

void StartConnection()
{
    chatState.connected = true;
    chatState.serverEndsLines = false;
    chatState.lineEndShownForCr = false;
    chatState.heldLength = 0;
}

}  // namespace

int StartNetwork()
{
    int error = WSAStartup(WINSOCK_VERSION_1_1, &chatState.winsockData);
    if (error != 0)
        return error;
    chatState.streamSocket = socket(AF_INET, SOCK_STREAM, 0);
    chatState.serverAddress.sin_family = AF_INET;
    chatState.serverAddress.sin_port = htons(static_cast<unsigned short>(chatState.serverPort & 0xFFFF));
    return 0;
}

void ArmNotifications(HWND mainWindow)
{
    chatState.notifyWindow = mainWindow;
    WSAAsyncSelect(chatState.streamSocket, mainWindow, WM_SOCKET_NOTIFY, SOCKET_EVENTS);
}

void RequestConnect()
{
    if (chatState.networkReleased)
        return;
    chatState.serverAddress.sin_addr.s_addr = inet_addr(chatState.addressText);
    bool retrying = chatState.lastConnectFailed;
    chatState.lastConnectFailed = false;
    int error = StartConnect();
    if (error != 0 && retrying) {
        ReplaceStreamSocket();
        error = StartConnect();
    }
    chatState.talkSocket = chatState.streamSocket;
    // A connect that fails at once brings no connect event; the one posted in its place is
    // reported like any failed attempt, once the connect dialog has closed.
    if (error != 0)
        PostSocketEvent(chatState.notifyWindow, FD_CONNECT, error);
}

void SendTypedLine(HWND mainWindow)
{
    int n = ReadInput(mainWindow, chatState.sendLine, LINE_SIZE);
    if (n <= 0)
        return;
    // Behind bytes already waiting, a line must wait too, or it would overtake them. One that
    // cannot wait stays in the input line, to be sent again once the server reads.
    if (chatState.outboxLength > 0 && n > OUTBOX_SIZE - chatState.outboxLength) {
        AlertBeep(mainWindow);
        return;
    }
    chatState.sendLine[n] = '\r';
    chatState.sendLine[n + 1] = '\n';
    chatState.sendLine[n + 2] = '\0';
    ShowLogBatch(mainWindow);
    AppendToLog(mainWindow, chatState.sendLine);

    int sent = chatState.outboxLength == 0 ? SendWhatFits(chatState.sendLine, n) : 0;
    if (sent < 0)
        AlertBeep(mainWindow);
    else
        KeepInOutbox(chatState.sendLine + sent, n - sent);

    memset(chatState.sendLine, 0, sizeof chatState.sendLine);
    ClearInput(mainWindow);
}

BOOL OnSocketNotify(HWND mainWindow, WPARAM wParam, LPARAM lParam)
{
    // Events of a socket already replaced or closed may still be queued; they are not ours.
    if (chatState.networkReleased || chatState.connectionLost ||
        static_cast<SOCKET>(wParam) != chatState.streamSocket)
        return TRUE;
    WORD event = WSAGETSELECTEVENT(lParam);
    WORD error = WSAGETSELECTERROR(lParam);

    if (event == FD_CONNECT) {
        ShowLogBatch(mainWindow);
        if (error == 0) {
            StartConnection();
            ShowNotice(mainWindow, CAPTION_CONNECTED, TEXT_CONNECTED_NOTICE);
            SetStatus(mainWindow, TEXT_CONNECTED);
        } else {
            chatState.lastConnectFailed = true;
            ShowNotice(mainWindow, CAPTION_NO_CONNECTION, TEXT_NO_CONNECTION);
        }
    }
    if (event == FD_READ)
        OnReadEvent(mainWindow);
    if (event == FD_WRITE)
        SendOutbox(mainWindow);
    if (event == FD_CLOSE) {
        chatState.connectionLost = true;
        // No event of this connection is wanted any more, and each of the drain's reads would
        // post one. What the server sent before it closed is still shown, within the bound of one
        // read event.
        WSAAsyncSelect(chatState.talkSocket, mainWindow, 0, 0);
        TakeInReads(mainWindow, READS_PER_EVENT, READS_END_AT_BOUND);
        ShowHeldText(mainWindow);
        ShowLogBatch(mainWindow);
        ShowNotice(mainWindow, CAPTION_CONNECTION_LOST, TEXT_CONNECTION_LOST);
        CloseDown(mainWindow);
    }
    return TRUE;
}

int TakeInChunk(HWND mainWindow)
{
    int n = recv(chatState.talkSocket, chatState.receiveChunk, CHUNK_SIZE, 0);
    if (n == SOCKET_ERROR || n == 0)
        return n;
    UnmaskChunk(chatState.receiveChunk, n);

    // A NUL would end the text early when the log takes it, so NULs are dropped as a terminal does.
    int kept = 0;
    for (int i = 0; i < n; ++i)
        if (chatState.receiveChunk[i] != '\0')
            chatState.receiveChunk[kept++] = chatState.receiveChunk[i];
    TakeInText(mainWindow, chatState.receiveChunk, kept);
    memset(chatState.receiveChunk, 0, sizeof chatState.receiveChunk);
    return n;
}

void ResumeReading(HWND mainWindow)
{
    if (chatState.readPause == READ_PAUSE_NONE)
        return;
    chatState.readPause = READ_PAUSE_NONE;
    PostSocketEvent(mainWindow, FD_READ, 0);
}

void LogPainted(HWND mainWindow)
{
    if (chatState.readPause == READ_PAUSE_FOR_INPUT || chatState.readPause == READ_PAUSE_FOR_REPAINT)
        ResumeReading(mainWindow);
}

void DialogOpening(HWND)
{
    ++chatState.dialogsOpen;
    chatState.readPause = READ_PAUSE_FOR_DIALOG;
}

void DialogEnded(HWND mainWindow)
{
    --chatState.dialogsOpen;
    ResumeReading(mainWindow);
}

BOOL CloseDown(HWND mainWindow)
{
    if (!chatState.networkReleased) {
        chatState.networkReleased = true;
        closesocket(chatState.streamSocket);
        WSACleanup();
    }
    EndMainWindow(mainWindow);
    return TRUE;
}
