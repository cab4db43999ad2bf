// Reads a scenario script and carries it out against velmora.exe, stopping at the first failure.
// Usage: velmora-drive.exe --client PATH --script PATH [--shots DIR] [--fail-shot PATH]
//                          [--bells PATH]
#include "drive.h"

#include "resource.h"

#include <cctype>
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

struct Token {
    std::string text;
    bool quoted = false;
};

struct Options {
    std::string client;
    std::string script;
    std::string shots = ".";
    std::string failShot;
    std::string bells;
};

// One quoted piece from the opening quote at line[i]; leaves i after an optional "*N".
std::string ParseQuoted(const std::string& line, size_t& i)
{
    std::string text;
    ++i;
    for (;;) {
        if (i >= line.size())
            throw std::invalid_argument("unterminated string");
        char d = line[i++];
        if (d == '"')
            break;
        if (d != '\\') {
            text += d;
            continue;
        }
        if (i >= line.size())
            throw std::invalid_argument("unterminated string");
        char e = line[i++];
        switch (e) {
        case 'r': text += '\r'; break;
        case 'n': text += '\n'; break;
        case 't': text += '\t'; break;
        case '0': text += '\0'; break;
        case '\\': text += '\\'; break;
        case '"': text += '"'; break;
        case 'x':
            if (i + 2 > line.size() || !std::isxdigit(static_cast<unsigned char>(line[i])) ||
                !std::isxdigit(static_cast<unsigned char>(line[i + 1])))
                throw std::invalid_argument("\\x needs two hex digits");
            text += static_cast<char>(std::stoi(line.substr(i, 2), nullptr, 16));
            i += 2;
            break;
        default:
            throw std::invalid_argument(std::string("unknown escape \\") + e);
        }
    }
    // "ab"*3 stands for "ababab".
    if (i < line.size() && line[i] == '*') {
        size_t end = i + 1;
        while (end < line.size() && std::isdigit(static_cast<unsigned char>(line[end])))
            ++end;
        if (end == i + 1)
            throw std::invalid_argument("'*' after a string needs a count");
        int count = std::stoi(line.substr(i + 1, end - i - 1));
        std::string unit = text;
        text.clear();
        for (int k = 0; k < count; ++k)
            text += unit;
        i = end;
    }
    return text;
}

std::vector<Token> Tokenize(const std::string& line)
{
    std::vector<Token> tokens;
    size_t i = 0;
    while (i < line.size()) {
        unsigned char c = static_cast<unsigned char>(line[i]);
        if (std::isspace(c)) {
            ++i;
            continue;
        }
        if (c == '#')
            break;
        Token token;
        if (c != '"') {
            while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i])))
                token.text += line[i++];
            tokens.push_back(token);
            continue;
        }
        token.quoted = true;
        token.text = ParseQuoted(line, i);
        // "ab"+"cd" joins the two.
        while (i + 1 < line.size() && line[i] == '+' && line[i + 1] == '"') {
            ++i;
            token.text += ParseQuoted(line, i);
        }
        tokens.push_back(token);
    }
    return tokens;
}

class Script {
public:
    explicit Script(const Options& options) : options_(options) {}
    int Run();

private:
    void Execute(const std::vector<Token>& tokens);
    void Peer(const std::vector<Token>& args);
    void Client2(const std::vector<Token>& args);
    void Finish();

    const Token& Arg(const std::vector<Token>& tokens, size_t index);
    std::string Str(const std::vector<Token>& tokens, size_t index);
    int Int(const std::vector<Token>& tokens, size_t index);
    HWND Window(const std::vector<Token>& tokens, size_t index);
    std::string Caption(const std::vector<Token>& tokens, size_t index);
    int ControlId(const std::vector<Token>& tokens, size_t index);
    HWND Control(const std::vector<Token>& tokens, size_t windowIndex);
    int Option(const std::vector<Token>& tokens, size_t from, const std::string& name);

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
    void TypeUntilRefused(HWND window, int maxLines);
    void ExpectTypedPrefix(int minimumBytes);

    const Options& options_;
    ::Peer peer_;
    SecondClient client2_;
    std::vector<std::string> typedLines_;
    long refusedBellBase_ = 0;
    int lineNumber_ = 0;
    int pendingKeyLine_ = 0;
    long bellsAtStart_ = 0;
    long expectedBells_ = 0;
};

