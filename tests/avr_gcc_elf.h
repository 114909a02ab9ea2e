#pragma once
// An ELF file as avr-gcc builds it for a device: flash, EEPROM (four bytes 1 2 3 4), the fuse
// bytes given as a FUSES initialiser, and lock byte 0xFC. Empty when avr-gcc is missing or
// fails.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace bq::test {

inline bool HaveAvrGcc() {
  return std::system("avr-gcc --version > /dev/null 2>&1") == 0;
}

inline std::filesystem::path BuildAvrGccElf(const std::filesystem::path& dir,
                                            const std::string& mcu, const std::string& fuses) {
  const std::filesystem::path source = dir / (mcu + ".c"), elf = dir / (mcu + ".elf");
  std::ofstream(source)
      << "#include <avr/io.h>\n#include <avr/eeprom.h>\n#include <avr/fuse.h>\n"
         "#include <avr/lock.h>\n"
         "FUSES = {"
      << fuses
      << "};\n"
         "LOCKBITS = 0xFC;\n"
         "uint8_t EEMEM table[4] = {1, 2, 3, 4};\n"
         "volatile uint8_t counter = 7;\n"
         "int main(void) { for (;;) PORTB = eeprom_read_byte(&table[++counter & 3]); }\n";
  const std::string command =
      "avr-gcc -mmcu=" + mcu + " -Os -o '" + elf.string() + "' '" + source.string() + "'";
  return std::system(command.c_str()) == 0 ? elf : std::filesystem::path{};
}

}  // namespace bq::test
