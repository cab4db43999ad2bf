#include "chat_state.h"
#include "fake_platform_control.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

HWND const kMainWindow = reinterpret_cast<HWND>(0x1234);

std::string Masked(std::string text)
{
    MaskChunk(text.data(), static_cast<int>(text.size()));
    return text;
}

class ChatCore : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake.Reset();
        chatState = ChatState{};
    }

    void StartAndArm()
    {
        ASSERT_EQ(StartNetwork(), 0);
        ArmNotifications(kMainWindow);
    }

    void Connect(const char* address = "127.0.0.1")
    {
        strcpy(chatState.addressText, address);
        RequestConnect();
    }

    void Event(WORD event, WORD error = 0)
    {
        EXPECT_EQ(OnSocketNotify(kMainWindow, chatState.streamSocket, WSAMAKESELECTREPLY(event, error)),
                  TRUE);
    }

    void StartConnected()
    {
        StartAndArm();
        Connect();
        Event(FD_CONNECT);
        fake.calls.clear();
        fake.notices.clear();
    }

    void Type(const std::string& line)
    {
        fake.input = line;
        SendTypedLine(kMainWindow);
    }

    void PeerSends(const std::string& text) { fake.incoming += Masked(text); }

    // Returns how many messages it delivered.
    int DeliverPosted()
    {
        int delivered = 0;
        while (!fake.posted.empty()) {
            FakePlatform::PostedMessage message = fake.posted.front();
            fake.posted.pop_front();
            EXPECT_EQ(message.window, kMainWindow);
            EXPECT_EQ(message.message, WM_SOCKET_NOTIFY);
            OnSocketNotify(message.window, message.wParam, message.lParam);
            ++delivered;
        }
        return delivered;
    }
};

TEST_F(ChatCore, StartsWinsockOneOneAndPreparesAddressForPort1024)
{
    ASSERT_EQ(StartNetwork(), 0);

    EXPECT_EQ(fake.CallNames(), (std::vector<std::string>{"WSAStartup", "socket"}));
    EXPECT_EQ(fake.calls[0].args[0], 0x0101);
    EXPECT_EQ(fake.calls[1].args, (std::vector<intptr_t>{AF_INET, SOCK_STREAM, 0}));
    EXPECT_EQ(chatState.streamSocket, 100u);
    EXPECT_EQ(chatState.talkSocket, NO_SOCKET);
    EXPECT_EQ(chatState.serverAddress.sin_family, AF_INET);
    const unsigned char* port = reinterpret_cast<const unsigned char*>(&chatState.serverAddress.sin_port);
    EXPECT_EQ(port[0], 0x04);
    EXPECT_EQ(port[1], 0x00);
    EXPECT_EQ(chatState.serverAddress.sin_addr.s_addr, 0u);
}

TEST_F(ChatCore, FailedStartReturnsItsCodeAndMakesNoSocket)
{
    fake.Script("WSAStartup", WSAVERNOTSUPPORTED);

    EXPECT_EQ(StartNetwork(), WSAVERNOTSUPPORTED);
    EXPECT_EQ(fake.CallNames(), std::vector<std::string>{"WSAStartup"});
}

TEST_F(ChatCore, ArmsReadWriteConnectAndCloseToTheMainWindow)
{
    StartAndArm();

    auto armed = fake.CallsTo("WSAAsyncSelect");
    ASSERT_EQ(armed.size(), 1u);
    EXPECT_EQ(armed[0].args, (std::vector<intptr_t>{100, reinterpret_cast<intptr_t>(kMainWindow), 1124, 0x33}));
}

TEST_F(ChatCore, RoadOfOneConversation)
{
    StartAndArm();

    Connect("127.0.0.1");
    auto connects = fake.CallsTo("connect");
    ASSERT_EQ(connects.size(), 1u);
    EXPECT_EQ(connects[0].args[0], 100);
    EXPECT_EQ(static_cast<uint32_t>(connects[0].args[3]), 0x0100007Fu);
    EXPECT_EQ(connects[0].args[4], 16);
    EXPECT_EQ(chatState.talkSocket, chatState.streamSocket);
    EXPECT_TRUE(fake.notices.empty());

    Event(FD_CONNECT);
    EXPECT_EQ(fake.notices, std::vector<std::string>{"Connection!|Connection established!"});
    EXPECT_EQ(fake.status, "            Connected");

    Type("hello there");
    EXPECT_EQ(fake.log, "hello there\r\n");
    EXPECT_EQ(fake.sentToPeer, "hello there");
    EXPECT_EQ(fake.input, "");
    EXPECT_EQ(fake.beeps, 0);

    Type("again");
    EXPECT_EQ(fake.sentToPeer, "hello thereagain");

    PeerSends("Hi from the server");
    Event(FD_READ);
    EXPECT_EQ(fake.log, "hello there\r\nagain\r\nHi from the server\r\n");

    fake.calls.clear();
    Event(FD_CLOSE);
    EXPECT_EQ(fake.notices.back(), "Connection lost!|Connection to server lost, exiting!");
    EXPECT_EQ(fake.CallNames(),
              (std::vector<std::string>{"WSAAsyncSelect", "LogLimit", "recv", "ShowNotice", "closesocket",
                                        "WSACleanup", "EndMainWindow"}));
    EXPECT_EQ(fake.windowsEnded, 1);
}

