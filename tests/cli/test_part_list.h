#pragma once
// A small part list the command-line tests write for themselves: one part per high-voltage
// mode (1, 2, 3), one with ISP only and one without EEPROM.

namespace bq::test {

inline constexpr const char* kTestPartList = R"(<AVRPART name="TMEGA1" signature="0x1E9514">
  <MEMORY FlashPageSizeW="64" FlashNoOfPages="32" EEpromPageSize="4" EEpromNoOfPages="64">
  <HVMODE val="1">
  <OSCCAL val="0x00" text="8.0 MHz">
  <FUSE>
    <LOW>
      <BIT mask="0x80" name="CKDIV8" text="Divide clock by 8 internally">
      <ENUMERATOR mask="0x0F" name="CKSEL" text="Clock source">
        <ENUM val="0x02" text="Int. RC Osc. 8 MHz">
        <ENUM val="0x03" text="Int. 128 kHz">
        <ENUM val="0x0F" text="Ext. Crystal">
      </ENUMERATOR>
    </LOW>
    <HIGH>
      <BIT mask="0x80" name="RSTDISBL" text="Reset Disabled">
      <BIT mask="0x20" name="SPIEN" text="Serial programming enabled">
    </HIGH>
    <EXTENDED>
      <BIT mask="0x01" name="BODLEVEL0" text="Brown-out level bit 0">
    </EXTENDED>
    <DEFAULTLOW val="0x62">
    <DEFAULTHIGH val="0xD9">
    <DEFAULTEXTENDED val="0xFF">
  </FUSE>
  <LOCKBIT>
    <ENUMERATOR mask="0x03" name="LB" text="Memory Lock">
      <ENUM val="0x00" text="Further programming and verification disabled">
      <ENUM val="0x02" text="Further programming disabled">
      <ENUM val="0x03" text="No memory lock features enabled">
    </ENUMERATOR>
  </LOCKBIT>
</AVRPART>
<AVRPART name="TTINY2" signature="0x1E910F">
  <MEMORY FlashPageSizeW="16" FlashNoOfPages="64" EEpromPageSize="4" EEpromNoOfPages="32">
  <HVMODE val="2">
  <FUSE>
    <LOW>
      <BIT mask="0x80" name="CKDIV8" text="Divide clock by 8 internally">
    </LOW>
    <HIGH>
      <BIT mask="0x20" name="SPIEN" text="Serial programming enabled">
    </HIGH>
    <DEFAULTLOW val="0x62">
    <DEFAULTHIGH val="0xDF">
  </FUSE>
  <LOCKBIT>
    <ENUMERATOR mask="0x03" name="LB" text="Memory Lock">
      <ENUM val="0x00" text="Further programming and verification disabled">
      <ENUM val="0x03" text="No memory lock features enabled">
    </ENUMERATOR>
  </LOCKBIT>
</AVRPART>
<AVRPART name="TTINY3" signature="0x1E930F">
  <MEMORY FlashPageSizeW="32" FlashNoOfPages="64" EEpromPageSize="4" EEpromNoOfPages="64">
  <HVMODE val="3">
  <OSCCAL val="0x00" text="8.0 MHz">
  <OSCCAL val="0x01" text="6.4 MHz">
  <FUSE>
    <LOW>
      <BIT mask="0x80" name="CKDIV8" text="Divide clock by 8 internally">
    </LOW>
    <HIGH>
      <BIT mask="0x20" name="SPIEN" text="Serial programming enabled">
    </HIGH>
    <EXTENDED>
      <BIT mask="0x01" name="SELFPRGEN" text="Self programming enabled">
    </EXTENDED>
    <DEFAULTLOW val="0x62">
    <DEFAULTHIGH val="0xDF">
    <DEFAULTEXTENDED val="0xFF">
  </FUSE>
  <LOCKBIT>
    <ENUMERATOR mask="0x03" name="LB" text="Memory Lock">
      <ENUM val="0x00" text="Further programming and verification disabled">
      <ENUM val="0x03" text="No memory lock features enabled">
    </ENUMERATOR>
  </LOCKBIT>
</AVRPART>
<AVRPART name="TISP0" signature="0x1E940F">
  <MEMORY FlashPageSizeW="64" FlashNoOfPages="64" EEpromPageSize="4" EEpromNoOfPages="128">
  <OSCCAL val="0x00" text="8.0 MHz">
  <FUSE>
    <LOW>
      <BIT mask="0x80" name="CKDIV8" text="Divide clock by 8 internally">
    </LOW>
    <HIGH>
      <BIT mask="0x20" name="SPIEN" text="Serial programming enabled">
    </HIGH>
    <DEFAULTLOW val="0x62">
    <DEFAULTHIGH val="0xD9">
  </FUSE>
  <LOCKBIT>
    <ENUMERATOR mask="0x03" name="LB" text="Memory Lock">
      <ENUM val="0x00" text="Further programming and verification disabled">
      <ENUM val="0x03" text="No memory lock features enabled">
    </ENUMERATOR>
  </LOCKBIT>
</AVRPART>
<AVRPART name="TNOEEP" signature="0x1E9001">
  <MEMORY FlashPageSizeW="16" FlashNoOfPages="32" EEpromPageSize="0" EEpromNoOfPages="0">
</AVRPART>
)";

}  // namespace bq::test
