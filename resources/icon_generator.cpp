// Writes the program's icon: one 32x32 image in the 16 standard VGA colours, with a transparency
// mask. The picture is the grid below, so the icon is rebuilt byte for byte from this source.
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr int SIZE = 32;
constexpr int COLOURS = 16;
constexpr int PIXEL_ROW_BYTES = SIZE / 2;   // 4 bits per pixel
constexpr int MASK_ROW_BYTES = SIZE / 8;    // already a multiple of 4
constexpr int BITMAP_HEADER_SIZE = 40;
constexpr int IMAGE_SIZE =
    BITMAP_HEADER_SIZE + COLOURS * 4 + SIZE * PIXEL_ROW_BYTES + SIZE * MASK_ROW_BYTES;
constexpr int DIRECTORY_SIZE = 6 + 16;

// Two speech bubbles. '.' is transparent; the letters name colours of the palette below.
const char* const PICTURE[SIZE] = {
    "................................",
    "...KKKKKKKKKKKKKKKKKKKK.........",
    "..KBBBBBBBBBBBBBBBBBBBBK........",
    ".KBBBBBBBBBBBBBBBBBBBBBBK.......",
    ".KBBBBBBBBBBBBBBBBBBBBBBK.......",
    ".KBBWWWWWWWWWWWWWWWWWWBBK.......",
    ".KBBBBBBBBBBBBBBBBBBBBBBK.......",
    ".KBBBBBBBBBBBBBBBBBBBBBBK.......",
    ".KBBWWWWWWWWWWWWWBBBBBBBK.......",
    ".KBBBBBBBBBBBBBBBBBBBBBBK.......",
    ".KBBBBBBBBBBBBBBBBBBBBBBK.......",
    ".KBBWWWWWWWWWWWWWWWWBBBBK.......",
    ".KBBBBBBBBBBBBBBBBBBBBBBK.......",
    ".KBBBBBBBBBBBBKKKKKKKKKKKKKKK...",
    ".KBBBBBBBBBBBKYYYYYYYYYYYYYYYK..",
    ".KBBBBBBBBBBKYYYYYYYYYYYYYYYYYK.",
    "..KBBBBBBBBBKYYYYYYYYYYYYYYYYYK.",
    "...KKKBBKKKKKYYNNNNNNNNNNNNYYYK.",
    "....KBBK....KYYYYYYYYYYYYYYYYYK.",
    "...KBBK.....KYYYYYYYYYYYYYYYYYK.",
    "..KBBK......KYYNNNNNNNNNYYYYYYK.",
    "..KKK.......KYYYYYYYYYYYYYYYYYK.",
    "............KYYYYYYYYYYYYYYYYYK.",
    "............KYYNNNNNNNNNNYYYYYK.",
    "............KYYYYYYYYYYYYYYYYYK.",
    ".............KYYYYYYYYYYYYYYYK..",
    "..............KKKKKKKKKKKYYKK...",
    ".........................KYYK...",
    "..........................KYYK..",
    "..........................KKK...",
    "................................",
    "................................",
};

struct Colour {
    char letter;
    uint8_t red, green, blue;
};

const Colour PALETTE[COLOURS] = {
    {'K', 0x00, 0x00, 0x00}, {'M', 0x80, 0x00, 0x00}, {'G', 0x00, 0x80, 0x00},
    {'O', 0x80, 0x80, 0x00}, {'N', 0x00, 0x00, 0x80}, {'P', 0x80, 0x00, 0x80},
    {'T', 0x00, 0x80, 0x80}, {'S', 0xC0, 0xC0, 0xC0}, {'D', 0x80, 0x80, 0x80},
    {'R', 0xFF, 0x00, 0x00}, {'L', 0x00, 0xFF, 0x00}, {'Y', 0xFF, 0xFF, 0x00},
    {'B', 0x00, 0x00, 0xFF}, {'F', 0xFF, 0x00, 0xFF}, {'A', 0x00, 0xFF, 0xFF},
    {'W', 0xFF, 0xFF, 0xFF},
};

constexpr char TRANSPARENT = '.';

uint8_t image[DIRECTORY_SIZE + IMAGE_SIZE];
int length;

void Put8(unsigned value) { image[length++] = static_cast<uint8_t>(value); }
void Put16(unsigned value) { Put8(value & 0xFF); Put8(value >> 8); }
void Put32(uint32_t value) { Put16(value & 0xFFFF); Put16(value >> 16); }

int ColourIndex(char letter)
{
    for (int i = 0; i < COLOURS; ++i)
        if (PALETTE[i].letter == letter)
            return i;
    return -1;
}

bool PictureIsValid()
{
    for (int row = 0; row < SIZE; ++row) {
        if (std::strlen(PICTURE[row]) != SIZE)
            return false;
        for (int column = 0; column < SIZE; ++column) {
            char letter = PICTURE[row][column];
            if (letter != TRANSPARENT && ColourIndex(letter) < 0)
                return false;
        }
    }
    return true;
}

void WriteDirectory()
{
    Put16(0);                   // reserved
    Put16(1);                   // icon
    Put16(1);                   // one image
    Put8(SIZE);
    Put8(SIZE);
    Put8(COLOURS);
    Put8(0);                    // reserved
    Put16(1);                   // planes
    Put16(4);                   // bits per pixel
    Put32(IMAGE_SIZE);
    Put32(DIRECTORY_SIZE);
}

void WriteImage()
{
    Put32(BITMAP_HEADER_SIZE);
    Put32(SIZE);
    Put32(SIZE * 2);            // colour bitmap and mask, stacked
    Put16(1);
    Put16(4);
    Put32(0);                   // uncompressed
    Put32(SIZE * (PIXEL_ROW_BYTES + MASK_ROW_BYTES));
    Put32(0);
    Put32(0);
    Put32(0);
    Put32(0);
    for (const Colour& colour : PALETTE) {
        Put8(colour.blue);
        Put8(colour.green);
        Put8(colour.red);
        Put8(0);
    }
    // Bitmap rows run from the bottom up; a transparent pixel is black under a set mask bit.
    for (int row = SIZE - 1; row >= 0; --row)
        for (int column = 0; column < SIZE; column += 2) {
            int left = PICTURE[row][column] == TRANSPARENT ? 0 : ColourIndex(PICTURE[row][column]);
            int right =
                PICTURE[row][column + 1] == TRANSPARENT ? 0 : ColourIndex(PICTURE[row][column + 1]);
            Put8(static_cast<unsigned>(left << 4 | right));
        }
    for (int row = SIZE - 1; row >= 0; --row)
        for (int byte = 0; byte < MASK_ROW_BYTES; ++byte) {
            unsigned bits = 0;
            for (int bit = 0; bit < 8; ++bit)
                if (PICTURE[row][byte * 8 + bit] == TRANSPARENT)
                    bits |= 0x80u >> bit;
            Put8(bits);
        }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.ico\n", argv[0]);
        return 2;
    }
    if (!PictureIsValid()) {
        std::fprintf(stderr, "the picture must be %dx%d letters of the palette or '%c'\n", SIZE, SIZE,
                     TRANSPARENT);
        return 1;
    }
    WriteDirectory();
    WriteImage();
    std::FILE* file = std::fopen(argv[1], "wb");
    if (!file || std::fwrite(image, 1, length, file) != static_cast<size_t>(length) ||
        std::fclose(file) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
