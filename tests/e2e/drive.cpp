// Reads a scenario script and carries it out against velmora.exe, stopping at the first failure.
// Usage: velmora-drive.exe --client PATH --script PATH [--shots DIR] [--fail-shot PATH]
//                          [--bells PATH]
#include "drive.h"

#include "resource.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

DWORD g_timeoutMs = 15000;

namespace {

const std::map<std::string, std::string> WINDOW_CAPTIONS = {
    {"main", "Velmora " VELMORA_VERSION_TEXT " - Client Version"},
    {"connect", "Connection menu"},
    {"about", "About Velmora " VELMORA_VERSION_TEXT},
};

#define CONTROL(id) {#id, id}
const std::map<std::string, int> CONTROL_IDS = {
    CONTROL(IDC_EXIT),    CONTROL(IDC_INPUT),          CONTROL(IDC_LOG),
    CONTROL(IDC_SEND),    CONTROL(IDC_CONNECT),        CONTROL(IDC_CONNECT_CANCEL),
    CONTROL(IDC_STATUS),  CONTROL(IDC_ADDRESS),        CONTROL(IDC_ABOUT_OK),
    CONTROL(IDM_CONNECT), CONTROL(IDM_ABOUT),          CONTROL(IDM_EXIT),
    CONTROL(IDOK),        CONTROL(IDCANCEL),
};
#undef CONTROL

// A message box shows its text in this static control.
constexpr int MESSAGE_BOX_TEXT_ID = 0xFFFF;
constexpr int LINE_LIMIT = 255;

struct Options {
    std::string client;
    std::string script;
    std::string shots = ".";
    std::string failShot;
    std::string bells;
    std::string receiveOnly;
};

using Args = std::vector<Token>;
class Script;

// One command of the script language: its name (for "peer" and "member", with its verb), what
// follows it, and what it does.
struct Command {
    const char* name;
    const char* arguments;
    const char* help;
    void (*run)(Script& script, const Args& args);
};

class Script {
public:
    explicit Script(const Options& options) : options_(options) {}
    int Run();
    static const std::vector<Command>& Commands();

private:
    void Execute(const Args& tokens);
    void Finish();

    const Token& Arg(const Args& tokens, size_t index);
    std::string Str(const Args& tokens, size_t index);
    int Int(const Args& tokens, size_t index);
    HWND Window(const Args& tokens, size_t index);
    std::string Caption(const Args& tokens, size_t index);
    int ControlId(const Args& tokens, size_t index);
    HWND Control(const Args& tokens, size_t windowIndex);
    int Option(const Args& tokens, size_t from, const std::string& name);
    Member& MemberNamed(const std::string& name);
    Flooder& RunningFlood();

    void Acting();
    void Settled() { pendingKeyLine_ = 0; }
    std::string ShotPath(const std::string& name) const;

    void ExpectText(HWND control, const std::string& expected, bool wholeText);
    long ReadBells();
    void ExpectBells(long expected);
    void ExpectBox(HWND box, const std::string& text);
    void ExpectStaticContains(HWND window, const std::vector<std::string>& parts);
    void ExpectIconControl(HWND window);
    void ExpectExeIcon();
    void Type(HWND window, HWND control, const std::string& text);
    void RollLog(HWND window, int lines, int length, int limit);
    void TypeLinesToSlowPeer(HWND window, int count, int minimumBeforeRefusal);
    void SayTogether(const Args& args);
    void ExpectLogSaid(HWND window);