TEST_F(ChatCore, EmptyInputDoesNothing)
{
    StartConnected();

    Type("");

    EXPECT_EQ(fake.CallNames(), std::vector<std::string>{"ReadInput"});
}

TEST_F(ChatCore, SendWithoutConnectionEchoesBeepsAndClears)
{
    StartAndArm();

    Type("anyone?");
    EXPECT_EQ(fake.log, "anyone?\r\n");
    EXPECT_EQ(fake.CallsTo("send")[0].args[0], static_cast<intptr_t>(NO_SOCKET));
    EXPECT_EQ(fake.beeps, 1);
    EXPECT_EQ(fake.input, "");

    Connect();
    Event(FD_CONNECT, WSAECONNREFUSED);
    fake.Script("send", SOCKET_ERROR, WSAENOTCONN);
    Type("still there?");
    EXPECT_EQ(fake.beeps, 2);
    EXPECT_EQ(fake.sentToPeer, "");
    EXPECT_EQ(chatState.outboxLength, 0);
}

TEST_F(ChatCore, LongestLineIsSentWhole)
{
    StartConnected();
    std::string line(LINE_SIZE - 1, 'x');

    Type(line);

    EXPECT_EQ(fake.sentToPeer, line);
    EXPECT_EQ(fake.log, line + "\r\n");
}

TEST_F(ChatCore, ShortSendKeepsTheRestAndSendsItOnTheWriteEvent)
{
    StartConnected();
    fake.sendRoom = 4;

    Type("abcdefgh");
    EXPECT_EQ(fake.sentToPeer, "abcd");
    EXPECT_EQ(fake.beeps, 0);

    Type("ijk");  // must queue behind "efgh", not overtake it
    EXPECT_EQ(fake.sentToPeer, "abcd");

    fake.sendRoom = 3;
    Event(FD_WRITE);
    EXPECT_EQ(fake.sentToPeer, "abcdefg");

    fake.sendRoom = 100;
    Event(FD_WRITE);
    EXPECT_EQ(fake.sentToPeer, "abcdefghijk");
    EXPECT_EQ(chatState.outboxLength, 0);
    EXPECT_EQ(fake.beeps, 0);
    EXPECT_EQ(fake.log, "abcdefgh\r\nijk\r\n");
}

TEST_F(ChatCore, PartialSendsAreRetriedUntilTheSocketWouldBlock)
{
    StartConnected();
    fake.Script("send", 2);
    fake.Script("send", 3);

    Type("abcdefgh");

    // Only a send that would block arms the next write event; a short count does not.
    EXPECT_EQ(fake.CallsTo("send").size(), 3u);
    EXPECT_EQ(fake.sentToPeer, "fgh");
    EXPECT_EQ(chatState.outboxLength, 0);
}

TEST_F(ChatCore, ALineTheFullOutboxCannotTakeStaysInTheInputLineUntilTheServerReads)
{
    StartConnected();
    fake.sendRoom = 0;
    fake.logLimit = 1 << 20;
    std::string typed;
    int fits = OUTBOX_SIZE / (LINE_SIZE - 1);
    for (int i = 0; i < fits; ++i) {
        std::string line(LINE_SIZE - 1, static_cast<char>('a' + i % 26));
        Type(line);
        typed += line;
    }
    EXPECT_EQ(fake.beeps, 0);
    std::string logBefore = fake.log;
    size_t sendsBefore = fake.CallsTo("send").size();

    Type(std::string(LINE_SIZE - 1, '!'));
    EXPECT_EQ(fake.beeps, 1);
    EXPECT_EQ(fake.input, std::string(LINE_SIZE - 1, '!'));   // not cleared
    EXPECT_EQ(fake.log, logBefore);                          // not echoed
    EXPECT_EQ(fake.CallsTo("send").size(), sendsBefore);
    EXPECT_EQ(chatState.outboxLength, fits * (LINE_SIZE - 1));

    fake.sendRoom = 1 << 20;
    Event(FD_WRITE);
    SendTypedLine(kMainWindow);   // Enter again, on the line still in the input line
    EXPECT_EQ(fake.sentToPeer, typed + std::string(LINE_SIZE - 1, '!'));
    EXPECT_EQ(fake.input, "");
    EXPECT_EQ(fake.log, logBefore + std::string(LINE_SIZE - 1, '!') + "\r\n");
    EXPECT_EQ(fake.beeps, 1);
}

