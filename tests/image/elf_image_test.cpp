// ELF files: what avr-gcc links loads to exactly the bytes avr-objcopy extracts, and damaged
// files are refused with a reason, never read outside their bytes.

#include "image/elf_image.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

#include "image_test_support.h"

namespace bq::test {
namespace {

#define REQUIRE_TOOL(tool) \
  if (!ToolPresent(tool)) GTEST_SKIP() << tool << " is not installed"

using ElfImageTest = TempFolderTest;

std::optional<ElfImage> ParseFile(const std::string& path, std::string* error) {
  return ParseElfImage(ReadFileText(path), error);
}

TEST_F(ElfImageTest, AvrGccProgramsLoadLikeObjcopysSections) {
  REQUIRE_TOOL("avr-gcc");
  REQUIRE_TOOL("avr-objcopy");
  struct Program {
    const char* mcu;
    const char* source;
    std::optional<std::uint8_t> low, high, extended, lock;
  };
  // The first has every memory, .data (placed in flash after .text) and a .signature that
  // is skipped; the second a chip with two fuse bytes and no EEPROM data or lock byte.
  const Program programs[] = {
      {"atmega328p",
       "#include <avr/io.h>\n#include <avr/eeprom.h>\n#include <avr/fuse.h>\n"
       "#include <avr/lock.h>\n#include <avr/signature.h>\n"
       "FUSES = {.low = 0xE2, .high = 0xD9, .extended = 0xFD};\n"
       "LOCKBITS = LB_MODE_3;\n"
       "uint8_t table[5] EEMEM = {1, 2, 3, 4, 5};\n"
       "uint16_t counter EEMEM = 0x1234;\n"
       "volatile uint8_t initial[8] = {9, 8, 7, 6, 5, 4, 3, 2};\n"
       "int main(void) {\n"
       "  for (;;) PORTB = initial[PINB & 7] ^ eeprom_read_byte(&table[PINC & 3]);\n"
       "}\n",
       0xE2, 0xD9, 0xFD, 0xFC},
      {"attiny13",
       "#include <avr/io.h>\n#include <avr/fuse.h>\n"
       "FUSES = {.low = 0x6A, .high = 0xFB};\n"
       "volatile uint8_t initial[3] = {7, 8, 9};\n"
       "int main(void) { for (;;) PORTB = initial[PINB & 1]; }\n",
       0x6A, 0xFB, std::nullopt, std::nullopt},
  };
  for (const Program& program : programs) {
    SCOPED_TRACE(program.mcu);
    const std::string source = pathOf("program.c");
    const std::string elf = pathOf("program.elf");
    WriteFileText(source, program.source);
    ASSERT_TRUE(RunCommand(std::string("avr-gcc -mmcu=") + program.mcu + " -Os -o " + Quote(elf) +
                           " " + Quote(source)));
    ASSERT_TRUE(RunCommand("avr-objcopy -O binary -R .eeprom -R .fuse -R .lock -R .signature " +
                           Quote(elf) + " " + Quote(pathOf("flash.raw"))));
    ASSERT_TRUE(RunCommand("avr-objcopy -O binary -j .eeprom --change-section-lma .eeprom=0 " +
                           Quote(elf) + " " + Quote(pathOf("eeprom.raw"))));

    std::string error;
    const std::optional<ElfImage> image = ParseFile(elf, &error);
    ASSERT_TRUE(image) << error;
    const Bytes flash = ReadFileBytes(pathOf("flash.raw"));
    ASSERT_GT(flash.size(), 50u);
    EXPECT_EQ(image->flash, flash);
    EXPECT_EQ(image->eeprom, ReadFileBytes(pathOf("eeprom.raw")));
    EXPECT_EQ(image->low, program.low);
    EXPECT_EQ(image->high, program.high);
    EXPECT_EQ(image->extended, program.extended);
    EXPECT_EQ(image->lock, program.lock);
    EXPECT_EQ(image->device, program.mcu);  // from the note avr-gcc writes
  }
}

// A small ELF file built here: header, program headers, then each segment's bytes.
struct Segment {
  std::uint32_t type;  // 1 loadable
  std::uint32_t address;
  Bytes bytes;
};

void Put(std::string& file, std::size_t at, std::uint32_t value, int width) {
  for (int i = 0; i < width; ++i) file[at + i] = static_cast<char>(value >> (8 * i));
}

std::string MakeElf(const std::vector<Segment>& segments) {
  std::string file(52 + 32 * segments.size(), '\0');
  const char ident[] = {0x7F, 'E', 'L', 'F', 1, 1, 1};  // 32-bit, little-endian, version 1
  file.replace(0, sizeof ident, ident, sizeof ident);
  Put(file, 16, 2, 2);   // executable
  Put(file, 18, 83, 2);  // AVR
  Put(file, 20, 1, 4);
  Put(file, 28, 52, 4);  // program headers right after the header
  Put(file, 40, 52, 2);
  Put(file, 42, 32, 2);
  Put(file, 44, static_cast<std::uint32_t>(segments.size()), 2);
  for (std::size_t i = 0; i < segments.size(); ++i) {
    const std::size_t at = 52 + 32 * i;
    const Segment& s = segments[i];
    Put(file, at, s.type, 4);
    Put(file, at + 4, static_cast<std::uint32_t>(file.size()), 4);
    Put(file, at + 8, s.address, 4);
    Put(file, at + 12, s.address, 4);
    Put(file, at + 16, static_cast<std::uint32_t>(s.bytes.size()), 4);
    Put(file, at + 20, static_cast<std::uint32_t>(s.bytes.size()) + 4, 4);
    file.append(s.bytes.begin(), s.bytes.end());
  }
  return file;
}

// Two flash pieces with a gap, EEPROM, only the high fuse byte, the lock byte; and what is
// skipped: the signature, .bss (no file bytes) and a segment that is not loadable.
std::string SmallElf() {
  return MakeElf({{1, 0x000000, {0x0C, 0x94, 0x34, 0x00, 0x0C, 0x94}},
                  {1, 0x000010, {0xAB, 0xCD}},
                  {1, 0x810000, {1, 2, 3}},
                  {1, 0x820001, {0xD9}},
                  {1, 0x830000, {0xFC}},
                  {1, 0x840000, {0x1E, 0x95, 0x0F}},
                  {1, 0x800100, {}},
                  {4, 0x800000, {'n', 'o', 't', 'e'}}});
}

TEST(ElfImageParse, PlacesSegmentsByLoadAddress) {
  std::string error;
  const std::optional<ElfImage> image = ParseElfImage(SmallElf(), &error);
  ASSERT_TRUE(image) << error;
  Bytes flash = {0x0C, 0x94, 0x34, 0x00, 0x0C, 0x94};
  flash.resize(0x10, 0xFF);
  flash.insert(flash.end(), {0xAB, 0xCD});
  EXPECT_EQ(image->flash, flash);
  EXPECT_EQ(image->eeprom, (Bytes{1, 2, 3}));
  EXPECT_EQ(image->low, std::nullopt);
  EXPECT_EQ(image->high, 0xD9);
  EXPECT_EQ(image->extended, std::nullopt);
  EXPECT_EQ(image->lock, 0xFC);
  EXPECT_TRUE(LooksLikeElf(SmallElf()));
}

// A UPDI part's program as ELF segments and as the Intel HEX file of the same sections: flash,
// EEPROM, fuse bytes by offset (WDTCFG, BODCFG, SYSCFG0 of a tinyAVR), a 4-byte AVR Dx lock
// key, the signature (skipped) and the user row.
TEST(ElfImageParse, UpdiSectionsLoadFromElfAndIntelHex) {
  struct Section {
    std::uint32_t address;
    Bytes bytes;
  };
  const Section sections[] = {{0x000000, {0x0C, 0x94, 0x34}},
                              {0x810000, {7, 8}},
                              {0x820000, {0x00, 0x02}},
                              {0x820005, {0xF6}},
                              {0x830000, {0x5C, 0xC5, 0xC5, 0x5C}},
                              {0x840000, {0x1E, 0x94}},
                              {0x850000, {0xAA, 0xBB, 0xCC}}};
  std::vector<Segment> segments;
  std::string hex;
  auto record = [&hex](int type, std::uint32_t address, const Bytes& data) {
    Bytes b = {static_cast<std::uint8_t>(data.size()), static_cast<std::uint8_t>(address >> 8),
               static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(type)};
    b.insert(b.end(), data.begin(), data.end());
    unsigned sum = 0;
    char text[8];
    hex += ':';
    for (std::uint8_t x : b) {
      std::snprintf(text, sizeof text, "%02X", x);
      hex += text;
      sum += x;
    }
    std::snprintf(text, sizeof text, "%02X\r\n", (0x100 - (sum & 0xFF)) & 0xFF);
    hex += text;
  };
  for (const Section& s : sections) {
    segments.push_back({1, s.address, s.bytes});
    record(
        4, 0,
        {static_cast<std::uint8_t>(s.address >> 24), static_cast<std::uint8_t>(s.address >> 16)});
    record(0, s.address & 0xFFFF, s.bytes);
  }
  record(1, 0, {});
  std::string error;
  const std::optional<ElfImage> elf = ParseElfImage(MakeElf(segments), &error);
  ASSERT_TRUE(elf) << error;
  const std::optional<ElfImage> fromHex = ParseSectionedHex(hex, &error);
  ASSERT_TRUE(fromHex) << error;
  for (const ElfImage* image : {&*elf, &*fromHex}) {
    EXPECT_EQ(image->flash, (Bytes{0x0C, 0x94, 0x34}));
    EXPECT_EQ(image->eeprom, (Bytes{7, 8}));
    const std::vector<std::pair<std::uint8_t, std::uint8_t>> fuses = {
        {0, 0x00}, {1, 0x02}, {5, 0xF6}};
    EXPECT_EQ(image->fuses, fuses);
    EXPECT_EQ(image->lockBytes, (Bytes{0x5C, 0xC5, 0xC5, 0x5C}));
    EXPECT_EQ(image->userRow, (Bytes{0xAA, 0xBB, 0xCC}));
  }
  // Refusals of the Intel HEX reading.
  struct Case {
    std::string text;
    const char* error;
  } cases[] = {
      {hex.substr(0, hex.size() - 13), "no end-of-file record; the file may be incomplete"},
      {":020000040082X8\n:00000001FF\n", "line 1: damaged record"},
      {":020000040082FF\n:00000001FF\n", "line 1: checksum error"},
      {":02000004008278\n:0100050001F9\n:0100050002F8\n:00000001FF\n",
       "lines 2 and 3 both hold fuse data at 0x820005"},
      {":0200000400807A\n:0101000000FE\n:00000001FF\n",
       "line 2 holds data for RAM at 0x800100, which cannot be programmed"}};
  for (const Case& c : cases) {
    EXPECT_FALSE(ParseSectionedHex(c.text, &error)) << c.text;
    EXPECT_EQ(error, c.error) << c.text;
  }
}

TEST(ElfImageParse, DamagedFilesAreRefusedWithAReason) {
  // Offsets of the first two program headers' fields.
  constexpr std::size_t kSeg0 = 52, kSeg1 = 84, kOffset = 4, kAddress = 12, kFileBytes = 16;
  struct Case {
    const char* name;
    std::function<void(std::string&)> damage;
    const char* error;
  };
  const Case cases[] = {
      {"empty", [](std::string& f) { f.clear(); }, "not an ELF file"},
      {"other format", [](std::string& f) { f[1] = 'Z'; }, "not an ELF file"},
      {"header cut short", [](std::string& f) { f.resize(40); },
       "the ELF header is cut short (40 of 52 bytes)"},
      {"64-bit", [](std::string& f) { f[4] = 2; }, "not a 32-bit little-endian file"},
      {"big-endian", [](std::string& f) { f[5] = 2; }, "not a 32-bit little-endian file"},
      {"x86-64", [](std::string& f) { Put(f, 18, 62, 2); }, "not built for AVR (machine 62)"},
      {"object file", [](std::string& f) { Put(f, 16, 1, 2); },
       "not a linked program (ELF type 1)"},
      {"no program headers", [](std::string& f) { Put(f, 44, 0, 2); },
       "the file has no program headers"},
      {"short program headers", [](std::string& f) { Put(f, 42, 16, 2); },
       "program headers of 16 bytes are too short (32 needed)"},
      {"program headers cut off", [](std::string& f) { f.resize(52 + 32 * 3); },
       "the program headers run past the end of the file"},
      // 0xFFFF * 0xFFFF + 0x1FFFF is 2^32: 0 in 32-bit arithmetic.
      {"program header table size wraps",
       [](std::string& f) {
         Put(f, 28, 0x1FFFF, 4);
         Put(f, 42, 0xFFFF, 2);
         Put(f, 44, 0xFFFF, 2);
       },
       "the program headers run past the end of the file"},
      {"segment offset past the end",
       [](std::string& f) { Put(f, kSeg1 + kOffset, static_cast<std::uint32_t>(f.size()), 4); },
       "segment 1 runs past the end of the file"},
      {"segment size wraps", [](std::string& f) { Put(f, kSeg0 + kFileBytes, 0xFFFFFFFF, 4); },
       "segment 0 runs past the end of the file"},
      {"flash beyond the image", [](std::string& f) { Put(f, kSeg0 + kAddress, 0x4FFFC, 4); },
       "segment 0 puts flash data at 0x4FFFC..0x50001, beyond the 0x50000 bytes of the flash "
       "image"},
      {"flash far beyond the image", [](std::string& f) { Put(f, kSeg1 + kAddress, 0x7FFFF0, 4); },
       "segment 1 puts flash data at 0x7FFFF0..0x7FFFF1, beyond the 0x50000 bytes of the flash "
       "image"},
      {"EEPROM beyond the image", [](std::string& f) { Put(f, kSeg1 + kAddress, 0x811FFF, 4); },
       "segment 1 puts EEPROM data at 0x811FFF..0x812000, beyond the 0x2000 bytes of the EEPROM "
       "image (0x810000..0x811FFF)"},
      {"a 33rd fuse byte", [](std::string& f) { Put(f, kSeg1 + kAddress, 0x82001F, 4); },
       "segment 1 puts fuse data at 0x82001F..0x820020, beyond the 32 fuse bytes "
       "(0x820000..0x82001F)"},
      {"a fifth lock byte", [](std::string& f) { Put(f, kSeg1 + kAddress, 0x830003, 4); },
       "segment 1 puts lock data at 0x830003..0x830004, beyond the 4 lock bytes "
       "(0x830000..0x830003)"},
      {"data for RAM", [](std::string& f) { Put(f, kSeg1 + kAddress, 0x800100, 4); },
       "segment 1 holds data for RAM at 0x800100, which cannot be programmed"},
      {"overlapping segments", [](std::string& f) { Put(f, kSeg1 + kAddress, 0x5, 4); },
       "segments 0 and 1 both hold flash data at 0x5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string file = SmallElf();
    c.damage(file);
    // A copy of exactly the file's bytes, so that AddressSanitizer sees any read past them.
    const std::vector<char> exact(file.begin(), file.end());
    std::string error;
    EXPECT_EQ(ParseElfImage(std::string_view(exact.data(), exact.size()), &error), std::nullopt);
    EXPECT_EQ(error, c.error);
  }
}

}  // namespace
}  // namespace bq::test