    const Options& options_;
    ::Peer peer_;
    std::map<std::string, Member> members_;
    std::unique_ptr<Flooder> flood_;
    // What members said together, as the client's log should show each: "name: text".
    std::vector<std::string> said_;
    size_t logMark_ = 0;
    double receiveOnlyRate_ = 0;
    int lineNumber_ = 0;
    int pendingKeyLine_ = 0;
    long bellsAtStart_ = 0;
    long expectedBells_ = 0;
};

const Token& Script::Arg(const Args& tokens, size_t index)
{
    if (index >= tokens.size())
        throw std::invalid_argument("'" + tokens[0].text + "' needs more arguments");
    return tokens[index];
}

std::string Script::Str(const Args& tokens, size_t index)
{
    const Token& token = Arg(tokens, index);
    // The bare word "version" stands for the program's version, as the build knows it.
    if (!token.quoted && token.text == "version")
        return VELMORA_VERSION_TEXT;
    if (!token.quoted)
        throw std::invalid_argument("argument " + std::to_string(index) + " must be a quoted string");
    return token.text;
}

int Script::Int(const Args& tokens, size_t index)
{
    const Token& token = Arg(tokens, index);
    char* end = nullptr;
    long value = std::strtol(token.text.c_str(), &end, 0);
    if (token.quoted || end == token.text.c_str() || *end != '\0')
        throw std::invalid_argument("argument " + std::to_string(index) + " must be a number");
    return static_cast<int>(value);
}

int Script::Option(const Args& tokens, size_t from, const std::string& name)
{
    for (size_t i = from; i < tokens.size(); ++i)
        if (!tokens[i].quoted && tokens[i].text.rfind(name + "=", 0) == 0)
            return std::atoi(tokens[i].text.c_str() + name.size() + 1);
    return 0;
}

std::string Script::Caption(const Args& tokens, size_t index)
{
    const Token& token = Arg(tokens, index);
    if (token.quoted)
        return token.text;
    auto it = WINDOW_CAPTIONS.find(token.text);
    if (it == WINDOW_CAPTIONS.end())
        throw std::invalid_argument("unknown window '" + token.text + "'");
    return it->second;
}

HWND Script::Window(const Args& tokens, size_t index)
{
    std::string caption = Caption(tokens, index);
    HWND window = FindWindowByCaption(caption);
    if (window == nullptr)
        Fail("the client shows no window \"" + caption + "\"");
    return window;
}

int Script::ControlId(const Args& tokens, size_t index)
{
    const Token& token = Arg(tokens, index);
    auto it = CONTROL_IDS.find(token.text);
    if (token.quoted || it == CONTROL_IDS.end())
        throw std::invalid_argument("unknown control '" + token.text + "'");
    return it->second;
}

HWND Script::Control(const Args& tokens, size_t windowIndex)
{
    return ControlOf(Window(tokens, windowIndex), ControlId(tokens, windowIndex + 1),
                     tokens[windowIndex + 1].text);
}

void Script::Acting()
{
    if (pendingKeyLine_ != 0)
        throw std::invalid_argument("this input follows the input of line " +
                                    std::to_string(pendingKeyLine_) +
                                    " without waiting for its effect");
    pendingKeyLine_ = lineNumber_;
}

std::string Script::ShotPath(const std::string& name) const
{
    return options_.shots + "\\" + name + ".bmp";
}

void Script::ExpectText(HWND control, const std::string& expected, bool wholeText)
{
    std::string seen;
    bool ok = PollUntil([&] {
        seen = ReadText(control);
        if (wholeText)
            return seen == expected;
        return seen.size() >= expected.size() &&
               seen.compare(seen.size() - expected.size(), expected.size(), expected) == 0;
    });
    if (ok)
        return;
    if (wholeText)
        Fail("text differs: " + Difference(expected, seen));
    Fail("text does not end with " + Printable(expected) + "; it ends with " +
         Printable(seen.substr(seen.size() > expected.size() + 40 ? seen.size() - expected.size() - 40 : 0)));
}

// The bells rung on the display so far, as the runner's bell counter writes them.
long Script::ReadBells()
{
    if (options_.bells.empty())
        throw std::invalid_argument("the driver was started without --bells");
    std::ifstream in(options_.bells);
    long count = -1;
    in >> count;
    return count;
}

void Script::ExpectBells(long expected)
{
    long seen = -1;
    PollUntil([&] {
        seen = ReadBells();
        return seen >= expected + bellsAtStart_;
    });
    if (seen != expected + bellsAtStart_)
        Fail("the client beeped " + std::to_string(seen - bellsAtStart_) + " times, expected " +
             std::to_string(expected));
    expectedBells_ = expected;
}

void Script::ExpectBox(HWND box, const std::string& text)
{
    HWND main = FindWindowByCaption(WINDOW_CAPTIONS.at("main"));
    if (GetWindow(box, GW_OWNER) != main || main == nullptr)
        Fail("the message box is not owned by the main window");
    std::string seen = ReadText(ControlOf(box, MESSAGE_BOX_TEXT_ID, "(message box text)"));
    if (seen != text)
        Fail("message box text differs: " + Difference(text, seen));
    std::vector<std::string> buttons;
    bool icon = false;
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if (!IsWindowVisible(child))
            continue;
        LONG style = GetWindowLongA(child, GWL_STYLE);
        if (ClassOf(child) == "Button")
            buttons.push_back(ReadText(child));
        // Some message boxes keep an empty icon control; only a held icon is seen.
        if (ClassOf(child) == "Static" && (style & SS_TYPEMASK) == SS_ICON &&
            SendMessageA(child, STM_GETICON, 0, 0) != 0)
            icon = true;
    }
    if (buttons.size() != 1 || buttons[0] != "OK")
        Fail("the message box should have one button \"OK\"; it has " +
             std::to_string(buttons.size()) + (buttons.empty() ? "" : ", the first " + Printable(buttons[0])));
    if (icon)
        Fail("the message box shows an icon");
}

void Script::ExpectStaticContains(HWND window, const std::vector<std::string>& parts)
{
    std::string texts;
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if (ClassOf(child) != "Static")
            continue;
        std::string text = ReadText(child);
        bool all = true;
        for (const std::string& part : parts)
            all = all && text.find(part) != std::string::npos;
        if (all && IsWindowVisible(child))
            return;
        texts += " " + Printable(text);
    }
    std::string wanted;
    for (const std::string& part : parts)
        wanted += " " + Printable(part);
    Fail("no visible static text holds" + wanted + "; the texts are" + texts);
}

void Script::ExpectIconControl(HWND window)
{
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        LONG style = GetWindowLongA(child, GWL_STYLE);
        if (ClassOf(child) != "Static" || (style & SS_TYPEMASK) != SS_ICON)
            continue;
        if (!IsWindowVisible(child))
            Fail("the icon control is hidden");
        if (SendMessageA(child, STM_GETICON, 0, 0) == 0)
            Fail("the icon control holds no icon");
        RECT client{};
        GetClientRect(child, &client);
        if (client.right < 32 || client.bottom < 32)
            Fail("the icon control's client area is " + std::to_string(client.right) + "x" +
                 std::to_string(client.bottom) + ", smaller than the 32x32 icon");
        return;
    }
    Fail("the window has no icon control");
}

#pragma pack(push, 2)
struct IconGroupEntry {
    BYTE width, height, colours, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
};
struct IconGroupHeader {
    WORD reserved, type, count;
};
#pragma pack(pop)