TEST_F(ChatCore, BrokenSocketOnWriteEventDropsTheOutboxWithABeep)
{
    StartConnected();
    fake.sendRoom = 0;
    Type("waiting");

    fake.Script("send", SOCKET_ERROR, WSAECONNRESET);
    Event(FD_WRITE);

    EXPECT_EQ(fake.beeps, 1);
    EXPECT_EQ(chatState.outboxLength, 0);
}

TEST_F(ChatCore, EachReadIsOneLineEndedByCrLf)
{
    StartConnected();

    PeerSends("x");
    Event(FD_READ);
    EXPECT_EQ(fake.log, "x\r\n");

    fake.log.clear();
    PeerSends(std::string(CHUNK_SIZE, 'a') + std::string(10, 'b'));
    Event(FD_READ);
    EXPECT_EQ(fake.log, std::string(CHUNK_SIZE, 'a') + "\r\n" + std::string(10, 'b') + "\r\n");
    for (const PlatformCall& call : fake.CallsTo("recv"))
        EXPECT_EQ(call.args[1], CHUNK_SIZE);
}

TEST_F(ChatCore, EveryByteValueButNulIsShownUnmasked)
{
    StartConnected();
    std::string all;
    for (int value = 1; value < 256; ++value)
        all += static_cast<char>(value);

    PeerSends(all);
    Event(FD_READ);

    EXPECT_EQ(fake.log, all + "\r\n");
}

TEST_F(ChatCore, NulBytesAreDroppedAndTheRestOfTheChunkShown)
{
    StartConnected();

    PeerSends(std::string("ab\0cd\0", 6));
    Event(FD_READ);
    PeerSends(std::string("\0\0", 2));
    Event(FD_READ);

    EXPECT_EQ(fake.log, "abcd\r\n\r\n");
}

// Reads of the peer's text, each delivered by its own read event.
void Receive(const std::vector<std::string>& reads)
{
    for (const std::string& text : reads) {
        fake.incoming += Masked(text);
        EXPECT_EQ(OnSocketNotify(kMainWindow, chatState.streamSocket, WSAMAKESELECTREPLY(FD_READ, 0)), TRUE);
    }
}

const std::string kGreeting = "Welcome, guest-3! 2 others here.\r\n";

TEST_F(ChatCore, OnceTheServerEndsALineMessagesSplitAtAnyOffsetAreShownWhole)
{
    const std::string messages = "guest-1: first words\r\nguest-2: and a reply\r\n";
    for (size_t at = 1; at < messages.size(); ++at) {
        SCOPED_TRACE(at);
        SetUp();
        StartConnected();

        Receive({kGreeting, messages.substr(0, at), messages.substr(at)});

        EXPECT_EQ(fake.log, kGreeting + messages);
    }
}

TEST_F(ChatCore, SeveralMessagesInOneReadAreSeveralLinesAndNoneIsBlank)
{
    StartConnected();

    Receive({kGreeting + "guest-1: a\r\nguest-2: b\r\n", "guest-1: c\r\n\r\n"});

    // The server's own empty line is its to send; the client adds none.
    EXPECT_EQ(fake.log, kGreeting + "guest-1: a\r\nguest-2: b\r\nguest-1: c\r\n\r\n");
    EXPECT_EQ(fake.logInsertions.size(), 2u);
}

TEST_F(ChatCore, HeldBackTextWaitsForItsLineEndAndNotForAnEcho)
{
    StartConnected();

    Receive({kGreeting, "guest-2: half of a li"});
    Type("typed meanwhile");
    Receive({"ne\r\n"});

    EXPECT_EQ(fake.log, kGreeting + "typed meanwhile\r\nguest-2: half of a line\r\n");
}

TEST_F(ChatCore, HeldBackTextIsShownAt256BytesAndBeforeTheCloseNotice)
{
    StartConnected();
    std::string endless(HELD_LINE_SIZE + 44, 'e');

    Receive({kGreeting, endless.substr(0, 200), endless.substr(200)});
    EXPECT_EQ(fake.log, kGreeting + std::string(HELD_LINE_SIZE, 'e') + "\r\n");

    std::string logWhenNoticeShown;
    fake.whileNoticeOpen = [&](const std::string&) { logWhenNoticeShown = fake.log; };
    PeerSends("guest-1: bye");
    fake.peerClosed = true;
    Event(FD_CLOSE);
    EXPECT_EQ(logWhenNoticeShown,
              kGreeting + std::string(HELD_LINE_SIZE, 'e') + "\r\n" + std::string(44, 'e') + "guest-1: bye\r\n");
}

