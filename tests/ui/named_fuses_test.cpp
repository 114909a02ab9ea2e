// The named fuse bytes of a UPDI part: the CLI's assignments and the fuse editor's rows.
#include "session/named_fuses.h"

#include <gtest/gtest.h>

#include "session/fuse_write_risks.h"
#include "tests/ui/test_parts.h"
#include "ui/fuse_editor.h"

namespace bq {
namespace {

class NamedFusesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::AddUpdiTestPart(db);
    db.FinishLoad();
    ASSERT_TRUE(db.SelectPartByName("TINYUPDI"));
    editor.ResetEditor();
  }
  const UpdiLayout& layout() const { return db.SelectedPart().updi; }
  std::vector<std::string> ByteTexts() const {
    std::vector<std::string> out;
    for (const auto& [row, b] : editor.byteRows()) out.push_back(b.label + "=" + b.valueText);
    return out;
  }
  int Row(const char* name) const { return editor.FindField(name); }
  PartDatabase db;
  FuseEditor editor{FuseEditorKind::Fuses, db};
};

TEST_F(NamedFusesTest, AssignmentsNameBytesFieldsAndValuesInAnyLetterCase) {
  struct Case {
    const char* word;
    NamedFuseAssignment want;
  } cases[] = {
      {"SYSCFG0=0xF6", {"SYSCFG0", 5, 0xFF, 0xF6}},
      {"syscfg0=246", {"SYSCFG0", 5, 0xFF, 0xF6}},
      {"BODCFG.ACTIVE=ENABLED", {"BODCFG.ACTIVE", 1, 0x0C, 0x04}},
      {"bodcfg.active=sampled", {"BODCFG.ACTIVE", 1, 0x0C, 0x08}},
      {"BODCFG.LVL=0x2", {"BODCFG.LVL", 1, 0xE0, 0x40}},
      {"BODCFG.LVL=2.6V", {"BODCFG.LVL", 1, 0xE0, 0x40}},  // blanks and dots of a name ignored
      {"SYSCFG0.RSTPINCFG=gpio mode", {"SYSCFG0.RSTPINCFG", 5, 0x0C, 0x00}},
      {"SYSCFG0.RSTPINCFG=rst", {"SYSCFG0.RSTPINCFG", 5, 0x0C, 0x08}},  // the value's own name
      {"OSCCFG.OSCLOCK=1", {"OSCCFG.OSCLOCK", 2, 0x80, 0x80}},
      {"BOOTEND=0x20", {"BOOTEND", 8, 0xFF, 0x20}},
  };
  for (const Case& c : cases) {
    NamedFuseAssignment got;
    EXPECT_EQ(ParseNamedFuseAssignment(layout(), c.word, got), "") << c.word;
    EXPECT_EQ(got, c.want) << c.word;
  }
}

TEST_F(NamedFusesTest, WrongAssignmentsSayWhatIsWrongAndNameTheClosest) {
  struct Case {
    const char* word;
    const char* said;
  } cases[] = {
      {"SYSCFG0", "expected NAME=VALUE"},
      {"=1", "expected NAME=VALUE"},
      {"SYSCF0=1", "did you mean SYSCFG0"},
      {"FUSEX=1", "its fuse bytes: WDTCFG, BODCFG"},
      {"RSTPINCFG=UPDI", "RSTPINCFG is a field of SYSCFG0: write SYSCFG0.RSTPINCFG=UPDI"},
      {"BODCFG.ACTIV=1", "did you mean ACTIVE"},
      {"BODCFG.ACTIVE=ENABLD", "did you mean Enabled"},
      {"BODCFG.ACTIVE=4", "does not fit BODCFG.ACTIVE (0x0..0x3)"},
      {"BODCFG.ACTIVE=", "no value given for BODCFG.ACTIVE"},
      {"SYSCFG0=0x100", "is not a byte"},
      {"SYSCFG0=ENABLED", "is not a byte"},
      {"BODCFG.SAMPFREQ=fast", "is not a number (0x0..0x1)"},
      {"APPEND.X=1", "APPEND has no field X; it has no fields."},
  };
  for (const Case& c : cases) {
    NamedFuseAssignment got;
    EXPECT_NE(ParseNamedFuseAssignment(layout(), c.word, got).find(c.said), std::string::npos)
        << c.word << ": " << ParseNamedFuseAssignment(layout(), c.word, got);
  }
}