void Script::ExpectExeIcon()
{
    HMODULE module = LoadLibraryExA(options_.client.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module == nullptr)
        Fail("the client's file cannot be read for its resources");
    HRSRC group = FindResourceA(module, MAKEINTRESOURCEA(IDI_APP), MAKEINTRESOURCEA(14));
    std::string problem;
    if (group == nullptr) {
        problem = "the client's file has no icon group IDI_APP";
    } else {
        auto* header = static_cast<const IconGroupHeader*>(LockResource(LoadResource(module, group)));
        auto* entry = reinterpret_cast<const IconGroupEntry*>(header + 1);
        if (header->count != 1)
            problem = "the icon group holds " + std::to_string(header->count) + " images, not one";
        else if (entry->width != 32 || entry->height != 32 || entry->bitCount != 4)
            problem = "the icon is " + std::to_string(entry->width) + "x" +
                      std::to_string(entry->height) + " at " + std::to_string(entry->bitCount) +
                      " bits a pixel, not 32x32 at 4";
        else if (FindResourceA(module, MAKEINTRESOURCEA(entry->id), MAKEINTRESOURCEA(3)) == nullptr)
            problem = "the icon group names an icon image that is not there";
    }
    FreeLibrary(module);
    if (!problem.empty())
        Fail(problem);
}

void Script::Type(HWND window, HWND control, const std::string& text)
{
    if (!PollUntil([&] { return FocusedWindow() == control; }))
        Fail("the control to type into does not have the keyboard focus");
    std::string expected = ReadText(control);
    DWORD selection = ReadSelection(control);
    if (LOWORD(selection) != expected.size() || HIWORD(selection) != expected.size())
        Fail("the caret is not at the end of the text");
    for (char c : text) {
        TypeChar(window, static_cast<unsigned char>(c));
        expected += c;
        std::string seen;
        if (!PollUntil([&] { return (seen = ReadText(control)) == expected; }))
            Fail("after typing " + Printable(std::string(1, c)) + " the text differs: " +
                 Difference(expected, seen));
    }
}

void Script::RollLog(HWND window, int lines, int length, int limit)
{
    HWND log = ControlOf(window, IDC_LOG, "IDC_LOG");
    std::string history = ReadText(log);
    std::vector<size_t> lineStarts;
    for (int n = 0; n < lines; ++n) {
        char head[32];
        std::snprintf(head, sizeof head, "line %05d ", n);
        std::string line = head;
        while (static_cast<int>(line.size()) < length)
            line += static_cast<char>('a' + (line.size() + n) % 26);
        lineStarts.push_back(history.size());
        history += line + "\r\n";
        peer_.Send(Mask(line));
        ExpectText(log, line + "\r\n", false);
    }
    std::string seen = ReadText(log);
    if (static_cast<int>(seen.size()) > limit)
        Fail("the log holds " + std::to_string(seen.size()) + " characters, more than " +
             std::to_string(limit));
    if (static_cast<int>(seen.size()) < limit / 2)
        Fail("the log holds only " + std::to_string(seen.size()) + " characters: it dropped far " +
             "more than the oldest lines");
    size_t start = history.size() - seen.size();
    if (history.compare(start, std::string::npos, seen) != 0)
        Fail("the log is not the newest part of what it was given: " +
             Difference(history.substr(start), seen));
    bool lineAligned = false;
    for (size_t s : lineStarts)
        lineAligned = lineAligned || s == start;
    if (!lineAligned)
        Fail("the log starts in the middle of a line: " + Printable(seen.substr(0, 60)));
}

Member& Script::MemberNamed(const std::string& name)
{
    auto it = members_.find(name);
    if (it == members_.end())
        throw std::invalid_argument("no member '" + name + "' has connected");
    return it->second;
}

Flooder& Script::RunningFlood()
{
    if (!flood_)
        throw std::invalid_argument("no flood is running (peer flood-start)");
    return *flood_;
}

std::string NumberedLine(int n)
{
    char head[32];
    std::snprintf(head, sizeof head, "<%05d|", n);
    std::string line = head;
    while (static_cast<int>(line.size()) < LINE_LIMIT - 1)
        line += static_cast<char>('A' + (line.size() * 7 + n) % 26);
    return line + '>';
}

// Pastes and sends numbered lines of 255 characters while the peer reads nothing. A line the client
// cannot take must stay in the input line, not echoed, with one beep; the peer then reads what
// came, Enter sends the line again, and typing goes on while the peer reads. In the end every line
// has arrived, whole and in order.
void Script::TypeLinesToSlowPeer(HWND window, int count, int minimumBeforeRefusal)
{
    HWND input = ControlOf(window, IDC_INPUT, "IDC_INPUT");
    HWND log = ControlOf(window, IDC_LOG, "IDC_LOG");
    std::string typed;
    int refusals = 0;
    bool peerReads = false;
    auto peerHasAllTyped = [&] {
        peer_.Drain(0);
        if (typed.compare(0, peer_.Unread().size(), peer_.Unread()) != 0)
            Fail("the peer received other bytes than typed: " + Difference(typed, peer_.Unread()));
        return peer_.Unread().size() == typed.size();
    };
    for (int n = 0; n < count; ++n) {
        std::string line = NumberedLine(n);
        SetClipboardBytes(line);
        PressCombo(window, "ctrl+V");
        std::string seen;
        if (!PollUntil([&] { return (seen = ReadText(input)) == line; }))
            Fail("line " + std::to_string(n) + " was not pasted whole: " + Difference(line, seen));
        for (;;) {
            long bells = ReadBells();
            PressCombo(window, "RETURN");
            bool taken = false;
            bool refused = false;
            PollUntil([&] {
                if (peerReads)
                    peerHasAllTyped();
                taken = ReadTextLength(input) == 0;
                refused = ReadBells() > bells;
                return taken || refused;
            });
            if (taken) {
                ExpectText(log, line + "\r\n", false);
                break;
            }
            if (!refused)
                Fail("the client neither took line " + std::to_string(n) + " nor refused it with a beep");
            if (peerReads)
                Fail("the client refused line " + std::to_string(n) + " while the peer was reading");
            if (ReadText(input) != line)
                Fail("the refused line " + std::to_string(n) + " is no longer in the input line");
            std::string tail = ReadText(log);
            if (tail.size() >= line.size() + 2 && tail.compare(tail.size() - line.size() - 2, std::string::npos, line + "\r\n") == 0)
                Fail("the refused line " + std::to_string(n) + " was echoed into the log");
            if (static_cast<int>(typed.size()) < minimumBeforeRefusal)
                Fail("the client refused a line after only " + std::to_string(typed.size()) +
                     " bytes had been typed, fewer than " + std::to_string(minimumBeforeRefusal));
            std::printf("info: line %d refused after %zu bytes; the peer now reads\n", n, typed.size());
            ++refusals;
            peerReads = true;
            if (!PollUntil(peerHasAllTyped))
                Fail("the peer received only " + std::to_string(peer_.Unread().size()) + " of the " +
                     std::to_string(typed.size()) + " bytes typed before the refusal");
        }
        typed += line;
    }
    if (!PollUntil(peerHasAllTyped))
        Fail("the peer received only " + std::to_string(peer_.Unread().size()) + " of " +
             std::to_string(typed.size()) + " bytes typed");
    std::printf("info: %d lines (%zu bytes) arrived whole and in order; %d refused while the peer "
                "did not read\n", count, typed.size(), refusals);
    peer_.Unread().clear();
    expectedBells_ += refusals;
}