// The client ends a line at a CR of its own accord when that CR ends a read shown as it came, or
// a line that grew too long; an LF that follows completes that line end, not a new one.
TEST_F(ChatCore, ACrLfSplitWhereTheClientEndedTheLineMakesNoBlankLine)
{
    StartConnected();
    Receive({"Welcome, guest-1! 0 others here.\r", "\nguest-2 joined\r\n", "held"});
    EXPECT_EQ(fake.log, "Welcome, guest-1! 0 others here.\r\r\nguest-2 joined\r\n");

    std::string longLine(HELD_LINE_SIZE - 1, 'l');
    Receive({"\r\n" + longLine + "\r", "\nnext\r\n"});
    EXPECT_EQ(fake.log, "Welcome, guest-1! 0 others here.\r\r\nguest-2 joined\r\nheld\r\n" + longLine +
                            "\r\r\nnext\r\n");
}

TEST_F(ChatCore, AServerThatNeverEndsALineHasEachReadShownAsALine)
{
    StartConnected();

    Receive({"guest-1: a", "guest-2: b\r", "\r", "c\n"});

    EXPECT_EQ(fake.log, "guest-1: a\r\nguest-2: b\r\r\n\r\r\nc\n\r\n");
}

TEST_F(ChatCore, ReadsOfNothingOrFailuresShowNothing)
{
    StartConnected();

    Event(FD_READ);  // would block
    fake.Script("recv", SOCKET_ERROR, WSAECONNRESET);
    Event(FD_READ);
    fake.Script("recv", 0);
    Event(FD_READ);

    EXPECT_EQ(fake.log, "");
    EXPECT_TRUE(fake.CallsTo("AppendToLog").empty());
}

TEST_F(ChatCore, AReadEventTakesInAtMostItsBoundOfReadsAndUpdatesTheLogOnce)
{
    StartConnected();
    PeerSends(std::string(CHUNK_SIZE * (READS_PER_EVENT + 10), 'f'));

    Event(FD_READ);

    EXPECT_EQ(fake.CallsTo("recv").size(), static_cast<size_t>(READS_PER_EVENT));
    EXPECT_EQ(fake.CallsTo("AppendToLog").size() + fake.CallsTo("ReplaceLog").size(), 1u);
    EXPECT_EQ(fake.incoming.size(), static_cast<size_t>(CHUNK_SIZE * 10));

    // Not a read event for every read that left bytes behind: one, for the rest, and the
    // standing connection is not reported again.
    ASSERT_EQ(fake.posted.size(), 1u);
    EXPECT_EQ(fake.posted[0].lParam, WSAMAKESELECTREPLY(FD_READ, 0));
    for (const PlatformCall& call : fake.CallsTo("WSAAsyncSelect"))
        EXPECT_EQ(call.args[3] & FD_CONNECT, 0);
    EXPECT_NE(fake.armedEvents & FD_READ, 0);
    EXPECT_EQ(DeliverPosted(), 1);
    EXPECT_TRUE(fake.incoming.empty());
}

TEST_F(ChatCore, KeysArrivingWhileAnEventReadsEndItsReadsSoonButNotItsLogUpdate)
{
    StartConnected();
    PeerSends(std::string(CHUNK_SIZE * READS_PER_EVENT * 2, 'k'));
    fake.keysAfterReads = READS_BETWEEN_INPUT_CHECKS + 1;

    Event(FD_READ);

    EXPECT_EQ(fake.CallsTo("recv").size(), static_cast<size_t>(2 * READS_BETWEEN_INPUT_CHECKS));
    EXPECT_EQ(fake.CallsTo("AppendToLog").size() + fake.CallsTo("ReplaceLog").size(), 1u);
    DeliverPosted();
    EXPECT_EQ(chatState.readPause, READ_PAUSE_FOR_INPUT);
    EXPECT_EQ(fake.CallsTo("recv").size(), static_cast<size_t>(2 * READS_BETWEEN_INPUT_CHECKS));

    // Unseen, the window takes no keys: reads go on to the bound. So does the drain at a close.
    fake.calls.clear();
    fake.windowWork = WINDOW_UNSEEN;
    ResumeReading(kMainWindow);
    fake.posted.clear();
    Event(FD_READ);
    EXPECT_EQ(fake.CallsTo("recv").size(), static_cast<size_t>(READS_PER_EVENT));
    fake.calls.clear();
    fake.windowWork = 0;
    fake.peerClosed = true;
    Event(FD_CLOSE);
    EXPECT_GT(fake.CallsTo("recv").size(), static_cast<size_t>(READS_PER_EVENT / 2));
    EXPECT_TRUE(fake.incoming.empty());
}

// The newest whole lines of the text that fit the limit: what a log that took its lines one by
// one and dropped its oldest as it filled would hold.
std::string NewestLines(const std::string& text, size_t limit)
{
    if (text.size() <= limit)
        return text;
    size_t lineEnd = text.find("\r\n", text.size() - limit - 2);
    return text.substr(lineEnd + 2);
}