TEST_F(NamedFusesTest, AssignmentsChangeOnlyTheirBitsAndVerifyNamesWhatDiffers) {
  std::vector<NamedFuseAssignment> a;
  ASSERT_EQ(ParseNamedFuseAssignments(layout(), {"BODCFG.ACTIVE=ENABLED", "BODCFG.LVL=7"}, a), "");
  std::vector<std::uint8_t> chip = DefaultNamedFuses(layout());
  ASSERT_EQ(chip.size(), 9u);
  std::vector<std::uint8_t> wanted = chip;
  wanted[1] = 0x13;  // SLEEP and SAMPFREQ set on the chip stay
  ApplyNamedFuseAssignments(wanted, a);
  EXPECT_EQ(wanted[1], 0xF7);
  EXPECT_EQ(NamedFuseDifferences(layout(), a, wanted), std::vector<std::string>{});
  EXPECT_EQ(NamedFuseDifferences(layout(), a, chip),
            (std::vector<std::string>{
                "BODCFG.ACTIVE: the chip has 0x0 (Disabled), 0x1 (Enabled) expected",
                "BODCFG.LVL: the chip has 0x0 (1.8 V), 0x7 (4.2 V) expected"}));
  EXPECT_EQ(
      NamedFuseLine(layout().fuses[1], 0x44),
      "BODCFG\t0x44\tSLEEP=0x0 (Disabled)\tACTIVE=0x1 (Enabled)\tSAMPFREQ=0x0\tLVL=0x2 (2.6 V)");
}

TEST_F(NamedFusesTest, EditorShowsEachByteByNameWithItsFieldsAndEditsGoIntoTheirByte) {
  EXPECT_TRUE(editor.IsNamed());
  EXPECT_EQ(ByteTexts(),
            (std::vector<std::string>{"WDTCFG=0x00", "BODCFG=0x00", "OSCCFG=0x02", "SYSCFG0=0xC4",
                                      "SYSCFG1=0x07", "APPEND=0x00", "BOOTEND=0xFF"}));
  EXPECT_EQ(editor.fieldRows().size(), 11u);
  EXPECT_EQ(editor.fieldRows().at(0).name, "WDTCFG.PERIOD");
  // BOOTEND has no factory value: Write leaves it alone until it is known.
  EXPECT_EQ(editor.NamedValues().size(), 6u);

  editor.ApplyChoice(static_cast<std::uint32_t>(Row("bodcfg.active")), 1);  // Enabled
  EXPECT_EQ(editor.namedBytes()[1], 0x04);
  EXPECT_EQ(editor.FieldDisplayText(static_cast<std::uint32_t>(Row("BODCFG.ACTIVE"))), "Enabled");

  // A UPDI part's fuse bit is on at 1: EESAVE 0 shows unchecked, a click sets it.
  const auto eesave = static_cast<std::uint32_t>(Row("SYSCFG0.EESAVE"));
  EXPECT_EQ(editor.FieldDisplayText(eesave), "[ ]");
  editor.ToggleField(eesave);
  EXPECT_EQ(editor.namedBytes()[5], 0xC5);
  EXPECT_EQ(editor.FieldPicture(eesave), 1);
  // The field that can take the UPDI pin away is drawn as a warning.
  EXPECT_EQ(editor.FieldPicture(static_cast<std::uint32_t>(Row("SYSCFG0.RSTPINCFG"))), 0);
  EXPECT_EQ(
      editor.fieldRows().at(static_cast<std::uint32_t>(Row("SYSCFG0.RSTPINCFG"))).isEnumerator,
      true);

  editor.ApplyByteText(6, "0x20");  // BOOTEND, typed
  EXPECT_EQ(editor.namedBytes()[8], 0x20);
  EXPECT_FALSE(editor.SetByte(kTargetLow, 0x11));  // an ELF file's classic byte: no such byte here
  EXPECT_EQ(editor.namedBytes()[1], 0x04);

  // Set Default: every factory value back; a byte without one keeps what it shows.
  editor.ResetEditor();
  EXPECT_EQ(ByteTexts(),
            (std::vector<std::string>{"WDTCFG=0x00", "BODCFG=0x00", "OSCCFG=0x02", "SYSCFG0=0xC4",
                                      "SYSCFG1=0x07", "APPEND=0x00", "BOOTEND=0x20"}));
  // What Write sends: every named byte and no byte at the gap.
  const std::vector<NamedFuseValue> values = editor.NamedValues();
  ASSERT_EQ(values.size(), 7u);
  EXPECT_EQ(values[3], (NamedFuseValue{5, 0xC4}));
}