// Every named member sends its line back to back, as people in a room speak at the same moment.
void Script::SayTogether(const Args& args)
{
    std::string text = Str(args, 1);
    if (args.size() < 3)
        throw std::invalid_argument("'together' needs the members who speak");
    if (said_.empty())
        logMark_ = ReadText(ControlOf(FindWindowByCaption(WINDOW_CAPTIONS.at("main")), IDC_LOG, "IDC_LOG")).size();
    std::vector<std::pair<Member*, std::string>> lines;
    for (size_t i = 2; i < args.size(); ++i)
        lines.emplace_back(&MemberNamed(args[i].text), text + " from " + args[i].text);
    for (auto& [member, line] : lines)
        member->Send(line);
    for (size_t i = 2; i < args.size(); ++i)
        said_.push_back(args[i].text + ": " + lines[i - 2].second);
}

// The log since the first "together" must be the said messages, one a line, each with its
// sender's name, each sender's in order: no line run together, cut short or forged.
void Script::ExpectLogSaid(HWND window)
{
    HWND log = ControlOf(window, IDC_LOG, "IDC_LOG");
    std::vector<std::string> lines;
    PollUntil([&] {
        std::string text = ReadText(log);
        if (text.size() < logMark_)
            Fail("the log lost text while members spoke");
        lines.clear();
        size_t at = logMark_;
        for (size_t end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
            lines.push_back(text.substr(at, end - at));
        return lines.size() >= said_.size();
    });
    std::vector<bool> shown(said_.size(), false);
    for (const std::string& line : lines) {
        size_t which = std::find(said_.begin(), said_.end(), line) - said_.begin();
        if (which == said_.size() || shown[which])
            Fail("the log line " + Printable(line) + " is not one message with its sender's name");
        std::string sender = line.substr(0, line.find(':'));
        for (size_t earlier = 0; earlier < which; ++earlier)
            if (!shown[earlier] && said_[earlier].compare(0, sender.size() + 1, sender + ":") == 0)
                Fail("the log shows " + Printable(line) + " before " + Printable(said_[earlier]));
        shown[which] = true;
    }
    for (size_t i = 0; i < said_.size(); ++i)
        if (!shown[i])
            Fail("the log does not show " + Printable(said_[i]) + " (" + std::to_string(lines.size()) +
                 " lines of " + std::to_string(said_.size()) + " messages)");
    std::printf("info: %zu messages, each on a line of its own with its sender's name\n", said_.size());
    said_.clear();
}

const std::vector<Command>& Script::Commands()
{
    using S = Script;
    static const std::vector<Command> commands = {
        {"timeout", "SECONDS", "how long every later wait may take (15 s at first)",
         [](S& s, const Args& a) { g_timeoutMs = static_cast<DWORD>(s.Int(a, 1)) * 1000; }},
        {"needs", "server|small-buffers", "read by the runner: start a velmora-server, or shrink the socket buffers",
         [](S& s, const Args& a) { s.Arg(a, 1); }},
        {"print", "\"TEXT\"", "prints the text",
         [](S& s, const Args& a) { std::printf("%s\n", s.Str(a, 1).c_str()); }},

        // The client and its windows.
        {"launch", "", "starts velmora.exe and waits for its main window",
         [](S& s, const Args&) {
             LaunchClient(s.options_.client);
             WaitWindow(WINDOW_CAPTIONS.at("main"));
             s.Settled();
         }},
        {"expect-exit", "STATUS", "waits for the client to end with this exit status",
         [](S& s, const Args& a) {
             DWORD code = WaitClientExit();
             DWORD expected = static_cast<DWORD>(s.Int(a, 1));
             if (code != expected) {
                 char hex[16];
                 std::snprintf(hex, sizeof hex, "%08lX", code);
                 Fail("exit status " + std::to_string(static_cast<long>(code)) + " (0x" + hex +
                      "), expected " + std::to_string(static_cast<long>(expected)));
             }
             s.Settled();
         }},
        {"expect-running", "", "the client has not ended",
         [](S&, const Args&) {
             if (!ClientRunning())
                 Fail("the client has ended");
         }},
        {"wait-window", "WINDOW", "waits for a window (main, connect, about or a quoted caption)",
         [](S& s, const Args& a) {
             WaitWindow(s.Caption(a, 1));
             s.Settled();
         }},
        {"wait-gone", "WINDOW", "waits for a window to close",
         [](S& s, const Args& a) {
             std::string caption = s.Caption(a, 1);
             if (!PollUntil([&] { return FindWindowByCaption(caption) == nullptr; }))
                 Fail("the window \"" + caption + "\" is still shown");
             s.Settled();
         }},
        {"expect-no-window", "WINDOW", "the window is not shown now",
         [](S& s, const Args& a) {
             std::string caption = s.Caption(a, 1);
             if (FindWindowByCaption(caption) != nullptr)
                 Fail("the window \"" + caption + "\" is shown");
         }},
        {"expect-one-window", "WINDOW", "exactly one such window is shown",
         [](S& s, const Args& a) {
             std::string caption = s.Caption(a, 1);
             size_t count = FindWindowsByCaption(caption).size();
             if (count != 1)
                 Fail(std::to_string(count) + " windows \"" + caption + "\" are shown, not one");
         }},
        {"expect-minimised", "WINDOW", "waits for the window to be minimised",
         [](S& s, const Args& a) {
             HWND window = s.Window(a, 1);
             if (!PollUntil([&] { return IsIconic(window) != 0; }))
                 Fail("the window is not minimised");
             s.Settled();
         }},
        {"expect-restored", "WINDOW", "waits for the window to be neither minimised nor hidden",
         [](S& s, const Args& a) {
             HWND window = s.Window(a, 1);
             if (!PollUntil([&] { return !IsIconic(window) && IsWindowVisible(window); }))
                 Fail("the window is not restored");
             s.Settled();
         }},

        // What the windows show.
        {"expect-text", "WINDOW CONTROL \"TEXT\"", "waits for the control's whole text",
         [](S& s, const Args& a) {
             s.ExpectText(s.Control(a, 1), s.Str(a, 3), true);
             s.Settled();
         }},
        {"expect-text-ends", "WINDOW CONTROL \"TEXT\"", "waits for the control's text to end so",
         [](S& s, const Args& a) {
             s.ExpectText(s.Control(a, 1), s.Str(a, 3), false);
             s.Settled();
         }},
        {"check-text", "WINDOW CONTROL \"TEXT\"", "the control's whole text is this now",
         [](S& s, const Args& a) {
             std::string expected = s.Str(a, 3);
             std::string seen = ReadText(s.Control(a, 1));
             if (seen != expected)
                 Fail("text differs: " + Difference(expected, seen));
         }},
        {"check-text-ends", "WINDOW CONTROL \"TEXT\"", "the control's text ends so now",
         [](S& s, const Args& a) {
             std::string expected = s.Str(a, 3);
             std::string seen = ReadText(s.Control(a, 1));
             if (seen.size() < expected.size() ||
                 seen.compare(seen.size() - expected.size(), expected.size(), expected) != 0)
                 Fail("text does not end with " + Printable(expected) + "; it ends with " +
                      Printable(seen.substr(seen.size() > 80 ? seen.size() - 80 : 0)));
         }},
        {"expect-text-length", "WINDOW CONTROL N", "waits for the control's text to be N characters long",
         [](S& s, const Args& a) {
             HWND control = s.Control(a, 1);
             int expected = s.Int(a, 3);
             int seen = -1;
             if (!PollUntil([&] { return (seen = ReadTextLength(control)) == expected; }))
                 Fail("text length " + std::to_string(seen) + ", expected " + std::to_string(expected));
             s.Settled();
         }},
        {"expect-focus", "WINDOW CONTROL", "waits for the keyboard focus to be on the control",
         [](S& s, const Args& a) {
             HWND control = s.Control(a, 1);
             if (!PollUntil([&] { return FocusedWindow() == control; })) {
                 HWND focus = FocusedWindow();
                 Fail("the focus is not on " + a[2].text + " but on " +
                      (focus ? ClassOf(focus) + " " + std::to_string(GetDlgCtrlID(focus)) : "nothing"));
             }
             s.Settled();
         }},
        {"expect-sel", "WINDOW CONTROL START END", "waits for the control's selection",
         [](S& s, const Args& a) {
             HWND control = s.Control(a, 1);
             DWORD expected = MAKELONG(s.Int(a, 3), s.Int(a, 4));
             DWORD seen = 0;
             if (!PollUntil([&] { return (seen = ReadSelection(control)) == expected; }))
                 Fail("selection " + std::to_string(LOWORD(seen)) + ".." + std::to_string(HIWORD(seen)) +
                      ", expected " + a[3].text + ".." + a[4].text);
             s.Settled();
         }},
        {"expect-style", "WINDOW CONTROL visible|hidden|enabled|disabled", "the control's state now",
         [](S& s, const Args& a) {
             HWND control = s.Control(a, 1);
             const std::string& what = s.Arg(a, 3).text;
             bool ok = what == "visible"    ? IsWindowVisible(control) != 0
                       : what == "hidden"   ? IsWindowVisible(control) == 0
                       : what == "enabled"  ? IsWindowEnabled(control) != 0
                       : what == "disabled" ? IsWindowEnabled(control) == 0
                       : throw std::invalid_argument("unknown state '" + what + "'");
             if (!ok)
                 Fail(a[2].text + " is not " + what);
         }},
        {"expect-box", "CAPTION \"TEXT\"", "waits for a message box with one OK button and no icon",
         [](S& s, const Args& a) {
             HWND box = WaitWindow(s.Caption(a, 1));
             s.ExpectBox(box, s.Str(a, 2));
             s.Settled();
         }},
        {"expect-static-contains", "WINDOW \"PART\"...", "a visible static text holds every part",
         [](S& s, const Args& a) {
             std::vector<std::string> parts;
             for (size_t i = 2; i < a.size(); ++i)
                 parts.push_back(s.Str(a, i));
             s.ExpectStaticContains(s.Window(a, 1), parts);
         }},
        {"expect-icon-control", "WINDOW", "the window shows an icon at its own size",
         [](S& s, const Args& a) { s.ExpectIconControl(s.Window(a, 1)); }},
        {"expect-exe-icon", "", "the client's file carries one 32x32 16-colour icon",
         [](S& s, const Args&) { s.ExpectExeIcon(); }},
        {"expect-beeps", "N", "waits until the client has beeped N times in all",
         [](S& s, const Args& a) {
             s.ExpectBells(s.Int(a, 1));
             s.Settled();
         }},
        {"shot", "WINDOW NAME", "saves a picture of the window, in front and painted, as NAME.bmp",
         [](S& s, const Args& a) {
             HWND window = s.Window(a, 1);
             if (!PollUntil([&] { return GetForegroundWindow() == window; }))
                 Fail("the window to picture is not the active one");
             WriteBmp(CaptureSettled(WindowRect(window)), s.ShotPath(s.Arg(a, 2).text));
         }},

        // A person at the keyboard and the mouse. Each input must show its effect before the next.
        {"key", "WINDOW COMBO [no-effect]", "presses keys (alt+F4, shift+TAB, RETURN, x); no-effect: a later key shows it",
         [](S& s, const Args& a) {
             HWND window = s.Window(a, 1);
             bool noEffect = a.size() > 3 && a[3].text == "no-effect" && !a[3].quoted;
             s.Acting();
             PressCombo(window, s.Arg(a, 2).text);
             if (noEffect)
                 s.Settled();
         }},
        {"type", "WINDOW CONTROL \"TEXT\"", "types the text into the focused control, a key at a time",
         [](S& s, const Args& a) {
             HWND window = s.Window(a, 1);
             HWND control = s.Control(a, 1);
             s.Acting();
             s.Type(window, control, s.Str(a, 3));
             s.Settled();
         }},
        {"paste", "WINDOW \"TEXT\"", "pastes the text with Ctrl+V",
         [](S& s, const Args& a) {
             HWND window = s.Window(a, 1);
             s.Acting();
             SetClipboardBytes(s.Str(a, 2));
             PressCombo(window, "ctrl+V");
         }},
        {"click", "WINDOW CONTROL", "clicks the middle of the control",
         [](S& s, const Args& a) {
             HWND window = s.Window(a, 1);
             HWND control = s.Control(a, 1);
             s.Acting();
             ClickAt(window, CentreOf(control));
         }},
        {"click-close", "WINDOW", "clicks the window's close box",
         [](S& s, const Args& a) {
             HWND window = s.Window(a, 1);
             s.Acting();
             ClickAt(window, CaptionButtonPoint(window, HTCLOSE));
         }},
        {"click-minimise", "WINDOW", "clicks the window's minimise box",
         [](S& s, const Args& a) {
             HWND window = s.Window(a, 1);
             s.Acting();
             ClickAt(window, CaptionButtonPoint(window, HTMINBUTTON));
         }},
        {"restore", "WINDOW", "restores the minimised window, as its task-bar button would",
         [](S& s, const Args& a) {
             HWND window = s.Window(a, 1);
             s.Acting();
             PostMessageA(window, WM_SYSCOMMAND, SC_RESTORE, 0);
         }},
        {"menu", "WINDOW COMMAND", "chooses a menu command (IDM_CONNECT, IDM_ABOUT, IDM_EXIT)",
         [](S& s, const Args& a) {
             HWND window = s.Window(a, 1);
             int id = s.ControlId(a, 2);
             s.Acting();
             PostMessageA(window, WM_COMMAND, MAKEWPARAM(id, 0), 0);
         }},
        {"syscommand-close", "WINDOW", "chooses Close in the system menu",
         [](S& s, const Args& a) {
             HWND window = s.Window(a, 1);
             s.Acting();
             PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
         }},
        {"roll-log", "WINDOW LINES LENGTH LIMIT", "the peer sends numbered lines; the log keeps the newest whole ones within LIMIT",
         [](S& s, const Args& a) {
             s.RollLog(s.Window(a, 1), s.Int(a, 2), s.Int(a, 3), s.Int(a, 4));
             s.Settled();
         }},
        {"type-lines-to-slow-peer", "WINDOW COUNT [refused-after=BYTES]",
         "sends COUNT lines of 255 characters while the peer does not read; a refused line must stay in the input line",
         [](S& s, const Args& a) {
             s.Acting();
             s.TypeLinesToSlowPeer(s.Window(a, 1), s.Int(a, 2), s.Option(a, 3, "refused-after"));
             s.Settled();
         }},

        // The scripted peer in the server's place.
        {"peer listen", "[rcvbuf=BYTES]", "listens on 127.0.0.1:1024",
         [](S& s, const Args& a) { s.peer_.Listen(1024, s.Option(a, 2, "rcvbuf")); }},
        {"peer stop-listening", "", "stops listening",
         [](S& s, const Args&) { s.peer_.StopListening(); }},
        {"peer accept", "", "waits for the client's connection",
         [](S& s, const Args&) {
             s.peer_.Accept();
             s.Settled();
         }},
        {"peer expect-no-connection", "", "no connection waits",
         [](S& s, const Args&) {
             if (s.peer_.HasPendingConnection())
                 Fail("the client connected to the peer");
         }},
        {"peer send", "\"TEXT\"", "sends the text, masked",
         [](S& s, const Args& a) { s.peer_.Send(Mask(s.Str(a, 2))); }},
        {"peer send-raw", "\"BYTES\"", "sends the bytes as they are",
         [](S& s, const Args& a) { s.peer_.Send(s.Str(a, 2)); }},
        {"peer expect", "\"BYTES\"", "waits for the client to send these bytes next",
         [](S& s, const Args& a) {
             s.peer_.ExpectBytes(s.Str(a, 2));
             s.Settled();
         }},
        {"peer expect-nothing", "", "the client has sent nothing more",
         [](S& s, const Args&) {
             s.peer_.ExpectNothing();
             s.Settled();
         }},
        {"peer expect-closed", "", "waits for the client to close the connection",
         [](S& s, const Args&) {
             s.peer_.ExpectClosed();
             s.Settled();
         }},
        {"peer close", "", "closes the connection in order",
         [](S& s, const Args&) { s.peer_.Close(); }},
        {"peer reset", "", "resets the connection",
         [](S& s, const Args&) { s.peer_.Reset(); }},
        {"peer shutdown-write", "", "ends the peer's sending side",
         [](S& s, const Args&) { s.peer_.ShutdownWrite(); }},
        {"peer flood-start", "", "floods the client with numbered lines from a thread of its own",
         [](S& s, const Args&) {
             if (s.flood_)
                 throw std::invalid_argument("a flood is running already");
             s.flood_ = std::make_unique<Flooder>(s.peer_.Socket());
         }},
        {"peer flood-for", "SECONDS", "lets the flood go on for this long",
         [](S& s, const Args& a) {
             Flooder& flood = s.RunningFlood();
             long long before = flood.BytesSent();
             Sleep(static_cast<DWORD>(s.Int(a, 2)) * 1000);
             std::printf("info: %lld bytes of flood went out in %d s\n", flood.BytesSent() - before, s.Int(a, 2));
         }},
        {"peer flood-stop", "\"TEXT\"", "stops the flood and sends the text after it",
         [](S& s, const Args& a) {
             s.RunningFlood().Stop();
             s.flood_.reset();
             s.peer_.Send(Mask(s.Str(a, 2)));
         }},

        // Raw members of a room on the real server.
        {"member connect", "NAME [PORT]", "a member called NAME joins the room (port 1024 unless given)",
         [](S& s, const Args& a) {
             s.members_[s.Arg(a, 1).text].Connect(a.size() > 3 ? s.Int(a, 3) : 1024);
         }},
        {"member send", "NAME \"TEXT\"", "the member sends the text",
         [](S& s, const Args& a) { s.MemberNamed(a[1].text).Send(s.Str(a, 3)); }},
        {"member expect", "NAME \"TEXT\"", "waits for the member to receive this text next, unmasked",
         [](S& s, const Args& a) {
             s.MemberNamed(a[1].text).ExpectUnmasked(s.Str(a, 3));
             s.Settled();
         }},
        {"member expect-nothing", "NAME", "the member has received nothing more",
         [](S& s, const Args& a) {
             s.MemberNamed(a[1].text).ExpectNothing();
             s.Settled();
         }},
        {"member expect-closed", "NAME", "waits for the server to close the member's connection",
         [](S& s, const Args& a) {
             s.MemberNamed(a[1].text).ExpectClosed();
             s.Settled();
         }},
        {"member close", "NAME", "the member leaves",
         [](S& s, const Args& a) { s.MemberNamed(a[1].text).Close(); }},
        {"together", "\"TEXT\" NAME...", "each member sends \"TEXT from NAME\", all back to back",
         [](S& s, const Args& a) { s.SayTogether(a); }},
        {"expect-log-said", "WINDOW", "waits for the log to show what members said together, one message a line",
         [](S& s, const Args& a) {
             s.ExpectLogSaid(s.Window(a, 1));
             s.Settled();
         }},

        // Benchmarks: figures, not tests.
        {"bench-receive-only", "SECONDS", "floods the receive-only program (--receive-only) and measures its rate",
         [](S& s, const Args& a) {
             if (s.options_.receiveOnly.empty())
                 throw std::invalid_argument("the driver was started without --receive-only");
             s.receiveOnlyRate_ = RunReceiveOnlyBenchmark(s.options_.receiveOnly, s.peer_, s.Int(a, 1));
         }},
        {"bench-flood", "WINDOW SECONDS", "floods the connected client while a person types, and measures",
         [](S& s, const Args& a) {
             RunFloodBenchmark(s.Window(a, 1), s.peer_, s.Int(a, 2), s.options_.shots, s.receiveOnlyRate_);
             s.Settled();
         }},
    };
    return commands;
}

void Script::Execute(const Args& tokens)
{
    std::string name = tokens[0].text;
    if (name == "peer" || name == "member") {
        size_t verb = name == "peer" ? 1 : 2;
        name += " " + Arg(tokens, verb).text;
    }
    for (const Command& command : Commands())
        if (name == command.name) {
            command.run(*this, tokens);
            return;
        }
    throw std::invalid_argument("unknown command '" + name + "' (velmora-drive --help lists them)");
}

void Script::Finish()
{
    if (pendingKeyLine_ != 0)
        throw std::invalid_argument("the script ends without waiting for the effect of line " +
                                    std::to_string(pendingKeyLine_));
    if (peer_.Connected() && !peer_.ClientClosed())
        peer_.ExpectNothing();
    else if (!peer_.Unread().empty())
        Fail("the peer received bytes nobody expected: " + Printable(peer_.Unread()));
    if (ClientRunning())
        Fail("the client is still running at the end of the script");
    // Every beep of a scenario is one that it expected.
    if (!options_.bells.empty() && ReadBells() - bellsAtStart_ != expectedBells_)
        Fail("the client beeped " + std::to_string(ReadBells() - bellsAtStart_) +
             " times in all, expected " + std::to_string(expectedBells_));
}

int Script::Run()
{
    std::ifstream in(options_.script, std::ios::binary);
    if (!in) {
        std::printf("FAIL %s: cannot read the script\n", options_.script.c_str());
        return 2;
    }
    std::string line, current;
    try {
        StartNetworking();
        if (!options_.bells.empty())
            bellsAtStart_ = ReadBells();
        while (std::getline(in, line)) {
            ++lineNumber_;
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            current = line;
            std::vector<Token> tokens = Tokenize(line);
            if (!tokens.empty())
                Execute(tokens);
        }
        current = "(end of script)";
        Finish();
    } catch (const std::exception& failure) {
        bool scriptError = dynamic_cast<const Failure*>(&failure) == nullptr;
        std::printf("FAIL %s:%d: %s\n  %s%s\n", options_.script.c_str(), lineNumber_,
                    current.c_str(), scriptError ? "script error: " : "", failure.what());
        if (!options_.failShot.empty()) {
            try {
                WriteBmp(CaptureScreenRect(ScreenRect()), options_.failShot);
            } catch (const std::exception&) {
            }
        }
        flood_.reset();
        KillClient();
        peer_.Shutdown();
        for (auto& member : members_)
            member.second.Close();
        std::fflush(stdout);
        return scriptError ? 2 : 1;
    }
    peer_.Shutdown();
    for (auto& member : members_)
        member.second.Close();
    std::printf("PASS %s\n", options_.script.c_str());
    std::fflush(stdout);
    return 0;
}

}  // namespace

