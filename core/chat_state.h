#pragma once

// The host's Windows, or for the unit tests their fakes: the build puts one on the include path.
#include "platform_api.h"
#include "wire_protocol.h"

// Socket events reach the main window as this private message.
constexpr UINT WM_SOCKET_NOTIFY = WM_USER + 100;
// Write readiness is armed too, so that bytes a send could not take are sent later, in order.
constexpr long SOCKET_EVENTS = FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE;
// While a read event reads, and after it. Arming FD_CONNECT once connected would report the
// standing connection again.
constexpr long EVENTS_WHILE_READING = FD_WRITE | FD_CLOSE;
constexpr long EVENTS_AFTER_READING = FD_READ | FD_WRITE | FD_CLOSE;
constexpr WORD WINSOCK_VERSION_1_1 = 0x0101;
constexpr DWORD SERVER_PORT = 1024;
// A handle that names no socket: sends on it fail.
constexpr SOCKET NO_SOCKET = 0;

constexpr int ADDRESS_TEXT_SIZE = 16;   // the longest dotted IPv4 address and a NUL
constexpr int LINE_SIZE = 256;          // typed characters and a NUL
constexpr int CHUNK_SIZE = 256;         // bytes taken in per read
constexpr int LINE_END_ROOM = 3;        // CR, LF and NUL after a line
// Received text after the server's last line end waits here for the rest of its line; a line
// that grows this long without one is shown as it is, so that nothing waits for ever.
constexpr int HELD_LINE_SIZE = 256;
// Typed bytes that the socket could not take at once wait here for the write event: some
// four minutes of steady typing, enough for a server that stops reading for a while.
constexpr int OUTBOX_SIZE = 65536;
// One read event takes in at most this many reads (1 MiB), so that painting and other programs'
// questions get their turn: under 32-bit Wine on two cores they take some 0.7 s, and the one
// update of the log that ends the event a fifth as long. Fewer reads per event would show a flood
// slower, since each costs an update; more would keep the log's repaint waiting.
constexpr int READS_PER_EVENT = 4096;
// Keys or clicks that arrive while an event reads end its reads after at most this many more (a
// hundredth of a second), so that typing waits for one update of the log, not a whole event.
constexpr int READS_BETWEEN_INPUT_CHECKS = 64;
// What one read event brings reaches the log in one update, since every update makes the log
// lay out its whole text anew. Of a flood, the buffer keeps only the newest whole lines, as many
// as the log holds (Windows' usual limit is 32,767 characters, Wine's 30,000): the log would drop
// the rest before anyone could read it.
constexpr int JUMP_BUFFER_SIZE = 32768;
// A full jump buffer drops at least this share of its lines at once, so that it moves text rarely.
constexpr int JUMP_DROP_DIVISOR = 4;

// Why reading waits. Each pause has a way out that is sure to come: the log's repaint, the
// window going out of sight, or a dialog, notice or menu over the window running out of work.
enum ReadPause {
    READ_PAUSE_NONE,
    READ_PAUSE_FOR_INPUT,     // keys or clicks wait; a repaint of the log was asked to follow them
    READ_PAUSE_FOR_REPAINT,   // the log's repaint waits
    // A dialog over the window waits to be shown, or keys or the log's repaint wait under it: a
    // dialog is shown only once the message queue runs dry, which read events would never let it
    // do, and it paints when the queue drains for the log's repaint. Its loop tells the window
    // when it has nothing left to do, and the dialog's end ends the pause too.
    READ_PAUSE_FOR_DIALOG,
};

// What waits to be done in the main window, as PendingWindowWork reports it.
constexpr unsigned WINDOW_UNSEEN = 1;        // minimised or hidden: it does not paint at all
constexpr unsigned WINDOW_INPUT_WAITS = 2;
constexpr unsigned WINDOW_LOG_REPAINT_WAITS = 4;

struct ChatState {
    WSADATA winsockData;
    sockaddr_in serverAddress;
    HINSTANCE instance;
    SOCKET streamSocket;
    SOCKET talkSocket;
    char addressText[ADDRESS_TEXT_SIZE];
    DWORD serverPort = SERVER_PORT;
    char sendLine[LINE_SIZE + LINE_END_ROOM];
    char receiveChunk[CHUNK_SIZE + LINE_END_ROOM];

    HWND notifyWindow;           // where socket events go; a replacement socket is armed to it too
    bool lastConnectFailed;      // the next attempt may need a fresh socket
    bool networkReleased;        // CloseDown has closed the socket and released the network layer
    bool connected;              // the connect event reported success; connect events are done
    bool connectionLost;         // the close is being reported; arming events again may repeat it
    ReadPause readPause;
    int dialogsOpen;             // dialogs of the main window's own over it, from open to end
    char outbox[OUTBOX_SIZE];
    int outboxLength;

    // The server's line ends, once it has sent one on this connection, decide the log's lines.
    bool serverEndsLines;
    // What was shown last ended with a received CR that the client followed with its own line
    // end; an LF arriving next is that line end's, not a line of its own.
    bool lineEndShownForCr;
    char heldLine[HELD_LINE_SIZE];
    int heldLength;

    int logLimit;                // the log's limit in characters, asked of the log per read event
    char logBatch[JUMP_BUFFER_SIZE + 1];
    int logBatchLength;
    bool batchDroppedLines;      // older lines than the batch's are gone: the log shows only it
};

extern ChatState chatState;

int StartNetwork();
void ArmNotifications(HWND mainWindow);
void RequestConnect();
void SendTypedLine(HWND mainWindow);
BOOL OnSocketNotify(HWND mainWindow, WPARAM wParam, LPARAM lParam);
int TakeInChunk(HWND mainWindow);
BOOL CloseDown(HWND mainWindow);
// Ends a read pause; the main window calls it for every way out of one.
void ResumeReading(HWND mainWindow);
// The log has painted: the way out of a pause for input or for the log's repaint.
void LogPainted(HWND mainWindow);
// Around each dialog that the main window runs over itself.
void DialogOpening(HWND mainWindow);
void DialogEnded(HWND mainWindow);

// What the chat core shows goes through these operations of the main window.
void AppendToLog(HWND mainWindow, const char* text);
// Replaces all of the log's text, for when every line it holds is older than text already dropped.
void ReplaceLog(HWND mainWindow, const char* text);
int LogLimit(HWND mainWindow);
void SetStatus(HWND mainWindow, const char* text);
void ShowNotice(HWND mainWindow, const char* caption, const char* text);
void AlertBeep(HWND mainWindow);
int ReadInput(HWND mainWindow, char* buffer, int size);
void ClearInput(HWND mainWindow);
void EndMainWindow(HWND mainWindow);
// WINDOW_* flags: what waits behind socket events, which go first in the message queue.
unsigned PendingWindowWork(HWND mainWindow);
// Asks for a repaint of the log that follows the waiting input, and that no clipping can cancel.
void AskLogRepaint(HWND mainWindow);
// TRUE when the next socket event waiting in the main window's queue is a read event of the stream
// socket.
BOOL ReadEventWaits(HWND mainWindow);

// The texts the chat core shows.
#define TEXT_NOT_CONNECTED       "          Not Connected"
#define TEXT_CONNECTED           "            Connected"
#define CAPTION_CONNECTED        "Connection!"
#define TEXT_CONNECTED_NOTICE    "Connection established!"
#define CAPTION_NO_CONNECTION    "No connection!"
#define TEXT_NO_CONNECTION       "Could not establish connection!"
#define CAPTION_CONNECTION_LOST  "Connection lost!"
#define TEXT_CONNECTION_LOST     "Connection to server lost, exiting!"