// Every lock byte but one locks a UPDI part: the lock-bit editor's default is that one, so a
// Write of the defaults leaves the chip open. An AVR Dx's 4-byte key is no lock byte.
TEST_F(NamedFusesTest, TheLockEditorOfAUpdiPartDefaultsToTheByteThatLeavesTheChipOpen) {
  FuseEditor locks{FuseEditorKind::LockBits, db};
  locks.ResetEditor();
  EXPECT_FALSE(locks.IsNamed());
  ASSERT_EQ(locks.byteRows().size(), 1u);
  EXPECT_EQ(locks.byteRows().at(0).label, "LOCKBIT");
  EXPECT_EQ(locks.byteRows().at(0).valueText, "0xC5");
  EXPECT_TRUE(locks.bytes().lock.present);
  // One field: the open value or the lock.
  ASSERT_EQ(locks.fieldRows().size(), 1u);
  EXPECT_EQ(locks.FieldDisplayText(0), "No locks");
  locks.ApplyChoice(0, 1);
  EXPECT_EQ(locks.ByteValue(kTargetLockBit), kUpdiLockedByte);
  EXPECT_EQ(locks.FieldDisplayText(0), "Read and write lock");

  UpdiLayout& u = db.RecordFor("TINYUPDI").updi;
  u.lockSize = 4;
  u.lockOpenValue = 0x5CC5C55C;
  locks.ResetEditor();
  EXPECT_TRUE(locks.byteRows().empty());
  EXPECT_TRUE(locks.fieldRows().empty());
  EXPECT_FALSE(locks.bytes().lock.present);
}

TEST_F(NamedFusesTest, WritingTheUpdiPinAwayIsARiskOnlyWhereThePinIsShared) {
  struct Case {
    const char* name;
    std::uint8_t syscfg0;
    const char* to;  // "" for no risk
  } cases[] = {
      {"UPDI kept", 0xC4, ""},
      {"GPIO", 0xC0, "GPIO mode"},
      {"RESET", 0xC8, "Reset mode"},
      {"reserved value", 0xCC, "0x3"},
  };
  for (const Case& c : cases) {
    const std::vector<FuseWriteRisk> risks =
        UpdiFuseWriteRisks(layout(), {{1, 0x00}, {5, c.syscfg0}});
    if (*c.to == '\0') {
      EXPECT_TRUE(risks.empty()) << c.name;
      continue;
    }
    ASSERT_EQ(risks.size(), 1u) << c.name;
    EXPECT_EQ(risks[0], (FuseWriteRisk{FuseRisk::UpdiPinTaken, "SYSCFG0.RSTPINCFG", "", c.to}));
  }
  EXPECT_TRUE(UpdiFuseWriteRisks(layout(), {{1, 0x00}}).empty());  // SYSCFG0 not written
  UpdiLayout own = layout();
  own.pinShared = false;  // a part with a UPDI pin of its own
  EXPECT_TRUE(UpdiFuseWriteRisks(own, {{5, 0xC0}}).empty());
  const std::string question = UpdiFuseWriteQuestion(UpdiFuseWriteRisks(layout(), {{5, 0xC0}}));
  EXPECT_NE(question.find("high-voltage UPDI activation"), std::string::npos);
  EXPECT_NE(question.find("Write the fuses anyway?"), std::string::npos);
}

}  // namespace
}  // namespace bq