TEST_F(ChatCore, JumpScrollLeavesTheNewestWholeLinesAsTheRollingLogWould)
{
    const std::string welcome = "\xAB Welcome to Velmora! \xBB\r\n\r\n";
    std::string stream = kGreeting;
    // Lines of every length up to the longest, so that many meet a batch without room for them.
    for (int i = 0; stream.size() < 120000; ++i)
        stream += "guest-" + std::to_string(i % 7) + ": " + std::string((i * 37) % 244, static_cast<char>('a' + i % 26)) + "\r\n";

    for (int limit : {1000, 30000, 100000}) {
        for (int readSize : {1, 7, 100, 255, 256}) {
            SCOPED_TRACE("limit " + std::to_string(limit) + ", reads of " + std::to_string(readSize));
            SetUp();
            StartConnected();
            fake.logLimit = limit;
            fake.readSize = readSize;
            fake.log = welcome;
            int events = 0;
            // The peer sends in bursts, each cut in the middle of a line.
            for (size_t sent = 0; sent < stream.size(); sent += 40000) {
                PeerSends(stream.substr(sent, 40000));
                Event(FD_READ);
                events += 1 + DeliverPosted();
                ASSERT_TRUE(fake.incoming.empty());
                fake.calls.clear();
            }

            std::string oneByOne = NewestLines(welcome + stream, static_cast<size_t>(limit));
            ASSERT_LE(fake.log.size(), oneByOne.size());
            size_t start = oneByOne.size() - fake.log.size();
            EXPECT_TRUE(oneByOne.compare(start, std::string::npos, fake.log) == 0) << "not the newest text";
            EXPECT_TRUE(start == 0 || oneByOne.compare(start - 2, 2, "\r\n") == 0) << "not whole lines";
            EXPECT_GE(fake.log.size(), static_cast<size_t>(limit / 2));
            EXPECT_LE(fake.logInsertions.size() + fake.logReplacements,
                      static_cast<size_t>(events) * (limit > JUMP_BUFFER_SIZE ? 1 + limit / JUMP_BUFFER_SIZE : 1));
        }
    }
}

TEST_F(ChatCore, ReadingWaitsForTheLogsRepaintAndResumesOnce)
{
    StartConnected();
    PeerSends("held back");
    fake.windowWork = WINDOW_LOG_REPAINT_WAITS;

    Event(FD_READ);
    EXPECT_TRUE(fake.CallsTo("recv").empty());
    EXPECT_TRUE(fake.CallsTo("AskLogRepaint").empty());   // the repaint is coming anyway
    EXPECT_EQ(chatState.readPause, READ_PAUSE_FOR_REPAINT);
    EXPECT_TRUE(fake.posted.empty());

    fake.windowWork = 0;
    ResumeReading(kMainWindow);
    ResumeReading(kMainWindow);  // only one read event stands in for the skipped one
    ASSERT_EQ(fake.posted.size(), 1u);
    EXPECT_EQ(fake.posted[0].lParam, WSAMAKESELECTREPLY(FD_READ, 0));
    DeliverPosted();

    EXPECT_EQ(fake.log, "held back\r\n");
    EXPECT_EQ(chatState.readPause, READ_PAUSE_NONE);
}

TEST_F(ChatCore, ReadingWaitsForInputAndAsksOnceForARepaintToFollowIt)
{
    StartConnected();
    PeerSends("after the keys");
    fake.windowWork = WINDOW_INPUT_WAITS;

    Event(FD_READ);
    Event(FD_READ);   // queued before the pause began

    EXPECT_TRUE(fake.CallsTo("recv").empty());
    EXPECT_EQ(fake.CallsTo("AskLogRepaint").size(), 1u);
    EXPECT_EQ(chatState.readPause, READ_PAUSE_FOR_INPUT);

    // The keys are handled, then the log paints.
    fake.windowWork = WINDOW_LOG_REPAINT_WAITS;
    ResumeReading(kMainWindow);
    DeliverPosted();
    EXPECT_EQ(chatState.readPause, READ_PAUSE_FOR_REPAINT);
    fake.windowWork = 0;
    ResumeReading(kMainWindow);
    DeliverPosted();
    EXPECT_EQ(fake.log, "after the keys\r\n");
}

// Minimised or hidden, the window paints nothing, so no pause could end by a repaint: there is none.
TEST_F(ChatCore, AnUnseenWindowNeverPausesReading)
{
    StartConnected();
    PeerSends("while minimised");
    fake.windowWork = WINDOW_UNSEEN | WINDOW_INPUT_WAITS | WINDOW_LOG_REPAINT_WAITS;

    Event(FD_READ);

    EXPECT_EQ(fake.log, "while minimised\r\n");
    EXPECT_EQ(chatState.readPause, READ_PAUSE_NONE);
    EXPECT_TRUE(fake.CallsTo("AskLogRepaint").empty());
}