const Token& Script::Arg(const std::vector<Token>& tokens, size_t index)
{
    if (index >= tokens.size())
        throw std::invalid_argument("'" + tokens[0].text + "' needs more arguments");
    return tokens[index];
}

std::string Script::Str(const std::vector<Token>& tokens, size_t index)
{
    const Token& token = Arg(tokens, index);
    // The bare word "version" stands for the program's version, as the build knows it.
    if (!token.quoted && token.text == "version")
        return VELMORA_VERSION_TEXT;
    if (!token.quoted)
        throw std::invalid_argument("argument " + std::to_string(index) + " must be a quoted string");
    return token.text;
}

int Script::Int(const std::vector<Token>& tokens, size_t index)
{
    const Token& token = Arg(tokens, index);
    char* end = nullptr;
    long value = std::strtol(token.text.c_str(), &end, 0);
    if (token.quoted || end == token.text.c_str() || *end != '\0')
        throw std::invalid_argument("argument " + std::to_string(index) + " must be a number");
    return static_cast<int>(value);
}

int Script::Option(const std::vector<Token>& tokens, size_t from, const std::string& name)
{
    for (size_t i = from; i < tokens.size(); ++i)
        if (!tokens[i].quoted && tokens[i].text.rfind(name + "=", 0) == 0)
            return std::atoi(tokens[i].text.c_str() + name.size() + 1);
    return 0;
}

std::string Script::Caption(const std::vector<Token>& tokens, size_t index)
{
    const Token& token = Arg(tokens, index);
    if (token.quoted)
        return token.text;
    auto it = WINDOW_CAPTIONS.find(token.text);
    if (it == WINDOW_CAPTIONS.end())
        throw std::invalid_argument("unknown window '" + token.text + "'");
    return it->second;
}

HWND Script::Window(const std::vector<Token>& tokens, size_t index)
{
    std::string caption = Caption(tokens, index);
    HWND window = FindWindowByCaption(caption);
    if (window == nullptr)
        Fail("the client shows no window \"" + caption + "\"");
    return window;
}

int Script::ControlId(const std::vector<Token>& tokens, size_t index)
{
    const Token& token = Arg(tokens, index);
    auto it = CONTROL_IDS.find(token.text);
    if (token.quoted || it == CONTROL_IDS.end())
        throw std::invalid_argument("unknown control '" + token.text + "'");
    return it->second;
}

HWND Script::Control(const std::vector<Token>& tokens, size_t windowIndex)
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

// Pastes numbered 255-character lines and sends each, while the peer reads nothing, until the
// client has beeped: its outbox is full. Two more lines follow, which it must refuse as well.
void Script::TypeUntilRefused(HWND window, int maxLines)
{
    HWND input = ControlOf(window, IDC_INPUT, "IDC_INPUT");
    HWND log = ControlOf(window, IDC_LOG, "IDC_LOG");
    typedLines_.clear();
    refusedBellBase_ = ReadBells();
    int linesAfterBeep = -1;
    while (linesAfterBeep < 2) {
        int n = static_cast<int>(typedLines_.size());
        if (n == maxLines)
            Fail("the client took " + std::to_string(n) + " lines (" + std::to_string(n * LINE_LIMIT) +
                 " bytes) that the server did not read without a beep");
        char head[32];
        std::snprintf(head, sizeof head, "<%05d|", n);
        std::string line = head;
        while (static_cast<int>(line.size()) < LINE_LIMIT - 1)
            line += static_cast<char>('A' + (line.size() * 7 + n) % 26);
        line += '>';
        SetClipboardBytes(line);
        PressCombo(window, "ctrl+V");
        std::string seen;
        if (!PollUntil([&] { return (seen = ReadText(input)) == line; }))
            Fail("line " + std::to_string(n) + " was not pasted whole: " + Difference(line, seen));
        PressCombo(window, "RETURN");
        if (!PollUntil([&] { return ReadTextLength(input) == 0; }))
            Fail("the input line was not cleared after line " + std::to_string(n));
        ExpectText(log, line + "\r\n", false);
        typedLines_.push_back(line);
        if (linesAfterBeep >= 0)
            ++linesAfterBeep;
        else if (ReadBells() > refusedBellBase_)
            linesAfterBeep = 0;
    }
    std::printf("info: the client beeped after %zu lines of %d bytes\n", typedLines_.size(), LINE_LIMIT);
}

