// Reads velmora.exe as a PE file and checks what the program must carry: a 32-bit GUI image for
// the i386, imports from system DLLs only, and its resources exactly as the client is laid out.
// Prints one "ok - ..." or "FAIL - ..." line per check; exits 1 if any check failed.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "resource.h"

namespace {

// Platform constants, spelled out because this checker is built for the host.
constexpr uint32_t WS_POPUP = 0x80000000, WS_CHILD = 0x40000000, WS_VISIBLE = 0x10000000,
                   WS_DISABLED = 0x08000000, WS_CAPTION = 0x00C00000, WS_BORDER = 0x00800000,
                   WS_VSCROLL = 0x00200000, WS_HSCROLL = 0x00100000, WS_SYSMENU = 0x00080000,
                   WS_GROUP = 0x00020000, WS_MINIMIZEBOX = 0x00020000, WS_TABSTOP = 0x00010000;
constexpr uint32_t DS_MODALFRAME = 0x80, DS_3DLOOK = 0x04, DS_SETFONT = 0x40,
                   DS_SETFOREGROUND = 0x200, DS_CENTER = 0x800;
constexpr uint32_t WS_EX_DLGMODALFRAME = 0x1, WS_EX_CLIENTEDGE = 0x200, WS_EX_STATICEDGE = 0x20000;
constexpr uint32_t ES_MULTILINE = 0x4, ES_AUTOVSCROLL = 0x40, ES_AUTOHSCROLL = 0x80,
                   ES_READONLY = 0x800;
constexpr uint32_t BS_PUSHBUTTON = 0x0, BS_DEFPUSHBUTTON = 0x1, BS_GROUPBOX = 0x7,
                   BS_CENTER = 0x300;
constexpr uint32_t SS_LEFT = 0x0, SS_ICON = 0x3;
constexpr uint16_t CLASS_BUTTON = 0x80, CLASS_EDIT = 0x81, CLASS_STATIC = 0x82;
constexpr uint16_t MF_POPUP = 0x10, MF_END = 0x80;
constexpr uint16_t RT_ICON = 3, RT_MENU = 4, RT_DIALOG = 5, RT_GROUP_ICON = 14, RT_VERSION = 16,
                   RT_MANIFEST = 24;
constexpr uint16_t MANIFEST_ID = 1, VERSION_ID = 1, ICON_IMAGE_ID = 1;
constexpr uint16_t MACHINE_I386 = 0x14C, PE32_MAGIC = 0x10B, SUBSYSTEM_WINDOWS_GUI = 2;
constexpr uint16_t NO_CONTROL_ID = 0xFFFF;

int failures;

void Check(bool passed, const std::string& what, const std::string& detail = "")
{
    if (passed) {
        std::printf("ok - %s\n", what.c_str());
    } else {
        ++failures;
        std::printf("FAIL - %s%s%s\n", what.c_str(), detail.empty() ? "" : ": ", detail.c_str());
    }
}

std::string Hex(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

// A bounds-checked little-endian reader over a byte range.
struct Reader {
    const std::vector<uint8_t>* bytes;
    size_t position;
    size_t end;
    bool failed = false;

    uint32_t Get(size_t n)
    {
        if (position + n > end) {
            failed = true;
            return 0;
        }
        uint32_t value = 0;
        for (size_t i = 0; i < n; ++i)
            value |= static_cast<uint32_t>((*bytes)[position + i]) << (8 * i);
        position += n;
        return value;
    }
    uint8_t U8() { return static_cast<uint8_t>(Get(1)); }
    uint16_t U16() { return static_cast<uint16_t>(Get(2)); }
    uint32_t U32() { return Get(4); }
    std::string WideString()
    {
        std::string text;
        for (uint16_t c = U16(); c != 0 && !failed; c = U16())
            text += c < 0x80 ? static_cast<char>(c) : '?';
        return text;
    }
    // A name or ordinal in a dialog or menu template: empty, 0xFFFF and a number, or a string.
    std::string NameOrOrdinal()
    {
        uint16_t first = U16();
        if (first == 0)
            return "";
        if (first == 0xFFFF)
            return "#" + std::to_string(U16());
        position -= 2;
        return WideString();
    }
    void AlignTo4(size_t base) { position = base + ((position - base + 3) & ~size_t{3}); }
};

struct Section {
    uint32_t virtualAddress, virtualSize, rawOffset, rawSize;
};

struct Image {
    std::vector<uint8_t> bytes;
    std::vector<Section> sections;
    uint32_t importRva = 0, resourceRva = 0, resourceSize = 0;

    Reader At(size_t offset, size_t length) const
    {
        size_t end = offset + length > bytes.size() ? bytes.size() : offset + length;
        return Reader{&bytes, offset, end};
    }
    // File offset of a relative virtual address, or 0 when no section holds it.
    size_t OffsetOf(uint32_t rva) const
    {
        for (const Section& s : sections)
            if (rva >= s.virtualAddress && rva < s.virtualAddress + s.rawSize)
                return s.rawOffset + (rva - s.virtualAddress);
        return 0;
    }
};

bool ReadHeaders(Image& image)
{
    Reader dos = image.At(0, 64);
    bool isMz = dos.U16() == 0x5A4D;
    Check(isMz, "file starts with an MZ header");
    if (!isMz)
        return false;
    dos.position = 0x3C;
    uint32_t peOffset = dos.U32();
    Reader pe = image.At(peOffset, image.bytes.size());
    bool isPe = pe.U32() == 0x00004550;
    Check(isPe, "PE signature present");
    if (!isPe)
        return false;

    uint16_t machine = pe.U16();
    uint16_t sectionCount = pe.U16();
    pe.position += 12;
    uint16_t optionalSize = pe.U16();
    uint16_t characteristics = pe.U16();
    Check(machine == MACHINE_I386, "machine is Intel 386", Hex(machine));
    Check((characteristics & 0x2) && !(characteristics & 0x2000), "an executable, not a DLL");

    size_t optional = pe.position;
    uint16_t magic = pe.U16();
    Check(magic == PE32_MAGIC, "optional header is PE32", Hex(magic));
    pe.position = optional + 68;
    uint16_t subsystem = pe.U16();
    Check(subsystem == SUBSYSTEM_WINDOWS_GUI, "subsystem is Windows GUI", std::to_string(subsystem));
    pe.position = optional + 92;
    uint32_t directoryCount = pe.U32();
    if (directoryCount > 1) {
        pe.position = optional + 96 + 8;
        image.importRva = pe.U32();
    }
    if (directoryCount > 2) {
        pe.position = optional + 96 + 16;
        image.resourceRva = pe.U32();
        image.resourceSize = pe.U32();
    }
    pe.position = optional + optionalSize;
    for (int i = 0; i < sectionCount; ++i) {
        size_t header = pe.position;
        pe.position += 8;
        Section s;
        s.virtualSize = pe.U32();
        s.virtualAddress = pe.U32();
        s.rawSize = pe.U32();
        s.rawOffset = pe.U32();
        image.sections.push_back(s);
        pe.position = header + 40;
    }
    return !pe.failed && magic == PE32_MAGIC;
}

std::string Upper(std::string text)
{
    for (char& c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

void CheckImports(const Image& image)
{
    const char* const allowed[] = {"KERNEL32.DLL", "USER32.DLL", "WSOCK32.DLL", "MSVCRT.DLL"};
    const char* const required[] = {"KERNEL32.DLL", "USER32.DLL", "WSOCK32.DLL"};
    std::vector<std::string> names;
    size_t offset = image.OffsetOf(image.importRva);
    Check(offset != 0, "import directory present");
    if (offset == 0)
        return;
    Reader r = image.At(offset, image.bytes.size());
    for (;;) {
        size_t descriptor = r.position;
        uint32_t lookup = r.U32();
        r.position += 8;
        uint32_t nameRva = r.U32();
        uint32_t thunks = r.U32();
        if (r.failed || (lookup == 0 && nameRva == 0 && thunks == 0))
            break;
        Reader name = image.At(image.OffsetOf(nameRva), 256);
        std::string dll;
        for (uint8_t c = name.U8(); c != 0 && !name.failed; c = name.U8())
            dll += static_cast<char>(c);
        names.push_back(Upper(dll));
        r.position = descriptor + 20;
    }
    for (const std::string& dll : names) {
        bool known = false;
        for (const char* a : allowed)
            known = known || dll == a;
        Check(known, "imports only system DLLs: " + dll);
    }
    for (const char* need : required) {
        bool found = false;
        for (const std::string& dll : names)
            found = found || dll == need;
        Check(found, std::string("imports ") + need);
    }
}

// One resource: its data, found by type and by number or name, in whatever language it has.
struct Resource {
    bool found = false;
    size_t offset = 0;
    uint32_t size = 0;
};

struct ResourceKey {
    uint16_t id;          // used when name is empty
    std::string name;
};

bool EntryMatches(const Image& image, size_t base, uint32_t nameField, const ResourceKey& key)
{
    if (!(nameField & 0x80000000))
        return key.name.empty() && (nameField & 0xFFFF) == key.id;
    if (key.name.empty())
        return false;
    Reader r = image.At(base + (nameField & 0x7FFFFFFF), 512);
    uint16_t length = r.U16();
    std::string text;
    for (int i = 0; i < length; ++i)
        text += static_cast<char>(r.U16() & 0x7F);
    return !r.failed && Upper(text) == Upper(key.name);
}

// The subdirectory or data entry that the key names in the directory at `directory`; 0 if none.
uint32_t FindEntry(const Image& image, size_t base, size_t directory, const ResourceKey& key,
                   int* count = nullptr)
{
    Reader r = image.At(directory + 12, 4);
    int entries = r.U16() + r.U16();
    if (count)
        *count = entries;
    Reader e = image.At(directory + 16, entries * 8);
    for (int i = 0; i < entries; ++i) {
        uint32_t nameField = e.U32();
        uint32_t target = e.U32();
        if (EntryMatches(image, base, nameField, key))
            return target;
    }
    return 0;
}

Resource FindResource(const Image& image, uint16_t type, const ResourceKey& key,
                      int* countOfType = nullptr)
{
    Resource found;
    size_t base = image.OffsetOf(image.resourceRva);
    if (base == 0)
        return found;
    uint32_t typeEntry = FindEntry(image, base, base, ResourceKey{type, ""});
    if (!(typeEntry & 0x80000000))
        return found;
    size_t typeDirectory = base + (typeEntry & 0x7FFFFFFF);
    uint32_t nameEntry = FindEntry(image, base, typeDirectory, key, countOfType);
    if (!(nameEntry & 0x80000000))
        return found;
    Reader languages = image.At(base + (nameEntry & 0x7FFFFFFF) + 12, 12);
    if (languages.U16() + languages.U16() < 1)
        return found;
    languages.position += 4;
    uint32_t dataEntry = languages.U32();
    Reader data = image.At(base + (dataEntry & 0x7FFFFFFF), 16);
    uint32_t rva = data.U32();
    found.size = data.U32();
    found.offset = image.OffsetOf(rva);
    found.found = !data.failed && found.offset != 0 && found.offset + found.size <= image.bytes.size();
    return found;
}

struct ExpectedControl {
    uint16_t id;
    uint16_t classOrdinal;
    std::string text;
    int16_t x, y, cx, cy;
    uint32_t style, exStyle;
};

struct ExpectedDialog {
    const char* name;
    bool extended;
    uint32_t style, exStyle;
    int16_t x, y, cx, cy;
    std::string menu, caption;
    uint16_t pointSize;
    std::string typeface;
    std::vector<ExpectedControl> controls;
};

std::string Ordinal(int number) { return "#" + std::to_string(number); }

const std::string WELCOME_LINE = "\xAB Welcome to Velmora! \xBB\r\n\r\n";

std::vector<ExpectedDialog> ExpectedDialogs()
{
    const uint32_t text = WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT;
    return {
        {IDD_START, true,
         WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | DS_MODALFRAME |
             DS_3DLOOK | DS_SETFONT | DS_CENTER,
         WS_EX_CLIENTEDGE, 20, 20, 475, 208, Ordinal(IDR_MAINMENU),
         "Velmora " VELMORA_VERSION_TEXT " - Client Version", 8, "MS Sans Serif",
         {
             {IDC_INPUT, CLASS_EDIT, "", 21, 188, 264, 14,
              WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, 0},
             {IDC_SEND, CLASS_BUTTON, "Send msg", 247, 192, 6, 6,
              WS_CHILD | WS_TABSTOP | BS_DEFPUSHBUTTON, 0},
             {IDC_EXIT, CLASS_BUTTON, "Exit", 297, 187, 42, 17,
              WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 0},
             {IDC_LOG, CLASS_EDIT, "", 9, 21, 448, 158,
              WS_CHILD | WS_VISIBLE | WS_BORDER | WS_VSCROLL | WS_HSCROLL | WS_TABSTOP |
                  ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY,
              0},
             {IDC_STATUS, CLASS_EDIT, "", 358, 188, 94, 15,
              WS_CHILD | WS_VISIBLE | WS_DISABLED | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL,
              WS_EX_STATICEDGE | WS_EX_DLGMODALFRAME},
             {NO_CONTROL_ID, CLASS_STATIC, "You:", 4, 190, 16, 8, text, 0},
         }},
        {IDD_CONN, false,
         WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_3DLOOK | DS_SETFONT |
             DS_SETFOREGROUND,
         0, 0, 0, 225, 82, "", "Connection menu", 8, "MS Sans Serif",
         {
             {IDC_ADDRESS, CLASS_EDIT, "", 75, 24, 80, 12,
              WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, 0},
             {NO_CONTROL_ID, CLASS_BUTTON, "  Connect to this IP  ", 65, 9, 102, 36,
              WS_CHILD | WS_VISIBLE | BS_GROUPBOX | BS_CENTER, 0},
             {IDC_CONNECT, CLASS_BUTTON, "Connect!", 51, 55, 57, 16,
              WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0},
             {IDC_CONNECT_CANCEL, CLASS_BUTTON, "Cancel", 125, 55, 57, 17,
              WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 0},
         }},
        {IDD_ABOUT, true,
         WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_3DLOOK | DS_SETFONT |
             DS_SETFOREGROUND,
         0, 0, 0, 196, 102, "", "About Velmora " VELMORA_VERSION_TEXT, 8, "MS Sans Serif",
         {
             {IDC_ABOUT_OK, CLASS_BUTTON, "Ok", 76, 76, 50, 14,
              WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0},
             {NO_CONTROL_ID, CLASS_STATIC, "*" VELMORA_VERSION_TEXT "*", 46, 10, 135, 8, text, 0},
             {NO_CONTROL_ID, CLASS_STATIC, "*", 62, 20, 108, 8, text, 0},
             {NO_CONTROL_ID, CLASS_STATIC, "*@example.org", 65, 31, 100, 8, text, 0},
             {NO_CONTROL_ID, CLASS_STATIC, "*", 13, 60, 170, 8, text, 0},
             {NO_CONTROL_ID, CLASS_STATIC, Ordinal(IDI_APP), 9, 15, 20, 20,
              WS_CHILD | WS_VISIBLE | WS_BORDER | SS_ICON, WS_EX_STATICEDGE | WS_EX_CLIENTEDGE},
             {NO_CONTROL_ID, CLASS_STATIC, "https://*.example.org/", 38, 41, 146, 8, text, 0},
         }},
    };
}

// The About texts are ours to word: a pattern with '*' fixes only what must be there.
bool TextMatches(const std::string& pattern, const std::string& text)
{
    size_t star = pattern.find('*');
    if (star == std::string::npos)
        return pattern == text;
    if (text.empty())
        return false;
    std::string head = pattern.substr(0, star);
    std::string rest = pattern.substr(star + 1);
    size_t nextStar = rest.find('*');
    if (nextStar == std::string::npos)
        return text.size() >= head.size() + rest.size() && text.compare(0, head.size(), head) == 0 &&
               text.compare(text.size() - rest.size(), rest.size(), rest) == 0;
    // "*middle*": the middle anywhere.
    return text.compare(0, head.size(), head) == 0 &&
           text.find(rest.substr(0, nextStar), head.size()) != std::string::npos;
}

std::string ClassName(const std::string& ordinalText)
{
    if (ordinalText == Ordinal(CLASS_BUTTON))
        return "BUTTON";
    if (ordinalText == Ordinal(CLASS_EDIT))
        return "EDIT";
    if (ordinalText == Ordinal(CLASS_STATIC))
        return "STATIC";
    return Upper(ordinalText);
}

void CheckDialog(const Image& image, const ExpectedDialog& want)
{
    std::string prefix = std::string(want.name) + ": ";
    Resource res = FindResource(image, RT_DIALOG, ResourceKey{0, want.name});
    Check(res.found, prefix + "dialog template present");
    if (!res.found)
        return;
    Reader r = image.At(res.offset, res.size);
    size_t start = r.position;
    uint32_t style, exStyle;
    bool extended = false;
    if (r.U16() == 1 && r.U16() == 0xFFFF) {
        extended = true;
        r.position += 4;
        exStyle = r.U32();
        style = r.U32();
    } else {
        r.position = start;
        style = r.U32();
        exStyle = r.U32();
    }
    Check(extended == want.extended,
          prefix + (want.extended ? "extended template (DIALOGEX)" : "standard template (DIALOG)"));
    uint16_t count = r.U16();
    int16_t x = static_cast<int16_t>(r.U16()), y = static_cast<int16_t>(r.U16());
    int16_t cx = static_cast<int16_t>(r.U16()), cy = static_cast<int16_t>(r.U16());
    Check(style == want.style, prefix + "style", Hex(style) + " instead of " + Hex(want.style));
    Check(exStyle == want.exStyle, prefix + "extended style",
          Hex(exStyle) + " instead of " + Hex(want.exStyle));
    Check(x == want.x && y == want.y && cx == want.cx && cy == want.cy, prefix + "rectangle",
          std::to_string(x) + "," + std::to_string(y) + "," + std::to_string(cx) + "," +
              std::to_string(cy));
    std::string menu = r.NameOrOrdinal();
    std::string windowClass = r.NameOrOrdinal();
    std::string caption = r.WideString();
    Check(menu == want.menu, prefix + "menu", "'" + menu + "'");
    Check(windowClass.empty(), prefix + "standard dialog class", "'" + windowClass + "'");
    Check(caption == want.caption, prefix + "caption", "'" + caption + "'");
    uint16_t points = r.U16();
    if (extended)
        r.position += 4;   // weight, italic, character set
    std::string typeface = r.WideString();
    Check(points == want.pointSize && typeface == want.typeface, prefix + "font",
          std::to_string(points) + " '" + typeface + "'");
    Check(count == want.controls.size(), prefix + "control count", std::to_string(count));

    for (size_t i = 0; i < count && i < want.controls.size() && !r.failed; ++i) {
        const ExpectedControl& c = want.controls[i];
        r.AlignTo4(start);
        uint32_t itemStyle, itemExStyle, id;
        if (extended) {
            r.position += 4;
            itemExStyle = r.U32();
            itemStyle = r.U32();
        } else {
            itemStyle = r.U32();
            itemExStyle = r.U32();
        }
        int16_t ix = static_cast<int16_t>(r.U16()), iy = static_cast<int16_t>(r.U16());
        int16_t icx = static_cast<int16_t>(r.U16()), icy = static_cast<int16_t>(r.U16());
        id = extended ? r.U32() : r.U16();
        std::string itemClass = r.NameOrOrdinal();
        std::string itemText = r.NameOrOrdinal();
        uint16_t extra = r.U16();
        r.position += extra;

        std::string wrong;
        if ((id & 0xFFFF) != c.id)
            wrong += " identifier " + std::to_string(id);
        if (ClassName(itemClass) != ClassName(Ordinal(c.classOrdinal)))
            wrong += " class '" + itemClass + "'";
        if (!TextMatches(c.text, itemText))
            wrong += " text '" + itemText + "'";
        if (ix != c.x || iy != c.y || icx != c.cx || icy != c.cy)
            wrong += " rectangle " + std::to_string(ix) + "," + std::to_string(iy) + "," +
                     std::to_string(icx) + "," + std::to_string(icy);
        if (itemStyle != c.style)
            wrong += " style " + Hex(itemStyle) + " instead of " + Hex(c.style);
        if (itemExStyle != c.exStyle)
            wrong += " extended style " + Hex(itemExStyle) + " instead of " + Hex(c.exStyle);
        Check(wrong.empty(),
              prefix + "control " + std::to_string(i + 1) + " " + ClassName(Ordinal(c.classOrdinal)) +
                  " '" + c.text + "' as laid out",
              wrong.empty() ? wrong : wrong.substr(1));
    }
    Check(!r.failed, prefix + "template read to its end without overrun");
}

struct MenuItem {
    int depth;
    uint16_t flags, id;
    std::string text;
};

void ReadMenuItems(Reader& r, int depth, std::vector<MenuItem>& items)
{
    for (;;) {
        MenuItem item;
        item.depth = depth;
        item.flags = r.U16();
        item.id = (item.flags & MF_POPUP) ? 0 : r.U16();
        item.text = r.WideString();
        if (r.failed)
            return;
        items.push_back(item);
        if (item.flags & MF_POPUP)
            ReadMenuItems(r, depth + 1, items);
        if (item.flags & MF_END)
            return;
    }
}

void CheckMenu(const Image& image)
{
    Resource res = FindResource(image, RT_MENU, ResourceKey{IDR_MAINMENU, ""});
    Check(res.found, "menu resource " + std::to_string(IDR_MAINMENU) + " present");
    if (!res.found)
        return;
    Reader r = image.At(res.offset, res.size);
    uint16_t version = r.U16();
    uint16_t headerSize = r.U16();
    Check(version == 0 && headerSize == 0, "menu is a standard menu template");
    std::vector<MenuItem> items;
    ReadMenuItems(r, 0, items);
    const MenuItem want[] = {
        {0, MF_POPUP, 0, "Connecion"},
        {1, MF_END, IDM_CONNECT, "Connect to host"},
        {0, 0, 0, ""},
        {0, 0, IDM_ABOUT, "About"},
        {0, MF_END, IDM_EXIT, "Exit"},
    };
    Check(items.size() == std::size(want), "menu has five items", std::to_string(items.size()));
    for (size_t i = 0; i < items.size() && i < std::size(want); ++i) {
        const MenuItem& got = items[i];
        std::string name = "menu item " + std::to_string(i + 1) + " '" + want[i].text + "'";
        Check(got.depth == want[i].depth && got.flags == want[i].flags && got.id == want[i].id &&
                  got.text == want[i].text,
              name, "depth " + std::to_string(got.depth) + " flags " + Hex(got.flags) + " id " +
                        std::to_string(got.id) + " text '" + got.text + "'");
    }
}

void CheckIcon(const Image& image, const std::vector<uint8_t>& iconFile)
{
    int groupCount = 0;
    Resource group = FindResource(image, RT_GROUP_ICON, ResourceKey{IDI_APP, ""}, &groupCount);
    Check(group.found, "icon group " + std::to_string(IDI_APP) + " present");
    Check(groupCount == 1, "exactly one icon group", std::to_string(groupCount));
    if (!group.found)
        return;
    Reader g = image.At(group.offset, group.size);
    g.position += 2;
    uint16_t type = g.U16();
    uint16_t count = g.U16();
    uint8_t width = g.U8(), height = g.U8(), colours = g.U8();
    g.position += 1;
    uint16_t planes = g.U16(), bits = g.U16();
    uint32_t bytes = g.U32();
    uint16_t imageId = g.U16();
    Check(type == 1 && count == 1, "icon group holds one image", std::to_string(count));
    Check(width == 32 && height == 32 && colours == 16 && planes == 1 && bits == 4,
          "icon image is 32x32 in 16 colours (4 bits per pixel)");
    Check(imageId == ICON_IMAGE_ID, "icon image is icon resource 1", std::to_string(imageId));

    int iconCount = 0;
    Resource icon = FindResource(image, RT_ICON, ResourceKey{ICON_IMAGE_ID, ""}, &iconCount);
    Check(icon.found && icon.size == bytes, "icon resource 1 present with the group's size");
    Check(iconCount == 1, "exactly one icon image", std::to_string(iconCount));
    if (!icon.found)
        return;
    Reader h = image.At(icon.offset, icon.size);
    uint32_t headerSize = h.U32();
    uint32_t bmWidth = h.U32(), bmHeight = h.U32();
    h.U16();
    uint16_t bmBits = h.U16();
    Check(headerSize == 40 && bmWidth == 32 && bmHeight == 64 && bmBits == 4,
          "icon image is a 32x32 4-bit bitmap with its mask");
    if (!iconFile.empty()) {
        Reader f{&iconFile, 0, iconFile.size()};
        f.position = 6 + 8;
        uint32_t fileBytes = f.U32();
        uint32_t fileOffset = f.U32();
        bool same = !f.failed && fileBytes == icon.size &&
                    fileOffset + fileBytes <= iconFile.size() &&
                    std::memcmp(iconFile.data() + fileOffset, image.bytes.data() + icon.offset,
                                icon.size) == 0;
        Check(same, "icon image is the one in velmora.ico");
    }
}

std::string ResourceText(const Image& image, const Resource& res)
{
    return std::string(image.bytes.begin() + res.offset, image.bytes.begin() + res.offset + res.size);
}

std::string Wide(const std::string& text)
{
    std::string wide;
    for (char c : text) {
        wide += c;
        wide += '\0';
    }
    return wide;
}

void CheckVersion(const Image& image)
{
    Resource res = FindResource(image, RT_VERSION, ResourceKey{VERSION_ID, ""});
    Check(res.found, "version resource present");
    if (!res.found)
        return;
    std::string data = ResourceText(image, res);
    const std::string signature("\xBD\x04\xEF\xFE", 4);
    size_t fixed = data.find(signature);
    Check(fixed != std::string::npos, "version resource has fixed file information");
    if (fixed == std::string::npos)
        return;
    Reader r = image.At(res.offset + fixed + 8, 16);
    uint32_t fileMs = r.U32(), fileLs = r.U32(), productMs = r.U32(), productLs = r.U32();
    const uint32_t version = VELMORA_VERSION_MAJOR << 16 | VELMORA_VERSION_MINOR;
    const std::string text = VELMORA_VERSION_TEXT;
    Check(fileMs == version && fileLs == 0, "file version is " + text, Hex(fileMs) + "." + Hex(fileLs));
    Check(productMs == version && productLs == 0, "product version is " + text);
    std::string productVersion = Wide("ProductVersion") + std::string(2, '\0') + Wide(text);
    Check(data.find(productVersion) != std::string::npos, "product version text is " + text);
    Check(data.find(Wide("example.org")) != std::string::npos,
          "version strings name our example.org address");
}

void CheckManifest(const Image& image)
{
    int count = 0;
    Resource res = FindResource(image, RT_MANIFEST, ResourceKey{MANIFEST_ID, ""}, &count);
    Check(res.found, "application manifest present as resource 1");
    Check(count == 1, "exactly one manifest", std::to_string(count));
    if (!res.found)
        return;
    std::string manifest = ResourceText(image, res);
    Check(manifest.find("level=\"asInvoker\"") != std::string::npos, "manifest asks for asInvoker");
    Check(manifest.find("version=\"" VELMORA_VERSION_TEXT ".0.0\"") != std::string::npos,
          "manifest names version " VELMORA_VERSION_TEXT);
    const char* const systems[] = {
        "{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
        "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
        "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",
    };
    for (const char* id : systems)
        Check(manifest.find(std::string("supportedOS Id=\"") + id + "\"") != std::string::npos,
              std::string("manifest lists supported system ") + id);
    Check(manifest.find("Common-Controls") == std::string::npos,
          "manifest asks for no common controls version (classic look)");
}

bool ReadFile(const char* path, std::vector<uint8_t>& bytes)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return false;
    bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s velmora.exe [velmora.ico]\n", argv[0]);
        return 2;
    }
    Image image;
    if (!ReadFile(argv[1], image.bytes)) {
        std::perror(argv[1]);
        return 2;
    }
    std::vector<uint8_t> iconFile;
    if (argc == 3 && !ReadFile(argv[2], iconFile)) {
        std::perror(argv[2]);
        return 2;
    }

    if (ReadHeaders(image)) {
        CheckImports(image);
        Check(image.OffsetOf(image.resourceRva) != 0 && image.resourceSize > 0,
              "resource directory present");
        for (const ExpectedDialog& dialog : ExpectedDialogs())
            CheckDialog(image, dialog);
        CheckMenu(image);
        CheckIcon(image, iconFile);
        CheckVersion(image);
        CheckManifest(image);
        std::string whole(image.bytes.begin(), image.bytes.end());
        Check(whole.find(WELCOME_LINE) != std::string::npos, "welcome line bytes present");
    }
    return failures == 0 ? 0 : 1;
}
