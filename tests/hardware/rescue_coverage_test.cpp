// The table of what the rescue brings back on each part: every part of the list once, the
// sockets and builds as the rescue itself names them, and the culprits per kind of part.

#include "session/rescue_coverage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>

#include "link/protocol.h"
#include "session/rescue.h"

namespace bq {
namespace {

const PartDatabase& Parts() {
  static PartDatabase* parts = [] {
    auto* db = new PartDatabase;
    LoadPartList(*db, std::string(BQ_SOURCE_DIR) + "/PartList.cfg");
    return db;
  }();
  return *parts;
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(RescueCoverage, HasOneRowForEveryPartOfTheList) {
  ASSERT_GT(Parts().size(), 100u);
  std::istringstream table(RescueCoverageMarkdown(Parts()));
  std::string line;
  std::size_t rows = 0;
  while (std::getline(table, line)) {
    if (rows >= 2) {
      const std::string name = line.substr(2, line.find(' ', 2) - 2);
      EXPECT_NE(Parts().Find(name), nullptr) << line;
      EXPECT_EQ(std::count(line.begin(), line.end(), '|'), 5) << line;
    }
    ++rows;
  }
  EXPECT_EQ(rows, Parts().size() + 2);
}

struct Case {
  const char* part;
  const char* isp;   // a piece of the ISP cell, "" for none
  const char* uno;   // a piece of the Uno/Nano cell
  const char* mega;  // a piece of the Mega cell
  const char* not_;  // a piece no cell may hold
};

class RescueCoverageOf_ : public ::testing::TestWithParam<Case> {};

TEST_P(RescueCoverageOf_, SaysWhereAndWhat) {
  const Case& c = GetParam();
  const PartRecord* part = Parts().Find(c.part);
  ASSERT_NE(part, nullptr);
  const RescueCoverage got = RescueCoverageOf(c.part, *part);
  EXPECT_TRUE(Has(got.isp, c.isp)) << got.isp;
  EXPECT_TRUE(Has(got.uno, c.uno)) << got.uno;
  EXPECT_TRUE(Has(got.mega, c.mega)) << got.mega;
  if (*c.not_ != '\0') {
    EXPECT_FALSE(Has(got.isp + got.uno + got.mega, c.not_)) << got.isp << got.uno << got.mega;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Parts, RescueCoverageOf_,
    ::testing::Values(
        // HVSP: the same socket on both builds.
        Case{"ATtiny85", "external clock (clock lead on XTAL1), slow clock, lock bits",
             "8-pin socket: RSTDISBL, DWEN, SPIEN, clock source, lock bits",
             "8-pin socket: RSTDISBL, DWEN, SPIEN, clock source, lock bits", "UPDI"},
        Case{"ATtiny84A", "lock bits", "14-pin adapter on the 8-pin socket (not confirmed)",
             "14-pin adapter", ""},
        // HVPP: the Mega build only; the ATmega8 has no DWEN.
        Case{"ATmega328P", "slow clock", "ISP only (28-pin socket: Mega build)",
             "28-pin socket: RSTDISBL, DWEN, SPIEN", ""},
        Case{"ATmega8", "lock bits", "ISP only", "28-pin socket: RSTDISBL, SPIEN, clock", "DWEN"},
        Case{"ATmega1284P", "slow clock", "ISP only (40-pin socket", "40-pin socket: SPIEN",
             "RSTDISBL"},
        Case{"ATtiny2313", "lock bits", "ISP only", "20-pin socket for the ATtiny2313/4313", ""},
        Case{"ATtiny861A", "lock bits", "ISP only", "20-pin socket for the ATtiny26/261/461/861",
             ""},
        // The ATtiny26's clock field carries its PLL bit too; the rescue writes it back.
        Case{"ATtiny26", "external clock", "ISP only", "RSTDISBL, SPIEN, clock source", "DWEN"},
        // High voltage without a socket for its package.
        Case{"ATmega2560", "external clock", "ISP only: no socket", "ISP only: no socket",
             "RSTDISBL"},
        Case{"ATtiny88", "lock bits", "ISP only: no socket", "ISP only: no socket", "socket:"},
        // UPDI: the pulse only where a fuse can take the pin.
        Case{"ATtiny1614", "–", "12 V pulse, SYSCFG0.RSTPINCFG back to UPDI",
             "12 V pulse, SYSCFG0.RSTPINCFG back to UPDI", "ISP"},
        Case{"ATtiny202", "–", "12 V pulse", "erase --unlock", ""},
        Case{"AVR128DA28", "–", "a UPDI pin of its own, no pulse needed", "erase --unlock", "12 V"},
        Case{"ATmega4809", "–", "no pulse needed", "no pulse needed", "12 V"}),
    [](const auto& info) { return std::string(info.param.part); });

// The sockets are the rescue's own, and a socket is on the Uno/Nano build exactly when the
// rescue's table of sockets says so.
TEST(RescueCoverage, NamesTheRescuesSocketOnTheBuildsThatHaveIt) {
  const std::string sockets = RescueSocketsMarkdown();
  for (const auto& [name, part] : Parts().parts()) {
    if (part.IsUpdi()) continue;
    const RescueCoverage got = RescueCoverageOf(name, part);
    const std::string socket = RescueSocketFor(name, part);
    if (socket.empty()) {
      EXPECT_EQ(got.mega, "ISP only: no socket") << name;
      continue;
    }
    const std::string bare = socket.substr(4);  // without "the "
    EXPECT_EQ(got.mega.rfind(bare + ": ", 0), 0u) << name << ": " << got.mega;
    const std::size_t row = sockets.find("| " + socket + " |");
    ASSERT_NE(row, std::string::npos) << socket;
    const std::string line = sockets.substr(row, sockets.find('\n', row) - row);
    EXPECT_EQ(Has(line, "Uno/Nano"), got.uno.rfind(bare + ": ", 0) == 0) << name << ": " << line;
  }
}

}  // namespace
}  // namespace bq