// The peer reads all: the lines must arrive whole and in order up to the first refused one, and
// the client must have beeped once for each line it refused.
void Script::ExpectTypedPrefix(int minimumBytes)
{
    std::string all;
    for (const std::string& line : typedLines_)
        all += line;
    const long typed = static_cast<long>(typedLines_.size());
    long refused = -1;
    std::string expected;
    bool ok = PollUntil([&] {
        peer_.Drain(0);
        if (peer_.Unread().compare(0, std::string::npos, all, 0, peer_.Unread().size()) != 0)
            Fail("the server received other bytes than typed: " + Difference(all, peer_.Unread()));
        refused = ReadBells() - refusedBellBase_;
        if (refused > typed)
            Fail("the client beeped " + std::to_string(refused) + " times for " + std::to_string(typed) + " lines");
        expected = all.substr(0, static_cast<size_t>(typed - refused) * LINE_LIMIT);
        return peer_.Unread() == expected;
    });
    if (!ok)
        Fail("the client beeped " + std::to_string(refused) + " times for " + std::to_string(typed) +
             " lines, so " + std::to_string(expected.size()) + " bytes should have arrived, but " +
             std::to_string(peer_.Unread().size()) + " did");
    if (static_cast<int>(expected.size()) < minimumBytes)
        Fail("the client refused lines after only " + std::to_string(expected.size()) +
             " bytes had gone out, fewer than " + std::to_string(minimumBytes));
    std::printf("info: %zu bytes arrived whole and in order; %ld lines were refused with a beep\n",
                expected.size(), refused);
    expectedBells_ = ReadBells() - bellsAtStart_;
    peer_.Unread().clear();
    typedLines_.clear();
}

void Script::Peer(const std::vector<Token>& args)
{
    const std::string& verb = Arg(args, 1).text;
    if (verb == "listen") {
        peer_.Listen(1024, Option(args, 2, "rcvbuf"));
    } else if (verb == "stop-listening") {
        peer_.StopListening();
    } else if (verb == "accept") {
        peer_.Accept();
    } else if (verb == "expect-no-connection") {
        if (peer_.HasPendingConnection())
            Fail("the client connected to the peer");
    } else if (verb == "send") {
        peer_.Send(Mask(Str(args, 2)));
    } else if (verb == "send-raw") {
        peer_.Send(Str(args, 2));
    } else if (verb == "expect") {
        peer_.ExpectBytes(Str(args, 2));
    } else if (verb == "expect-typed-prefix") {
        ExpectTypedPrefix(Int(args, 2));
    } else if (verb == "expect-nothing") {
        peer_.ExpectNothing();
    } else if (verb == "expect-closed") {
        peer_.ExpectClosed();
    } else if (verb == "close") {
        peer_.Close();
    } else if (verb == "reset") {
        peer_.Reset();
    } else if (verb == "shutdown-write") {
        peer_.ShutdownWrite();
    } else {
        throw std::invalid_argument("unknown peer command '" + verb + "'");
    }
}

void Script::Client2(const std::vector<Token>& args)
{
    const std::string& verb = Arg(args, 1).text;
    if (verb == "connect")
        client2_.Connect(args.size() > 2 ? Int(args, 2) : 1024);
    else if (verb == "send")
        client2_.Send(Str(args, 2));
    else if (verb == "expect")
        client2_.ExpectUnmasked(Str(args, 2));
    else if (verb == "expect-nothing")
        client2_.ExpectNothing();
    else if (verb == "expect-closed")
        client2_.ExpectClosed();
    else if (verb == "close")
        client2_.Close();
    else
        throw std::invalid_argument("unknown client2 command '" + verb + "'");
}