void Fail(const std::string& message)
{
    throw Failure(message);
}

ULONGLONG NowMs()
{
    return GetTickCount64();
}

std::string Printable(const std::string& bytes, size_t limit)
{
    auto render = [](const std::string& part) {
        std::string out;
        for (unsigned char c : part) {
            if (c == '\r') out += "\\r";
            else if (c == '\n') out += "\\n";
            else if (c == '\t') out += "\\t";
            else if (c == '\\') out += "\\\\";
            else if (c == '"') out += "\\\"";
            else if (c < 0x20 || c >= 0x7F) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02X", c);
                out += hex;
            } else out += static_cast<char>(c);
        }
        return out;
    };
    if (bytes.size() <= limit)
        return "\"" + render(bytes) + "\"";
    return "\"" + render(bytes.substr(0, limit / 2)) + "\" ... (" +
           std::to_string(bytes.size() - limit) + " bytes) ... \"" +
           render(bytes.substr(bytes.size() - limit / 2)) + "\"";
}

std::string Difference(const std::string& expected, const std::string& seen)
{
    size_t at = 0;
    while (at < expected.size() && at < seen.size() && expected[at] == seen[at])
        ++at;
    size_t from = at > 40 ? at - 40 : 0;
    std::string where = "first difference at byte " + std::to_string(at) + " of " +
                        std::to_string(expected.size()) + " expected / " +
                        std::to_string(seen.size()) + " seen";
    if (expected.size() <= 200 && seen.size() <= 200)
        return "expected " + Printable(expected) + ", saw " + Printable(seen) + " (" + where + ")";
    return where + ": expected ..." + Printable(expected.substr(from, 120)) + ", saw ..." +
           Printable(seen.substr(from, 120));
}

