#include "drive.h"

#include <algorithm>
#include <cctype>
#include <map>

ClientProcess g_client;

namespace {

// Generous: a slow machine answers within it, a hung client does not.
constexpr UINT MESSAGE_TIMEOUT_MS = 10000;

LRESULT SendTo(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(window, message, wParam, lParam, SMTO_NORMAL, MESSAGE_TIMEOUT_MS,
                             &result))
        Fail("the client did not answer message " + std::to_string(message) + " within " +
             std::to_string(MESSAGE_TIMEOUT_MS / 1000) + " s");
    return static_cast<LRESULT>(result);
}

struct KeyName {
    const char* name;
    WORD vk;
};

const KeyName KEY_NAMES[] = {
    {"RETURN", VK_RETURN}, {"ENTER", VK_RETURN}, {"ESCAPE", VK_ESCAPE}, {"TAB", VK_TAB},
    {"SPACE", VK_SPACE},   {"BACK", VK_BACK},    {"DELETE", VK_DELETE}, {"HOME", VK_HOME},
    {"END", VK_END},       {"LEFT", VK_LEFT},    {"RIGHT", VK_RIGHT},   {"UP", VK_UP},
    {"DOWN", VK_DOWN},     {"F4", VK_F4},        {"F10", VK_F10},
};

bool IsExtendedKey(WORD vk)
{
    switch (vk) {
    case VK_DELETE: case VK_HOME: case VK_END: case VK_LEFT: case VK_RIGHT: case VK_UP:
    case VK_DOWN: case VK_PRIOR: case VK_NEXT: case VK_INSERT:
        return true;
    default:
        return false;
    }
}

INPUT KeyInput(WORD vk, bool up)
{
    INPUT input{};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = vk;
    input.ki.wScan = static_cast<WORD>(MapVirtualKeyA(vk, MAPVK_VK_TO_VSC));
    input.ki.dwFlags = (up ? KEYEVENTF_KEYUP : 0) | (IsExtendedKey(vk) ? KEYEVENTF_EXTENDEDKEY : 0);
    return input;
}

void SendInputs(std::vector<INPUT>& inputs)
{
    UINT sent = SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
    if (sent != inputs.size())
        Fail("SendInput took " + std::to_string(sent) + " of " + std::to_string(inputs.size()) +
             " events (error " + std::to_string(GetLastError()) + ")");
}

WORD ParseKey(const std::string& name)
{
    std::string upper = name;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    for (const KeyName& key : KEY_NAMES)
        if (upper == key.name)
            return key.vk;
    if (upper.size() == 1 && std::isalnum(static_cast<unsigned char>(upper[0])))
        return static_cast<WORD>(upper[0]);
    Fail("unknown key name \"" + name + "\"");
}

struct EnumSearch {
    DWORD processId;
    const std::string* caption;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectByCaption(HWND window, LPARAM param)
{
    auto* search = reinterpret_cast<EnumSearch*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid != search->processId || !IsWindowVisible(window))
        return TRUE;
    char caption[256] = "";
    GetWindowTextA(window, caption, sizeof caption);
    if (*search->caption == caption && ClassOf(window) == "#32770")
        search->found.push_back(window);
    return TRUE;
}

}  // namespace