// The waiting input was the click that minimised the window (or a dialog's, or hid it): the
// window's message for that change resumes reading, and the pause is not taken again.
TEST_F(ChatCore, APauseEndsWhenTheWindowGoesOutOfSightAndStaysEnded)
{
    for (unsigned wayIn : {WINDOW_INPUT_WAITS, WINDOW_LOG_REPAINT_WAITS}) {
        SCOPED_TRACE(wayIn);
        SetUp();
        StartConnected();
        PeerSends("kept reading");
        fake.windowWork = wayIn;
        Event(FD_READ);
        ASSERT_NE(chatState.readPause, READ_PAUSE_NONE);

        fake.windowWork = WINDOW_UNSEEN | wayIn;
        ResumeReading(kMainWindow);
        DeliverPosted();

        EXPECT_EQ(fake.log, "kept reading\r\n");
        EXPECT_EQ(chatState.readPause, READ_PAUSE_NONE);
    }
}

// A dialog, a notice or a menu over the window runs a loop of its own, which tells its owner when
// it has nothing left to do: the input and the repaints that a pause waits for are done by then.
TEST_F(ChatCore, APauseUnderANoticeEndsWhenTheNoticeHasNothingLeftToDo)
{
    StartAndArm();
    Connect();
    PeerSends("during the notice");
    fake.whileNoticeOpen = [&](const std::string&) {
        fake.windowWork = WINDOW_INPUT_WAITS;
        Event(FD_READ);
        EXPECT_EQ(chatState.readPause, READ_PAUSE_FOR_INPUT);
        fake.windowWork = 0;
        ResumeReading(kMainWindow);   // the notice's loop is idle
        DeliverPosted();
    };

    Event(FD_CONNECT);

    EXPECT_EQ(fake.log, "during the notice\r\n");
}

// A dialog is shown only once the message queue runs dry, which read events would never let it do.
TEST_F(ChatCore, ADialogOverTheWindowIsShownAndPaintsBeforeReadingGoesOn)
{
    StartConnected();
    PeerSends("under the dialog");
    DialogOpening(kMainWindow);
    Event(FD_READ);
    EXPECT_TRUE(fake.CallsTo("recv").empty());
    LogPainted(kMainWindow);   // not this pause's way out
    EXPECT_TRUE(fake.posted.empty());

    ResumeReading(kMainWindow);   // the dialog's loop has nothing left to do: it is shown
    DeliverPosted();
    EXPECT_EQ(fake.log, "under the dialog\r\n");

    PeerSends("more");
    fake.windowWork = WINDOW_LOG_REPAINT_WAITS;   // the dialog paints in the same turn as the log
    Event(FD_READ);
    EXPECT_EQ(chatState.readPause, READ_PAUSE_FOR_DIALOG);
    EXPECT_TRUE(fake.CallsTo("AskLogRepaint").empty());
    fake.windowWork = 0;
    DialogEnded(kMainWindow);
    DeliverPosted();
    EXPECT_EQ(fake.log, "under the dialog\r\nmore\r\n");
    EXPECT_EQ(chatState.readPause, READ_PAUSE_NONE);
}

// Wine posts a read event for every read that leaves data behind.
TEST_F(ChatCore, SpareReadEventsAddNothing)
{
    StartConnected();
    PeerSends("once");
    fake.windowWork = WINDOW_LOG_REPAINT_WAITS;
    Event(FD_READ);
    fake.calls.clear();

    Event(FD_READ);   // while the pause awaits its way out
    EXPECT_TRUE(fake.calls.empty());

    fake.windowWork = 0;
    ResumeReading(kMainWindow);
    PostMessageA(kMainWindow, WM_SOCKET_NOTIFY, chatState.streamSocket, WSAMAKESELECTREPLY(FD_READ, 0));
    Event(FD_READ);   // one more waits in the queue: it does the reading
    EXPECT_TRUE(fake.CallsTo("recv").empty());
    DeliverPosted();

    EXPECT_EQ(fake.CallsTo("recv").size(), 2u);   // the text, then nothing
    EXPECT_EQ(fake.log, "once\r\n");
}

TEST_F(ChatCore, ReceivedLinesReachTheLogBeforeAnEcho)
{
    StartConnected();
    PeerSends("first");
    Event(FD_READ);

    Type("second");

    EXPECT_EQ(fake.log, "first\r\nsecond\r\n");
}

TEST_F(ChatCore, CloseShowsWhatWasStillUnreadBeforeTheNotice)
{
    StartConnected();
    PeerSends(std::string(300, 'z'));
    fake.peerClosed = true;
    std::string logWhenNoticeShown;
    fake.whileNoticeOpen = [&](const std::string&) { logWhenNoticeShown = fake.log; };

    Event(FD_CLOSE);

    EXPECT_EQ(logWhenNoticeShown, std::string(CHUNK_SIZE, 'z') + "\r\n" + std::string(44, 'z') + "\r\n");
    EXPECT_EQ(fake.windowsEnded, 1);
}