void PrintUsage(FILE* out)
{
    std::fprintf(out,
                 "usage: velmora-drive --client PATH --script PATH [--shots DIR] [--fail-shot PATH]\n"
                 "                     [--bells PATH] [--receive-only PATH]\n"
                 "Plays a scenario script against velmora.exe, one command a line ('#' starts a comment).\n"
                 "Strings are quoted, with \\r \\n \\t \\0 \\xHH escapes; \"ab\"*3 repeats and \"a\"+\"b\" joins;\n"
                 "the bare word version stands for the program's version. Commands:\n");
    for (const Command& command : Script::Commands())
        std::fprintf(out, "  %s %s\n      %s\n", command.name, command.arguments, command.help);
}

int main(int argc, char** argv)
{
    Options options;
    if (argc == 2 && std::string(argv[1]) == "--help") {
        PrintUsage(stdout);
        return 0;
    }
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string name = argv[i];
        if (name == "--client") options.client = argv[i + 1];
        else if (name == "--script") options.script = argv[i + 1];
        else if (name == "--shots") options.shots = argv[i + 1];
        else if (name == "--fail-shot") options.failShot = argv[i + 1];
        else if (name == "--bells") options.bells = argv[i + 1];
        else if (name == "--receive-only") options.receiveOnly = argv[i + 1];
        else {
            std::fprintf(stderr, "unknown option %s\n", argv[i]);
            PrintUsage(stderr);
            return 2;
        }
    }
    if (options.client.empty() || options.script.empty() || argc % 2 == 0) {
        PrintUsage(stderr);
        return 2;
    }
    if (GetACP() != 1252) {
        std::printf("FAIL %s: the ANSI code page is %u, not 1252, so texts would not compare\n",
                    options.script.c_str(), GetACP());
        return 2;
    }
    return Script(options).Run();
}