void LaunchClient(const std::string& path)
{
    if (g_client.started && ClientRunning())
        Fail("the client from an earlier launch is still running");
    if (g_client.started) {
        CloseHandle(g_client.info.hProcess);
        CloseHandle(g_client.info.hThread);
        g_client = ClientProcess{};
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    std::string commandLine = "\"" + path + "\"";
    if (!CreateProcessA(path.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &g_client.info))
        Fail("CreateProcess(" + path + ") failed with error " + std::to_string(GetLastError()));
    g_client.started = true;
}

bool ClientRunning()
{
    return g_client.started && WaitForSingleObject(g_client.info.hProcess, 0) == WAIT_TIMEOUT;
}

DWORD WaitClientExit()
{
    if (!g_client.started)
        Fail("no client was launched");
    if (WaitForSingleObject(g_client.info.hProcess, g_timeoutMs) != WAIT_OBJECT_0)
        Fail("the client was still running " + std::to_string(g_timeoutMs / 1000) + " s later");
    DWORD code = 0;
    GetExitCodeProcess(g_client.info.hProcess, &code);
    return code;
}

void KillClient()
{
    if (ClientRunning()) {
        TerminateProcess(g_client.info.hProcess, 0xDEAD);
        WaitForSingleObject(g_client.info.hProcess, g_timeoutMs);
    }
}

std::string ClassOf(HWND window)
{
    char name[64] = "";
    GetClassNameA(window, name, sizeof name);
    return name;
}

std::vector<HWND> FindWindowsByCaption(const std::string& caption)
{
    EnumSearch search{g_client.info.dwProcessId, &caption, {}};
    if (g_client.started)
        EnumWindows(CollectByCaption, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND FindWindowByCaption(const std::string& caption)
{
    std::vector<HWND> found = FindWindowsByCaption(caption);
    return found.empty() ? nullptr : found.front();
}

HWND WaitWindow(const std::string& caption)
{
    HWND window = nullptr;
    if (!PollUntil([&] {
            window = FindWindowByCaption(caption);
            return window != nullptr || !ClientRunning();
        }) ||
        window == nullptr)
        Fail("no visible window \"" + caption + "\" of the client" +
             (ClientRunning() ? " appeared" : ": the client has ended"));
    return window;
}

HWND ControlOf(HWND window, int id, const std::string& name)
{
    HWND control = GetDlgItem(window, id);
    if (control == nullptr)
        Fail("the window has no control " + name);
    return control;
}

int ReadTextLength(HWND control)
{
    return static_cast<int>(SendTo(control, WM_GETTEXTLENGTH, 0, 0));
}

std::string ReadText(HWND control)
{
    int length = ReadTextLength(control);
    std::string text(static_cast<size_t>(length) + 1, '\0');
    int copied = static_cast<int>(
        SendTo(control, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0])));
    text.resize(static_cast<size_t>(std::max(0, std::min(copied, length))));
    return text;
}

DWORD ReadSelection(HWND edit)
{
    return static_cast<DWORD>(SendTo(edit, EM_GETSEL, 0, 0));
}

HWND FocusedWindow()
{
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!g_client.started || !GetGUIThreadInfo(g_client.info.dwThreadId, &info))
        return nullptr;
    return info.hwndFocus;
}

void MakeForeground(HWND window)
{
    if (GetForegroundWindow() == window)
        return;
    if (!PollUntil([&] {
            if (GetForegroundWindow() == window)
                return true;
            SetForegroundWindow(window);
            return false;
        }))
        Fail("the window did not become the foreground window");
}