void Script::Execute(const std::vector<Token>& tokens)
{
    const std::string& command = tokens[0].text;
    if (command == "timeout") {
        g_timeoutMs = static_cast<DWORD>(Int(tokens, 1)) * 1000;
    } else if (command == "needs") {
        Arg(tokens, 1);   // read by the runner
    } else if (command == "launch") {
        LaunchClient(options_.client);
        WaitWindow(WINDOW_CAPTIONS.at("main"));
        Settled();
    } else if (command == "expect-exit") {
        DWORD code = WaitClientExit();
        DWORD expected = static_cast<DWORD>(Int(tokens, 1));
        if (code != expected)
            Fail("exit status " + std::to_string(static_cast<long>(code)) + " (0x" +
                 [&] { char b[16]; std::snprintf(b, sizeof b, "%08lX", code); return std::string(b); }() +
                 "), expected " + std::to_string(static_cast<long>(expected)));
        Settled();
    } else if (command == "expect-running") {
        if (!ClientRunning())
            Fail("the client has ended");
    } else if (command == "wait-window") {
        WaitWindow(Caption(tokens, 1));
        Settled();
    } else if (command == "wait-gone") {
        std::string caption = Caption(tokens, 1);
        if (!PollUntil([&] { return FindWindowByCaption(caption) == nullptr; }))
            Fail("the window \"" + caption + "\" is still shown");
        Settled();
    } else if (command == "expect-no-window") {
        std::string caption = Caption(tokens, 1);
        if (FindWindowByCaption(caption) != nullptr)
            Fail("the window \"" + caption + "\" is shown");
    } else if (command == "expect-one-window") {
        std::string caption = Caption(tokens, 1);
        size_t count = FindWindowsByCaption(caption).size();
        if (count != 1)
            Fail(std::to_string(count) + " windows \"" + caption + "\" are shown, not one");
    } else if (command == "expect-text") {
        ExpectText(Control(tokens, 1), Str(tokens, 3), true);
        Settled();
    } else if (command == "expect-text-ends") {
        ExpectText(Control(tokens, 1), Str(tokens, 3), false);
        Settled();
    } else if (command == "check-text") {
        std::string expected = Str(tokens, 3);
        std::string seen = ReadText(Control(tokens, 1));
        if (seen != expected)
            Fail("text differs: " + Difference(expected, seen));
    } else if (command == "check-text-ends") {
        std::string expected = Str(tokens, 3);
        std::string seen = ReadText(Control(tokens, 1));
        if (seen.size() < expected.size() ||
            seen.compare(seen.size() - expected.size(), expected.size(), expected) != 0)
            Fail("text does not end with " + Printable(expected) + "; it ends with " +
                 Printable(seen.substr(seen.size() > 80 ? seen.size() - 80 : 0)));
    } else if (command == "expect-text-length") {
        HWND control = Control(tokens, 1);
        int expected = Int(tokens, 3);
        int seen = -1;
        if (!PollUntil([&] { return (seen = ReadTextLength(control)) == expected; }))
            Fail("text length " + std::to_string(seen) + ", expected " + std::to_string(expected));
        Settled();
    } else if (command == "expect-focus") {
        HWND control = Control(tokens, 1);
        if (!PollUntil([&] { return FocusedWindow() == control; })) {
            HWND focus = FocusedWindow();
            Fail("the focus is not on " + tokens[2].text + " but on " +
                 (focus ? ClassOf(focus) + " " + std::to_string(GetDlgCtrlID(focus)) : "nothing"));
        }
        Settled();
    } else if (command == "expect-sel") {
        HWND control = Control(tokens, 1);
        DWORD expected = MAKELONG(Int(tokens, 3), Int(tokens, 4));
        DWORD seen = 0;
        if (!PollUntil([&] { return (seen = ReadSelection(control)) == expected; }))
            Fail("selection " + std::to_string(LOWORD(seen)) + ".." + std::to_string(HIWORD(seen)) +
                 ", expected " + tokens[3].text + ".." + tokens[4].text);
        Settled();
    } else if (command == "expect-style") {
        HWND control = Control(tokens, 1);
        const std::string& what = Arg(tokens, 3).text;
        bool ok = what == "visible"    ? IsWindowVisible(control) != 0
                  : what == "hidden"   ? IsWindowVisible(control) == 0
                  : what == "enabled"  ? IsWindowEnabled(control) != 0
                  : what == "disabled" ? IsWindowEnabled(control) == 0
                  : throw std::invalid_argument("unknown state '" + what + "'");
        if (!ok)
            Fail(tokens[2].text + " is not " + what);
    } else if (command == "expect-box") {
        HWND box = WaitWindow(Caption(tokens, 1));
        ExpectBox(box, Str(tokens, 2));
        Settled();
    } else if (command == "expect-static-contains") {
        std::vector<std::string> parts;
        for (size_t i = 2; i < tokens.size(); ++i)
            parts.push_back(Str(tokens, i));
        ExpectStaticContains(Window(tokens, 1), parts);
    } else if (command == "expect-icon-control") {
        ExpectIconControl(Window(tokens, 1));
    } else if (command == "expect-exe-icon") {
        ExpectExeIcon();
    } else if (command == "key") {
        // "no-effect" marks a key whose lack of effect the next key's effect will show.
        HWND window = Window(tokens, 1);
        bool noEffect = tokens.size() > 3 && tokens[3].text == "no-effect" && !tokens[3].quoted;
        Acting();
        PressCombo(window, Arg(tokens, 2).text);
        if (noEffect)
            Settled();
    } else if (command == "type") {
        HWND window = Window(tokens, 1);
        HWND control = Control(tokens, 1);
        Acting();
        Type(window, control, Str(tokens, 3));
        Settled();
    } else if (command == "paste") {
        HWND window = Window(tokens, 1);
        Acting();
        SetClipboardBytes(Str(tokens, 2));
        PressCombo(window, "ctrl+V");
    } else if (command == "click") {
        HWND window = Window(tokens, 1);
        HWND control = Control(tokens, 1);
        Acting();
        ClickAt(window, CentreOf(control));
    } else if (command == "click-close") {
        HWND window = Window(tokens, 1);
        Acting();
        ClickAt(window, CloseBoxPoint(window));
    } else if (command == "menu") {
        HWND window = Window(tokens, 1);
        int id = ControlId(tokens, 2);
        Acting();
        PostMessageA(window, WM_COMMAND, MAKEWPARAM(id, 0), 0);
    } else if (command == "syscommand-close") {
        HWND window = Window(tokens, 1);
        Acting();
        PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    } else if (command == "peer") {
        Peer(tokens);
        const std::string& verb = tokens[1].text;
        if (verb.rfind("expect", 0) == 0 || verb == "accept")
            Settled();
    } else if (command == "client2") {
        Client2(tokens);
        if (tokens[1].text.rfind("expect", 0) == 0)
            Settled();
    } else if (command == "roll-log") {
        RollLog(Window(tokens, 1), Int(tokens, 2), Int(tokens, 3), Int(tokens, 4));
        Settled();
    } else if (command == "type-until-refused") {
        Acting();
        TypeUntilRefused(Window(tokens, 1), Int(tokens, 2));
        Settled();
    } else if (command == "shot") {
        // As a person sees it: the window in front and active, its painting done.
        HWND window = Window(tokens, 1);
        if (!PollUntil([&] { return GetForegroundWindow() == window; }))
            Fail("the window to picture is not the active one");
        WriteBmp(CaptureSettled(WindowRect(window)), ShotPath(Arg(tokens, 2).text));
    } else if (command == "bench-flood") {
        RunFloodBenchmark(Window(tokens, 1), peer_, Int(tokens, 2), options_.shots);
        Settled();
    } else if (command == "expect-beeps") {
        ExpectBells(Int(tokens, 1));
        Settled();
    } else if (command == "print") {
        std::printf("%s\n", Str(tokens, 1).c_str());
    } else {
        throw std::invalid_argument("unknown command '" + command + "'");
    }
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
        KillClient();
        peer_.Shutdown();
        client2_.Close();
        std::fflush(stdout);
        return scriptError ? 2 : 1;
    }
    peer_.Shutdown();
    client2_.Close();
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

int main(int argc, char** argv)
{
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string name = argv[i];
        if (name == "--client") options.client = argv[i + 1];
        else if (name == "--script") options.script = argv[i + 1];
        else if (name == "--shots") options.shots = argv[i + 1];
        else if (name == "--fail-shot") options.failShot = argv[i + 1];
        else if (name == "--bells") options.bells = argv[i + 1];
        else {
            std::fprintf(stderr, "unknown option %s\n", argv[i]);
            return 2;
        }
    }
    if (options.client.empty() || options.script.empty()) {
        std::fprintf(stderr,
                     "usage: velmora-drive --client PATH --script PATH [--shots DIR] [--fail-shot PATH]"
                     " [--bells PATH]\n");
        return 2;
    }
    if (GetACP() != 1252) {
        std::printf("FAIL %s: the ANSI code page is %u, not 1252, so texts would not compare\n",
                    options.script.c_str(), GetACP());
        return 2;
    }
    return Script(options).Run();
}