TEST_F(ChatCore, CloseDrainIsBounded)
{
    StartConnected();
    fake.incoming = std::string(CHUNK_SIZE * (READS_PER_EVENT + 5), Masked("k")[0]);

    Event(FD_CLOSE);

    EXPECT_EQ(fake.CallsTo("recv").size(), static_cast<size_t>(READS_PER_EVENT));
    EXPECT_EQ(fake.windowsEnded, 1);
    EXPECT_TRUE(fake.posted.empty()) << "the drain's reads posted read events";
}

TEST_F(ChatCore, CloseEndsTheProgramWhateverItsError)
{
    StartConnected();

    Event(FD_CLOSE, WSAECONNRESET);

    EXPECT_EQ(fake.notices, std::vector<std::string>{"Connection lost!|Connection to server lost, exiting!"});
    EXPECT_EQ(fake.CallsTo("closesocket").size(), 1u);
    EXPECT_EQ(fake.windowsEnded, 1);
}

TEST_F(ChatCore, FailedConnectEventIsReportedAndStatusStays)
{
    StartAndArm();
    fake.status = "          Not Connected";
    Connect();

    Event(FD_CONNECT, WSAECONNREFUSED);

    EXPECT_EQ(fake.notices, std::vector<std::string>{"No connection!|Could not establish connection!"});
    EXPECT_EQ(fake.status, "          Not Connected");
    EXPECT_EQ(chatState.talkSocket, chatState.streamSocket);
}

TEST_F(ChatCore, ConnectUnderWayIsNotReported)
{
    StartAndArm();
    for (int error : {WSAEWOULDBLOCK, WSAEALREADY, WSAEINVAL, WSAEISCONN}) {
        fake.Script("connect", SOCKET_ERROR, error);
        Connect();
    }
    fake.Script("connect", 0);
    Connect();

    EXPECT_TRUE(fake.notices.empty());
    EXPECT_EQ(fake.CallsTo("socket").size(), 1u);
}

TEST_F(ChatCore, ConnectThatFailsAtOnceIsReportedLikeAFailedEvent)
{
    StartAndArm();
    fake.Script("connect", SOCKET_ERROR, WSAEADDRNOTAVAIL);

    Connect("255.255.255.255");

    EXPECT_EQ(fake.CallsTo("inet_addr")[0].bytes, "255.255.255.255");
    EXPECT_EQ(static_cast<uint32_t>(fake.CallsTo("connect")[0].args[3]), INADDR_NONE);
    // Reported once the connect dialog has closed, as the connect event would have been.
    EXPECT_TRUE(fake.notices.empty());
    ASSERT_EQ(fake.posted.size(), 1u);
    EXPECT_EQ(fake.posted[0].wParam, chatState.streamSocket);
    EXPECT_EQ(fake.posted[0].lParam, WSAMAKESELECTREPLY(FD_CONNECT, WSAEADDRNOTAVAIL));

    DeliverPosted();
    EXPECT_EQ(fake.notices, std::vector<std::string>{"No connection!|Could not establish connection!"});
    EXPECT_TRUE(chatState.lastConnectFailed);
}

TEST_F(ChatCore, RetryReusesTheSocketWhereThePlatformAllows)
{
    StartAndArm();
    Connect();
    Event(FD_CONNECT, WSAECONNREFUSED);

    Connect();
    Event(FD_CONNECT);

    EXPECT_EQ(fake.CallsTo("socket").size(), 1u);
    EXPECT_EQ(fake.CallsTo("connect").size(), 2u);
    EXPECT_EQ(fake.status, "            Connected");
}

TEST_F(ChatCore, RetryOnASocketThatRefusesItUsesAFreshOneArmedLikeTheFirst)
{
    StartAndArm();
    Connect();
    Event(FD_CONNECT, WSAECONNREFUSED);
    fake.calls.clear();
    fake.Script("connect", SOCKET_ERROR, WSAECONNABORTED);

    Connect();

    EXPECT_EQ(fake.CallNames(), (std::vector<std::string>{"inet_addr", "connect", "closesocket", "socket",
                                                           "WSAAsyncSelect", "connect"}));
    EXPECT_EQ(fake.CallsTo("closesocket")[0].args[0], 100);
    EXPECT_EQ(chatState.streamSocket, 101u);
    EXPECT_EQ(chatState.talkSocket, 101u);
    EXPECT_EQ(fake.CallsTo("WSAAsyncSelect")[0].args,
              (std::vector<intptr_t>{101, reinterpret_cast<intptr_t>(kMainWindow), 1124, 0x33}));
    EXPECT_EQ(fake.CallsTo("connect")[1].args[0], 101);
    EXPECT_EQ(fake.notices.size(), 1u);  // only the refused attempt was reported

    Event(FD_CONNECT);
    EXPECT_EQ(fake.status, "            Connected");
}