// "alt+F4", "shift+TAB", "ctrl+HOME", "RETURN", "x".
void PressCombo(HWND window, const std::string& combo)
{
    std::vector<WORD> modifiers;
    std::string rest = combo;
    for (;;) {
        size_t plus = rest.find('+');
        if (plus == std::string::npos || plus == 0 || plus + 1 == rest.size())
            break;
        std::string modifier = rest.substr(0, plus);
        std::transform(modifier.begin(), modifier.end(), modifier.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (modifier == "alt")
            modifiers.push_back(VK_MENU);
        else if (modifier == "shift")
            modifiers.push_back(VK_SHIFT);
        else if (modifier == "ctrl")
            modifiers.push_back(VK_CONTROL);
        else
            Fail("unknown modifier \"" + modifier + "\" in \"" + combo + "\"");
        rest = rest.substr(plus + 1);
    }
    WORD vk = ParseKey(rest);
    MakeForeground(window);
    std::vector<INPUT> inputs;
    for (WORD modifier : modifiers)
        inputs.push_back(KeyInput(modifier, false));
    inputs.push_back(KeyInput(vk, false));
    inputs.push_back(KeyInput(vk, true));
    for (auto it = modifiers.rbegin(); it != modifiers.rend(); ++it)
        inputs.push_back(KeyInput(*it, true));
    SendInputs(inputs);
}

void TypeChar(HWND window, unsigned char byte)
{
    MakeForeground(window);
    std::vector<INPUT> inputs;
    SHORT scan = byte < 0x80 ? VkKeyScanA(static_cast<char>(byte)) : -1;
    if (scan != -1 && (HIBYTE(scan) & ~1) == 0) {
        WORD vk = LOBYTE(scan);
        bool shift = HIBYTE(scan) & 1;
        if (shift)
            inputs.push_back(KeyInput(VK_SHIFT, false));
        inputs.push_back(KeyInput(vk, false));
        inputs.push_back(KeyInput(vk, true));
        if (shift)
            inputs.push_back(KeyInput(VK_SHIFT, true));
    } else {
        // A byte no key of the layout gives is typed as its character, as an input method would.
        char narrow = static_cast<char>(byte);
        wchar_t wide = 0;
        MultiByteToWideChar(1252, 0, &narrow, 1, &wide, 1);
        for (bool up : {false, true}) {
            INPUT input{};
            input.type = INPUT_KEYBOARD;
            input.ki.wScan = wide;
            input.ki.dwFlags = KEYEVENTF_UNICODE | (up ? KEYEVENTF_KEYUP : 0);
            inputs.push_back(input);
        }
    }
    SendInputs(inputs);
}

RECT WindowRect(HWND window)
{
    RECT rect{};
    if (!GetWindowRect(window, &rect))
        Fail("the window is gone");
    return rect;
}

POINT CentreOf(HWND control)
{
    RECT rect = WindowRect(control);
    return POINT{(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
}

POINT CaptionButtonPoint(HWND window, LRESULT button)
{
    RECT rect = WindowRect(window);
    for (int y = rect.top + 2; y < rect.top + 40 && y < rect.bottom; ++y)
        for (int x = rect.right - 2; x > rect.right - 100 && x > rect.left; --x) {
            if (SendTo(window, WM_NCHITTEST, 0, MAKELPARAM(x, y)) != button)
                continue;
            // Aim at the middle of the button, not its edge.
            int left = x;
            while (left > rect.left && SendTo(window, WM_NCHITTEST, 0, MAKELPARAM(left - 1, y)) == button)
                --left;
            return POINT{(x + left) / 2, y + 4};
        }
    Fail(button == HTCLOSE ? "the window's caption has no close box" : "the window's caption has no such button");
}

void ClickAt(HWND window, POINT point)
{
    MakeForeground(window);
    int width = GetSystemMetrics(SM_CXSCREEN);
    int height = GetSystemMetrics(SM_CYSCREEN);
    std::vector<INPUT> inputs(3);
    for (INPUT& input : inputs) {
        input.type = INPUT_MOUSE;
        input.mi.dx = static_cast<LONG>((point.x * 65535LL + width / 2) / (width - 1));
        input.mi.dy = static_cast<LONG>((point.y * 65535LL + height / 2) / (height - 1));
        input.mi.dwFlags = MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_MOVE;
    }
    inputs[1].mi.dwFlags |= MOUSEEVENTF_LEFTDOWN;
    inputs[2].mi.dwFlags |= MOUSEEVENTF_LEFTUP;
    SendInputs(inputs);
}

void SetClipboardBytes(const std::string& bytes)
{
    if (!PollUntil([] { return OpenClipboard(nullptr) != 0; }))
        Fail("the clipboard could not be opened");
    EmptyClipboard();
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes.size() + 1);
    char* target = static_cast<char*>(GlobalLock(memory));
    std::copy(bytes.begin(), bytes.end(), target);
    target[bytes.size()] = '\0';
    GlobalUnlock(memory);
    bool ok = SetClipboardData(CF_TEXT, memory) != nullptr;
    CloseClipboard();
    if (!ok)
        Fail("the clipboard did not take the text");
}
