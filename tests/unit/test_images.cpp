// The embedded images: sizes, checksums and layouts that the update procedures rely
// on, checked on the bytes linked into the program against data/ and its MANIFEST.

#include "images/images.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bitset>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "shell/shell.h"
#include "tests/backend/testbed.h"
#include "update/languages.h"

namespace {

using Bytes = std::vector<uint8_t>;

const int MESSAGES = 168;
const int LANGUAGES = 4;

Bytes ReadDataFile(const std::string& name) {
    std::ifstream in(std::string(KQ_SOURCE_DIR) + "/data/" + name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes Copy(const uint8_t* data, uint32_t size) { return Bytes(data, data + size); }

bool AllFF(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (p[i] != 0xFF) return false;
    return true;
}

// Units of `unit` bytes that are not all 0xFF; a last partial unit is padded with 0xFF.
int NonBlankUnits(const Bytes& image, size_t unit) {
    Bytes padded(image);
    padded.resize((image.size() + unit - 1) / unit * unit, 0xFF);
    int count = 0;
    for (size_t at = 0; at < padded.size(); at += unit)
        if (!AllFF(&padded[at], unit)) count++;
    return count;
}

uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t Le32(const uint8_t* p) { return uint32_t(p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24); }

// The four strings of message i in table order, as the program reads them.
std::vector<std::string> Message(int i) {
    std::vector<std::string> texts;
    for (int k = 0; k < LANGUAGES; k++) texts.emplace_back(MessageText(i, k));
    return texts;
}

// The flash buffer as "Update Console" prepares it for the languages of a command line
// (the language dialog only confirms them).
Bytes Flash(const char* commandLine) {
    testbed::Reset();
    ParseCommandLine(commandLine);
    PrepareFlashBuffer();
    return Bytes(FlashBuffer, FlashBuffer + FLASH_SIZE);
}

// The size data/MANIFEST states for each file.
std::map<std::string, uint32_t> ManifestSizes() {
    std::ifstream manifest(std::string(KQ_SOURCE_DIR) + "/data/MANIFEST");
    std::map<std::string, uint32_t> listed;
    for (std::string line; std::getline(manifest, line);) {
        std::istringstream fields(line);
        std::string name;
        uint32_t size = 0;
        if (line[0] != '#' && fields >> name >> size) listed[name] = size;
    }
    return listed;
}

std::string Text(const uint8_t* p, size_t n) { return std::string(reinterpret_cast<const char*>(p), n); }

struct Embedded {
    const char* file;
    const uint8_t* data;
    uint32_t size;
};

const Embedded kEmbedded[] = {
    {"console.bin", ImageConsole, CONSOLE_IMAGE_SIZE + 2},
    {"messages.bin", ImageMessageTable, MESSAGE_TABLE_SIZE},
    {"kqmon.fnt", ImageFont, FONT_IMAGE_SIZE},
    {"vinculum.bin", ImageVinculum, VINCULUM_IMAGE_SIZE},
    {"FTRFB.FTD", ImageVinculumFile, VINCULUM_FILE_SIZE},
    {"remote.bin", ImageRemote, REMOTE_IMAGE_SIZE},
    {"receiver.bin", ImageReceiver, RECEIVER_IMAGE_SIZE},
    {"tempa_boot.bin", ImageTempaBoot, TEMPA_BOOT_SIZE},
    {"tempa.bin", ImageTempa, TEMPA_IMAGE_SIZE},
};

}  // namespace

TEST(Images, SizesAgreeWithManifestAndFiles) {
    std::map<std::string, uint32_t> listed = ManifestSizes();
    ASSERT_EQ(listed.size(), std::size(kEmbedded)) << "data/MANIFEST";
    for (const Embedded& e : kEmbedded) {
        SCOPED_TRACE(e.file);
        EXPECT_EQ(listed[e.file], e.size);
        // The program carries the file as it is in data/, byte for byte.
        EXPECT_EQ(ReadDataFile(e.file), Copy(e.data, e.size));
    }
}

TEST(ConsoleImage, ChecksumFollowsImageHighByteFirst) {
    uint32_t sum = 0;
    for (uint32_t i = 0; i < CONSOLE_IMAGE_SIZE; i++) sum += ImageConsole[i];
    EXPECT_EQ(ImageConsole[CONSOLE_IMAGE_SIZE], (sum >> 8) & 0xFF);
    EXPECT_EQ(ImageConsole[CONSOLE_IMAGE_SIZE + 1], sum & 0xFF);
}

TEST(ConsoleImage, NoBlankUnitAnywhere) {
    // Both the 1024-byte chunks of the user-mode update and the 128-byte units of the
    // boot-mode walk must all be sent.
    Bytes image = Copy(ImageConsole, CONSOLE_IMAGE_SIZE);
    EXPECT_EQ(NonBlankUnits(image, 128), int((CONSOLE_IMAGE_SIZE + 127) / 128));
    EXPECT_EQ(NonBlankUnits(image, 1024), int((CONSOLE_IMAGE_SIZE + 1023) / 1024));
}

TEST(ConsoleImage, LooksLikeFirmwareNotFiller) {
    // Not a counter, not uniform noise: many distinct byte values, zero the most common,
    // and readable texts of the product inside.
    size_t histogram[256] = {};
    for (uint32_t i = 0; i < CONSOLE_IMAGE_SIZE; i++) histogram[ImageConsole[i]]++;
    int used = 0;
    size_t most = 0;
    for (size_t n : histogram) {
        used += n != 0;
        most = std::max(most, n);
    }
    EXPECT_EQ(used, 256);
    EXPECT_EQ(histogram[0], most);
    std::string image = Text(ImageConsole, CONSOLE_IMAGE_SIZE);
    EXPECT_NE(image.find(std::string("CORVINA\0", 8)), std::string::npos);
    EXPECT_NE(image.find(std::string("GRAND MASTER\0", 13)), std::string::npos);
}

TEST(FlashBuffer, NonBlankChunkCounts) {
    Bytes all = Flash("");  // all four: the area is as long as the table
    uint32_t end = LANGUAGE_AREA_OFFSET + ManifestSizes()["messages.bin"];
    EXPECT_EQ(NonBlankUnits(all, 1024), 504);
    EXPECT_TRUE(AllFF(&all[end], FLASH_SIZE - end));
    EXPECT_EQ(all[end - 1], 0);                       // the last string's terminator

    Bytes english = Flash("ST E");
    EXPECT_EQ(NonBlankUnits(english, 1024), 474);
    EXPECT_EQ(english[0x76732 - 1], 0);               // the area ends at 475,526 + 9,644
    EXPECT_TRUE(AllFF(&english[0x76732], FLASH_SIZE - 0x76732));
}

TEST(FlashBuffer, AllFourInTableOrderIsTheTableWithSwappedOffsets) {
    Bytes table = ReadDataFile("messages.bin");
    Bytes flash = Flash("ST CEFD");
    Bytes area(flash.begin() + LANGUAGE_AREA_OFFSET, flash.begin() + LANGUAGE_AREA_OFFSET + table.size());
    for (int i = 0; i < MESSAGES; i++) std::swap(table[2 + 2 * i], table[3 + 2 * i]);
    EXPECT_EQ(area, table);
    EXPECT_EQ(area[2], 0x01);
    EXPECT_EQ(area[3], 0x52);
}

TEST(MessageTable, HeaderOffsetsAndLength) {
    const uint8_t* t = ImageMessageTable;
    EXPECT_EQ(t[0], 4);
    EXPECT_EQ(t[1], 0);
    EXPECT_EQ(Le16(t + 2), 338);
    // Each message's four strings end exactly where the next message begins, and the
    // last one ends with the table.
    for (int i = 0; i < MESSAGES; i++) {
        size_t end = Le16(t + 2 + 2 * i);
        for (const std::string& s : Message(i)) end += s.size() + 1;
        size_t next = i + 1 < MESSAGES ? Le16(t + 4 + 2 * i) : MESSAGE_TABLE_SIZE;
        ASSERT_EQ(end, next) << "message " << i;
    }
}

TEST(MessageTable, PerLanguageTotals) {
    const size_t expected[LANGUAGES] = {9479, 9306, 10269, 10913};
    size_t totals[LANGUAGES] = {};
    for (int i = 0; i < MESSAGES; i++) {
        std::vector<std::string> texts = Message(i);
        for (int k = 0; k < LANGUAGES; k++) totals[k] += texts[k].size() + 1;
    }
    for (int k = 0; k < LANGUAGES; k++) EXPECT_EQ(totals[k], expected[k]) << "language " << k;
    EXPECT_EQ(338 + totals[1], 9644u);  // the area with English alone
}

TEST(MessageTable, FixedTexts) {
    EXPECT_EQ(Message(0), (std::vector<std::string>{"CASTELLANO", "ENGLISH", "FRANCAIS", "GERMAN"}));
    std::vector<std::string> m1 = Message(1);
    EXPECT_EQ(m1[0], "Error. Cola de mensajes llena");
    EXPECT_EQ(m1[1], "Warning. Message dispatcher full");
    EXPECT_EQ(m1[2], "Erreur. Trop de commandes");
    EXPECT_FALSE(m1[3].empty());
    EXPECT_EQ(Message(91), (std::vector<std::string>{"Pulsar ENTER para continuar\n", "Press ENTER to continue\n",
                                                     "Appuyer sur ENTER pour continuer\n",
                                                     "Zum Fortfahren Enter druecken\n"}));
    EXPECT_EQ(Message(100), std::vector<std::string>(4, "      WAIT..."));
    EXPECT_EQ(Message(167), std::vector<std::string>(4, ""));
}

TEST(MessageTable, ContentTheConsoleExpects) {
    std::string english, all;
    for (int i = 0; i < MESSAGES; i++) {
        std::vector<std::string> texts = Message(i);
        english += texts[1] + '\0';
        for (const std::string& s : texts) all += s + '\0';
    }
    for (const char* placeholder : {"%2u%% Free Data Memory", "DMX IN: %3u Channels Received", "%s OK"})
        EXPECT_NE(english.find(placeholder), std::string::npos) << placeholder;
    for (char marker : {'\x01', '\x02', '\x1A'}) EXPECT_NE(all.find(marker), std::string::npos);
    // Spanish accents as code page 437 bytes: é, ó, ¿.
    for (char cp437 : {'\x82', '\xA2', '\xA8'}) EXPECT_NE(all.find(cp437), std::string::npos);
    // Help texts of the keys: two to four lines each.
    for (int i = 102; i <= 166; i++) {
        for (const std::string& s : Message(i)) {
            long lines = 1 + std::count(s.begin(), s.end(), '\n');
            EXPECT_GE(lines, 2) << "message " << i;
            EXPECT_LE(lines, 4) << "message " << i;
        }
    }
}

TEST(Vinculum, ImageMarksAndUpdateFileHeader) {
    EXPECT_EQ(Text(ImageVinculum + 0x20, 10), "03.68VDAPF");
    EXPECT_EQ(Text(ImageVinculum + 0x30, 14), "FTDIFT8H64Code");

    const uint8_t* h = ImageVinculumFile;
    Bytes header(h, h + 512);
    Bytes expected(512, 0);
    const char* signature = "FTDIFT8H64Code";
    std::memcpy(&expected[0], signature, 14);  // followed by its zero
    const uint8_t marker[16] = {0xAA, 0x55, 0xFF, 0x00, 0x11, 0x33, 0x77, 0xFF,
                                0xFF, 0x77, 0x33, 0x11, 0x00, 0xFF, 0x55, 0xAA};
    std::memcpy(&expected[15], marker, 16);
    expected[31] = 0x01;
    std::memcpy(&expected[32], "03.68VDAPF", 10);
    expected[52] = 0x78;
    EXPECT_EQ(header, expected);
    EXPECT_EQ(Copy(h + 512, VINCULUM_IMAGE_SIZE), Copy(ImageVinculum, VINCULUM_IMAGE_SIZE));
}

namespace {

void CheckPeripheralLayout(const uint8_t* image, uint32_t size, int written_in_block) {
    EXPECT_EQ(image[0] << 24 | image[1] << 16 | image[2] << 8 | image[3], 0x2000);
    for (int v = 0; v < 96; v++) EXPECT_FALSE(AllFF(image + 4 * v, 4)) << "vector " << v;
    EXPECT_TRUE(AllFF(image + 0x180, 0x1000 - 0x180));
    for (int i = 0; i < written_in_block; i++) EXPECT_NE(image[0x1000 + i], 0xFF) << i;
    EXPECT_TRUE(AllFF(image + 0x1000 + written_in_block, 0x1000 - written_in_block));
    Bytes code(image + 0x2000, image + size);
    EXPECT_EQ(NonBlankUnits(code, 128), int((code.size() + 127) / 128));
}

int ProgrammingFrames(const uint8_t* image, uint32_t size, bool blank_block) {
    Bytes copy = Copy(image, size);
    if (blank_block) std::fill(copy.begin() + 0x1000, copy.begin() + 0x2000, 0xFF);
    return NonBlankUnits(copy, 128);
}

}  // namespace

TEST(Peripherals, RemoteLayoutAndFrameCounts) {
    CheckPeripheralLayout(ImageRemote, REMOTE_IMAGE_SIZE, 6);
    EXPECT_EQ(ProgrammingFrames(ImageRemote, REMOTE_IMAGE_SIZE, false), 178);
    EXPECT_EQ(ProgrammingFrames(ImageRemote, REMOTE_IMAGE_SIZE, true), 177);
}

TEST(Peripherals, ReceiverLayoutAndFrameCounts) {
    CheckPeripheralLayout(ImageReceiver, RECEIVER_IMAGE_SIZE, 1);
    EXPECT_EQ(ProgrammingFrames(ImageReceiver, RECEIVER_IMAGE_SIZE, false), 69);
    EXPECT_EQ(ProgrammingFrames(ImageReceiver, RECEIVER_IMAGE_SIZE, true), 68);
}

TEST(Peripherals, TempaImagesHaveNoBlankChunk) {
    Bytes boot = Copy(ImageTempaBoot, TEMPA_BOOT_SIZE);
    Bytes image = Copy(ImageTempa, TEMPA_IMAGE_SIZE);
    EXPECT_EQ(NonBlankUnits(boot, 64), 15);   // 922 = 14 x 64 + 26
    EXPECT_EQ(NonBlankUnits(image, 64), 41);  // 2604 = 40 x 64 + 44
    // The boot record's size goes out as 0x03 0x9A.
    EXPECT_EQ(TEMPA_BOOT_SIZE >> 8, 0x03u);
    EXPECT_EQ(TEMPA_BOOT_SIZE & 0xFF, 0x9Au);
}

namespace {

// One 8 x 11 glyph: its 11 row bytes, bit 7 the left pixel.
Bytes Glyph(int code) {
    const uint8_t* entry = ImageFont + 118 + 4 * code;
    EXPECT_EQ(Le16(entry), 8);
    uint16_t offset = Le16(entry + 2);
    EXPECT_LE(offset + 11u, FONT_IMAGE_SIZE);
    return Bytes(ImageFont + offset, ImageFont + offset + 11);
}

int InkRows(const Bytes& glyph) { return int(glyph.size()) - int(std::count(glyph.begin(), glyph.end(), 0)); }

}  // namespace

TEST(ScreenFont, HeaderFields) {
    const uint8_t* f = ImageFont;
    EXPECT_EQ(Le16(f + 0), 0x0200);
    EXPECT_EQ(Le32(f + 2), FONT_IMAGE_SIZE);
    EXPECT_TRUE(std::all_of(f + 6, f + 66, [](uint8_t b) { return b == 0; }));  // copyright
    EXPECT_EQ(Le16(f + 66), 0);    // type: raster
    EXPECT_EQ(Le16(f + 68), 8);    // points
    EXPECT_EQ(Le16(f + 70), 100);  // vertical resolution
    EXPECT_EQ(Le16(f + 72), 100);  // horizontal resolution
    EXPECT_EQ(Le16(f + 74), 0);    // ascent
    EXPECT_EQ(Le16(f + 76), 0);    // internal leading
    EXPECT_EQ(Le16(f + 78), 0);    // external leading
    EXPECT_EQ(f[80] | f[81] | f[82], 0);  // italic, underline, strike-out
    EXPECT_EQ(Le16(f + 83), 400);  // weight
    EXPECT_EQ(f[85], 0);           // character set
    EXPECT_EQ(Le16(f + 86), 8);    // pixel width: fixed pitch
    EXPECT_EQ(Le16(f + 88), 11);   // pixel height
    EXPECT_EQ(f[90] & 1, 0);       // pitch: the low bit clear means fixed
    EXPECT_EQ(Le16(f + 91), 8);    // average width
    EXPECT_EQ(Le16(f + 93), 8);    // maximum width
    EXPECT_EQ(f[95], 0);           // first character
    EXPECT_EQ(f[96], 255);         // last character
    EXPECT_EQ(f[97], 0);           // default character
    EXPECT_EQ(f[98], 0);           // break character
    EXPECT_EQ(Le32(f + 101), 0u);  // device
    uint32_t face = Le32(f + 105);
    ASSERT_LT(face + 7, FONT_IMAGE_SIZE);
    EXPECT_EQ(Text(f + face, 7), std::string("kqmon3\0", 7));
    EXPECT_EQ(Le32(f + 113), 118u + 257u * 4u);  // bits offset: right after the table
}

TEST(ScreenFont, Glyphs) {
    EXPECT_EQ(Glyph(0xFF), Bytes(11, 0xFF));
    EXPECT_EQ(InkRows(Glyph(' ')), 0);
    for (int c = 0x21; c <= 0x7E; c++) EXPECT_GT(InkRows(Glyph(c)), 0) << c;
    for (int c = 0x80; c <= 0xFE; c++) EXPECT_GT(InkRows(Glyph(c)), 0) << c;
    for (int c : {0x01, 0x02, 0x1A}) EXPECT_GT(InkRows(Glyph(c)), 0) << c;
    // Accented letters differ from their base letter: é is not e, ñ is not n.
    EXPECT_NE(Glyph(0x82), Glyph('e'));
    EXPECT_NE(Glyph(0xA4), Glyph('n'));
    // 0xB0-0xB9: the digit with a decimal point added to it.
    for (int d = 0; d < 10; d++) {
        Bytes plain = Glyph('0' + d), pointed = Glyph(0xB0 + d);
        int extra = 0;
        for (int r = 0; r < 11; r++) {
            EXPECT_EQ(pointed[r] & plain[r], plain[r]);
            extra += int(std::bitset<8>(pointed[r] & ~plain[r]).count());
        }
        EXPECT_EQ(extra, 1) << d;
    }
    // 0xBA-0xC4: bar-graph steps of 1 to 11 filled rows, growing from the bottom.
    for (int n = 1; n <= 11; n++) {
        Bytes g = Glyph(0xBA + n - 1);
        EXPECT_EQ(InkRows(g), n);
        EXPECT_NE(g[10], 0);
    }
    // Every glyph is distinct among the small digits and numbers.
    for (int a = 0xC5; a <= 0xE1; a++)
        for (int b = a + 1; b <= 0xE1; b++) EXPECT_NE(Glyph(a), Glyph(b)) << a << " " << b;
}