TEST_F(ChatCore, RetryThatFailsOnTheFreshSocketTooIsReportedOnce)
{
    StartAndArm();
    fake.Script("connect", SOCKET_ERROR, WSAENETUNREACH);
    Connect();
    DeliverPosted();
    fake.Script("connect", SOCKET_ERROR, WSAECONNABORTED);
    fake.Script("connect", SOCKET_ERROR, WSAENETUNREACH);

    Connect();
    DeliverPosted();

    EXPECT_EQ(fake.notices.size(), 2u);
    EXPECT_EQ(fake.CallsTo("socket").size(), 2u);
    EXPECT_EQ(fake.CallsTo("closesocket").size(), 1u);
}

TEST_F(ChatCore, EventsOfAReplacedSocketAreIgnored)
{
    StartAndArm();
    Connect();
    Event(FD_CONNECT, WSAECONNREFUSED);
    fake.Script("connect", SOCKET_ERROR, WSAECONNABORTED);
    Connect();
    fake.calls.clear();

    OnSocketNotify(kMainWindow, 100, WSAMAKESELECTREPLY(FD_CLOSE, WSAECONNABORTED));

    EXPECT_TRUE(fake.calls.empty());
    EXPECT_EQ(fake.windowsEnded, 0);
}

TEST_F(ChatCore, ExitBeforeConnectingClosesTheSocketOnce)
{
    StartAndArm();
    fake.calls.clear();

    EXPECT_EQ(CloseDown(kMainWindow), TRUE);

    EXPECT_EQ(fake.CallNames(), (std::vector<std::string>{"closesocket", "WSACleanup", "EndMainWindow"}));
    EXPECT_EQ(fake.calls[0].args[0], 100);
    EXPECT_TRUE(fake.notices.empty());
}

TEST_F(ChatCore, SecondCloseDownOnlyEndsTheWindow)
{
    StartConnected();
    CloseDown(kMainWindow);
    fake.calls.clear();

    CloseDown(kMainWindow);
    Connect();
    Event(FD_READ);

    EXPECT_EQ(fake.CallNames(), std::vector<std::string>{"EndMainWindow"});
}

TEST_F(ChatCore, DataArrivingWhileConnectedNoticeIsOpenIsShownBeforeTheStatusChanges)
{
    StartAndArm();
    Connect();
    PeerSends("early words");
    std::string statusWhenRead = "unset";
    fake.whileNoticeOpen = [&](const std::string& caption) {
        if (caption == CAPTION_CONNECTED) {
            Event(FD_READ);
            statusWhenRead = fake.status;
        }
    };

    Event(FD_CONNECT);

    EXPECT_EQ(fake.log, "early words\r\n");
    EXPECT_EQ(statusWhenRead, "");
    EXPECT_EQ(fake.status, "            Connected");
}

TEST_F(ChatCore, AReadEventBeforeTheConnectionLeavesConnectEventsArmed)
{
    StartAndArm();
    Event(FD_READ);
    Connect();

    EXPECT_NE(fake.armedEvents & FD_CONNECT, 0);
}

// Text and the close arrive together. Arming the events again after the reads reports the close
// once more, and the notice's own loop dispatches that while it is open.
TEST_F(ChatCore, ACloseReportedAgainIsShownOnce)
{
    StartConnected();
    PeerSends("last words\r\n");
    fake.peerClosed = true;
    fake.whileNoticeOpen = [&](const std::string&) { DeliverPosted(); };

    Event(FD_READ);
    Event(FD_CLOSE);
    DeliverPosted();

    EXPECT_EQ(fake.log, "last words\r\n");
    EXPECT_EQ(fake.notices, (std::vector<std::string>{"Connection lost!|Connection to server lost, exiting!"}));
    EXPECT_EQ(fake.windowsEnded, 1);
}

TEST_F(ChatCore, ServerClosingWhileConnectedNoticeIsOpenEndsOnce)
{
    StartAndArm();
    Connect();
    fake.peerClosed = true;
    fake.whileNoticeOpen = [&](const std::string& caption) {
        if (caption == CAPTION_CONNECTED)
            Event(FD_CLOSE);
    };

    Event(FD_CONNECT);

    EXPECT_EQ(fake.notices, (std::vector<std::string>{"Connection!|Connection established!",
                                                      "Connection lost!|Connection to server lost, exiting!"}));
    EXPECT_EQ(fake.CallsTo("closesocket").size(), 1u);
    EXPECT_EQ(fake.CallsTo("WSACleanup").size(), 1u);
}

}  // namespace
