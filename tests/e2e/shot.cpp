#include "drive.h"

#include <cstdio>
#include <cstring>

RECT ScreenRect()
{
    return RECT{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
}

Image CaptureScreenRect(const RECT& wanted)
{
    RECT screen = ScreenRect();
    RECT rect{};
    if (!IntersectRect(&rect, &wanted, &screen))
        Fail("the window lies outside the screen");
    Image image;
    image.width = rect.right - rect.left;
    image.height = rect.bottom - rect.top;

    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = image.width;
    info.bmiHeader.biHeight = -image.height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;

    HDC screenDc = GetDC(nullptr);
    HDC memoryDc = CreateCompatibleDC(screenDc);
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screenDc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memoryDc, bitmap);
    BOOL copied = BitBlt(memoryDc, 0, 0, image.width, image.height, screenDc, rect.left, rect.top,
                         SRCCOPY);
    GdiFlush();
    image.bgr.resize(static_cast<size_t>(image.width) * image.height * 3);
    const auto* source = static_cast<const uint8_t*>(bits);
    for (size_t i = 0, n = static_cast<size_t>(image.width) * image.height; i < n; ++i)
        std::memcpy(&image.bgr[i * 3], &source[i * 4], 3);
    SelectObject(memoryDc, old);
    DeleteObject(bitmap);
    DeleteDC(memoryDc);
    ReleaseDC(nullptr, screenDc);
    if (!copied)
        Fail("the screen could not be read");
    return image;
}

// Painting trails the state it shows and comes in pieces, so a picture counts once it has not
// changed for a while; a blinking caret leaves such a while in each of its phases.
Image CaptureSettled(const RECT& rect)
{
    constexpr ULONGLONG STILL_MS = 300;
    Image current = CaptureScreenRect(rect);
    ULONGLONG sameSince = NowMs();
    PollUntil([&] {
        Image next = CaptureScreenRect(rect);
        if (next.bgr != current.bgr) {
            current = std::move(next);
            sameSince = NowMs();
        }
        return NowMs() - sameSince >= STILL_MS;
    });
    return current;
}

void WriteBmp(const Image& image, const std::string& path)
{
    const int rowBytes = (image.width * 3 + 3) & ~3;
    BITMAPFILEHEADER file{};
    BITMAPINFOHEADER header{};
    header.biSize = sizeof header;
    header.biWidth = image.width;
    header.biHeight = image.height;
    header.biPlanes = 1;
    header.biBitCount = 24;
    header.biCompression = BI_RGB;
    header.biSizeImage = static_cast<DWORD>(rowBytes * image.height);
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof header;
    file.bfSize = file.bfOffBits + header.biSizeImage;

    FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr)
        Fail("cannot write " + path);
    std::fwrite(&file, sizeof file, 1, out);
    std::fwrite(&header, sizeof header, 1, out);
    std::vector<uint8_t> row(static_cast<size_t>(rowBytes), 0);
    for (int y = image.height - 1; y >= 0; --y) {
        std::memcpy(row.data(), &image.bgr[static_cast<size_t>(y) * image.width * 3],
                    static_cast<size_t>(image.width) * 3);
        std::fwrite(row.data(), 1, row.size(), out);
    }
    bool ok = std::ferror(out) == 0;
    ok = std::fclose(out) == 0 && ok;
    if (!ok)
        Fail("cannot write " + path);
}
