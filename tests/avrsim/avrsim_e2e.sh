#!/usr/bin/env bash
# End to end through the simulated bench: the real brindlequartz-cli talks over a
# pseudo-terminal to the programmer firmware running in brindlequartz-avrsim, with a chip
# model on the board's pins. Any "violation:" the chip reports fails the stage.
#
#   avrsim_e2e.sh STAGE AVRSIM CLI PARTLIST [BOOTLOADERS]
#   STAGE: uno-isp | uno-hvsp | mega-hvpp | mega-hvpp40 | mega-hvpp20 | mega-isp | mega-updi |
#          uno-updi | faults | isp-rescue | boot-uno | boot-mega
#   BOOTLOADERS: the folder of the stock Arduino bootloaders (the boot-* stages)
set -u
stage=$1 avrsim=$2 cli=$3 partlist=$4 bootloaders=${5:-}
work=$(mktemp -d "${TMPDIR:-/tmp}/bq_avrsim_${stage}_XXXXXX")
failures=0
bench_pid=
port=

cleanup() {
  [ -n "$bench_pid" ] && kill -TERM "$bench_pid" 2>/dev/null && wait "$bench_pid" 2>/dev/null
  [ -n "${KEEP:-}" ] && echo "kept $work" >&2 || rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL [$stage]: $*" >&2
  failures=$((failures + 1))
}

# start_bench ARGS...: starts the bench, sets $port to its pseudo-terminal.
start_bench() {
  : >"$work/bench.out"
  "$avrsim" --partlist "$partlist" "$@" >"$work/bench.out" 2>"$work/bench.err" &
  bench_pid=$!
  bench_args="$*"
  for _ in $(seq 100); do
    port=$(head -n 1 "$work/bench.out")
    [ -n "$port" ] && return 0
    kill -0 "$bench_pid" 2>/dev/null || break
    sleep 0.05
  done
  fail "the bench did not start ($bench_args)"
  cat "$work/bench.err" >&2
  exit 1
}

# stop_bench: stops the bench; its stderr must hold no violation.
stop_bench() {
  kill -TERM "$bench_pid"
  wait "$bench_pid"
  bench_pid=
  if grep -q '^violation:' "$work/bench.err"; then
    fail "the chip saw violations ($bench_args):"
    grep '^violation:' "$work/bench.err" | head -n 20 >&2
  fi
}

# placed TEXT: the bench's first line on stderr (where the chip sits) says TEXT.
placed() {
  local line=
  for _ in $(seq 40); do
    line=$(head -n 1 "$work/bench.err")
    [ -n "$line" ] && break
    sleep 0.05
  done
  case $line in
    *"$1"*) ;;
    *) fail "the bench placed the chip elsewhere ($bench_args): '$line', expected '$1'" ;;
  esac
}

# run NAME ARGS...: runs the CLI on the bench's port; output in $work/NAME.{out,err}, status in $rc.
run() {
  local name=$1
  shift
  "$cli" --partlist "$partlist" --no-progress -P "$port" "$@" >"$work/$name.out" 2>"$work/$name.err"
  rc=$?
}

# ok NAME ARGS...: the command succeeds.
ok() {
  run "$@"
  if [ "$rc" != 0 ]; then
    fail "$1 ($bench_args | ${*:2}) exited with $rc:"
    tail -n 5 "$work/$1.err" >&2
  fi
}

# refused NAME PATTERN ARGS...: the command fails and says PATTERN.
refused() {
  local name=$1 pattern=$2
  shift 2
  run "$name" "$@"
  if [ "$rc" = 0 ]; then
    fail "$name ($bench_args | $*) succeeded, expected a failure saying '$pattern'"
  elif ! grep -q -- "$pattern" "$work/$name.err" "$work/$name.out"; then
    fail "$name ($bench_args | $*) did not say '$pattern':"
    tail -n 5 "$work/$name.err" >&2
  fi
}

# says NAME PATTERN: the last run of NAME printed PATTERN.
says() {
  grep -q -- "$2" "$work/$1.err" "$work/$1.out" || {
    fail "$1 did not print '$2':"
    tail -n 8 "$work/$1.err" "$work/$1.out" >&2
  }
}

# same A B WHAT: the files are equal (A may be a pipe: it is read once).
same() {
  local why
  why=$(cmp "$1" "$2" 2>&1) || fail "$3: ${why%%$'\n'*}"
}

# matrix PART FLASH_BYTES EEPROM_BYTES CLI_ARGS...: the whole set of operations on one chip.
matrix() {
  local part=$1 flash=$2 eeprom=$3
  shift 3
  local args=(-p "$part" "$@")
  head -c "$flash" /dev/urandom >"$work/flash.bin"
  head -c "$eeprom" /dev/urandom >"$work/eeprom.bin"

  ok identify "${args[@]}" identify && says identify "Name: $part"
  ok calibration "${args[@]}" calibration && says calibration ": 0xA0"

  ok write-flash "${args[@]}" write flash "$work/flash.bin"
  ok verify-flash "${args[@]}" verify flash "$work/flash.bin"
  ok read-flash "${args[@]}" read flash "$work/flash.read.bin"
  [ "$rc" = 0 ] && same <(head -c "$flash" "$work/flash.read.bin") "$work/flash.bin" "flash read back"

  ok write-eeprom "${args[@]}" write eeprom "$work/eeprom.bin"
  ok verify-eeprom "${args[@]}" verify eeprom "$work/eeprom.bin"
  ok read-eeprom "${args[@]}" read eeprom "$work/eeprom.read.bin"
  [ "$rc" = 0 ] && same "$work/eeprom.read.bin" "$work/eeprom.bin" "EEPROM read back"

  ok erase "${args[@]}" erase
  ok blank-flash "${args[@]}" blank-check flash
  ok blank-eeprom "${args[@]}" blank-check eeprom

  # EESAVE programmed, then back to the defaults; the lock byte last (an erase clears it).
  ok fuses-write "${args[@]}" fuses write EESAVE=0
  ok fuses-verify "${args[@]}" fuses verify EESAVE=0
  ok fuses-read "${args[@]}" fuses read && says fuses-read "EESAVE.*\[x\]"
  ok fuses-defaults "${args[@]}" fuses write --defaults
  ok fuses-verify-defaults "${args[@]}" fuses verify --defaults
  ok lock-write "${args[@]}" lock write 0xFC
  ok lock-verify "${args[@]}" lock verify 0xFC
  ok lock-read "${args[@]}" lock read && says lock-read "LOCKBIT: 0xFC"
  ok erase-unlock "${args[@]}" erase
  ok lock-read-erased "${args[@]}" lock read && says lock-read-erased "LOCKBIT: 0xFF"
}

# rescue BOARD PART HIGH_DEFAULT RSTDISBL_HIGH: RESET disabled, ISP cannot reach the chip;
# in the socket high voltage reads the fuses and writes the defaults back; moved back to the
# ISP header (the chip kept in a file between benches), ISP reaches it again.
rescue() {
  local board=$1 part=$2 high=$3 disabled=$4
  local chip=$work/rescued.chip
  rm -f "$chip"
  start_bench --board "$board" --target "$part" --place isp --chip "$chip" \
    --fuses "$(low_default "$part"),$disabled"
  refused isp-disabled "Autodetect ISP Frequency" -p "$part" -m isp -c auto fuses read
  stop_bench
  start_bench --board "$board" --target "$part" --place socket --chip "$chip"
  ok rescue-read -p "$part" fuses read && says rescue-read "Read HIGH: 0x$disabled"
  ok rescue-write -p "$part" fuses write --defaults
  ok rescue-check -p "$part" fuses verify --defaults
  stop_bench
  start_bench --board "$board" --target "$part" --place isp --chip "$chip"
  ok rescued-isp -p "$part" -m isp -c auto fuses read && says rescued-isp "Read HIGH: 0x$high"
  stop_bench
}

low_default() {
  case $1 in
    ATtiny85 | ATmega328P | ATmega1284P | ATtiny2313) echo 62 ;;
  esac
}

# stock BOARD BOOTLOADER DRIVER_ARGS PART SECTION EEPROM: a board with its stock bootloader
# and an ATtiny85 on its ISP header. The STK500 driver programs the board's own chip through
# the bootloader (and is told plainly what a bootloader cannot do; EEPROM no: the bootloader
# does not reach the EEPROM); then firmware install puts our firmware on the board, which
# programs the ATtiny85.
stock() {
  local board=$1 bootloader=$2 driver=$3 part=$4 section=$5 eeprom=$6
  local args=(-p "$part" $driver)
  head -c 3000 /dev/urandom >"$work/app.bin"
  head -c 1024 /dev/urandom >"$work/eeprom.bin"
  start_bench --board "$board" --target ATtiny85 --place isp --bootloader "$bootloaders/$bootloader"
  ok boot-identify "${args[@]}" identify && says boot-identify "Name: $part"
  says boot-identify "a board's bootloader"
  refused boot-erase "cannot erase the chip" "${args[@]}" write flash "$work/app.bin"
  ok boot-write "${args[@]}" write flash "$work/app.bin" --no-erase
  ok boot-verify "${args[@]}" verify flash "$work/app.bin"
  if [ "$eeprom" = yes ]; then
    ok boot-eeprom "${args[@]}" write eeprom "$work/eeprom.bin"
    ok boot-eeprom-read "${args[@]}" read eeprom "$work/eeprom.read.bin"
    [ "$rc" = 0 ] && same <(head -c 1024 "$work/eeprom.read.bin") "$work/eeprom.bin" \
      "EEPROM read back through the bootloader"
  else
    refused boot-eeprom "cannot reach the EEPROM" "${args[@]}" write eeprom "$work/eeprom.bin"
  fi
  refused boot-fuses "cannot read fuses" "${args[@]}" fuses read
  # The whole flash: the application written, the bootloader in its section at the end.
  ok boot-read "${args[@]}" read flash "$work/flash.read.bin"
  if [ "$rc" = 0 ]; then
    same <(head -c 3000 "$work/flash.read.bin") "$work/app.bin" "flash read back through the bootloader"
    [ -n "$(tail -c +$((section + 1)) "$work/flash.read.bin" | tr -d '\377' | head -c 1)" ] ||
      fail "the bootloader's own section reads blank"
  fi

  if [ "$board" = mega ]; then
    # Beyond 64 K words the bootloader needs the extended address.
    { head -c 200 /dev/urandom; head -c $((0x20100 - 200)) /dev/zero | tr '\0' '\377'
      head -c 40 /dev/urandom; } >"$work/far.bin"
    ok install-far firmware install --board mega --image "$work/far.bin" &&
      says install-far "Firmware written and verified"
  fi
  ok install firmware install --board "$board" && says install "Firmware written and verified"
  head -c 8192 /dev/urandom >"$work/t85.bin"
  ok fw-identify -p ATtiny85 -m isp --isp-clock auto identify && says fw-identify "Name: ATtiny85"
  ok fw-write -p ATtiny85 -m isp --isp-clock auto write flash "$work/t85.bin"
  ok fw-verify -p ATtiny85 -m isp --isp-clock auto verify flash "$work/t85.bin"
  stop_bench
}

# updi_header BOARD: a tinyAVR 1 on the board's UPDI header (the Mega's USART1, the Uno's
# software line): identify, flash written, verified and read, a fuse; its UPDI pin made GPIO
# and the rescue with the 12 V pulse; without the 12 V supply no rescue.
updi_header() {
  local board=$1
  start_bench --board "$board" --target ATtiny1614
  placed "ATtiny1614 on the UPDI header"
  head -c 5000 /dev/urandom >"$work/flash.bin"
  local args=(-p ATtiny1614)
  ok identify identify && says identify "ATtiny1614"$'\t'"0x1E9422"$'\t'"updi"
  ok write-flash "${args[@]}" write flash "$work/flash.bin"
  ok verify-flash "${args[@]}" verify flash "$work/flash.bin"
  ok read-flash "${args[@]}" read flash "$work/flash.read.bin"
  [ "$rc" = 0 ] && same <(head -c 5000 "$work/flash.read.bin") "$work/flash.bin" "flash read back"
  ok fuses-write "${args[@]}" fuses write BODCFG.ACTIVE=ENABLED SYSCFG0.EESAVE=1
  ok fuses-verify "${args[@]}" fuses verify BODCFG.ACTIVE=ENABLED SYSCFG0.EESAVE=1
  # A chip that answers: the rescue changes nothing.
  ok healthy "${args[@]}" rescue --yes && says healthy "nothing holds it"
  # The UPDI pin made GPIO: refused without --force; once written, plain UPDI no longer
  # reaches the chip.
  refused gpio-refused "Add --force" "${args[@]}" fuses write SYSCFG0.RSTPINCFG=GPIO
  ok gpio "${args[@]}" fuses write SYSCFG0.RSTPINCFG=GPIO --force
  refused unreachable "No answer from the UPDI pin" "${args[@]}" read flash "$work/x.bin"
  # The rescue: the 12 V pulse, RSTPINCFG back to UPDI, the chip checked on plain UPDI.
  ok rescue "${args[@]}" rescue --yes && says rescue "RSTPINCFG = UPDI"
  grep -q "^note: 12 V pulse of" "$work/bench.err" || fail "the bench saw no 12 V pulse"
  ok verify-after "${args[@]}" verify flash "$work/flash.bin"
  # Only the pin field went back: EESAVE in the same byte and BODCFG stay as they were.
  ok fuses-after "${args[@]}" fuses verify SYSCFG0.RSTPINCFG=UPDI SYSCFG0.EESAVE=1 \
    BODCFG.ACTIVE=ENABLED
  stop_bench
  # Without the 12 V supply the pulse reaches nothing, and the rescue says so.
  start_bench --board "$board" --target ATtiny1614 --no-12v
  ok gpio-no-12v "${args[@]}" fuses write SYSCFG0.RSTPINCFG=GPIO --force
  refused rescue-no-12v "did not answer after the 12 V pulse" "${args[@]}" rescue --yes
  stop_bench
}

case $stage in
  boot-uno)
    # A HEX file with nothing in the boot section is no bootloader for the board.
    printf ':0100000000FF\n:00000001FF\n' >"$work/app-only.hex"
    timeout 10 "$avrsim" --partlist "$partlist" --board uno --target none --bootloader "$work/app-only.hex" \
      >/dev/null 2>"$work/no-boot.err" </dev/null
    [ $? = 1 ] && grep -q "holds nothing in the boot section from 0x07E00" "$work/no-boot.err" ||
      fail "a HEX file without a bootloader was not refused: $(cat "$work/no-boot.err")"
    stock uno optiboot/optiboot_atmega328.hex "-c stk500v1 --baud 115200" ATmega328P $((0x7E00)) no
    ;;
  boot-mega)
    stock mega stk500v2/stk500boot_v2_mega2560.hex "-c stk500v2" ATmega2560 $((0x3E000)) yes
    ;;
  uno-isp)
    # The ATmega328P runs at 1 MHz from its defaults (8 MHz RC / 8): the board finds
    # 125 kHz (hardware SPI); a fixed 115.2 kHz takes the bit-banged path.
    start_bench --board uno --target ATmega328P --place isp
    matrix ATmega328P 32768 1024 -m isp -c auto
    matrix ATmega328P 4096 1024 -m isp -c 6
    ok version version && says version "Hardware Version: 03.00"
    # Our firmware takes the clock command: started for the command, stopped at its end.
    ok target-clock -p ATmega328P -m isp --target-clock fuses read && says target-clock "Read LOW: 0x62"
    stop_bench
    # Fuses that slow the chip's clock (8 MHz to the default 1 MHz) take effect as the
    # read-back enters programming: it detects the ISP clock again and reads them.
    start_bench --board uno --target ATmega328P --place isp --fuses E2,D9,FF
    ok slower-clock -p ATmega328P -m isp -c auto fuses write --defaults &&
      says slower-clock "slowed the chip's clock: ISP now runs at"
    stop_bench
    ;;
  uno-hvsp)
    start_bench --board uno --target ATtiny85
    matrix ATtiny85 8192 512 -m hv
    stop_bench
    rescue uno ATtiny85 DF 5F
    ;;
  mega-hvpp)
    start_bench --board mega --target ATmega328P
    matrix ATmega328P 32768 1024 -m hv
    ok version version && says version "Hardware Version: 04.00"
    # The faster line: agreed after the versions exchange, and never asked for with 115200.
    ok fast-line -v -p ATmega328P -m hv fuses read && says fast-line "line at 1000000 baud"
    grep -q "did not answer at a faster rate" "$work/fast-line.err" && fail "no faster line agreed"
    ok slow-line -v --baud 115200 -p ATmega328P -m hv fuses read
    grep -q -- "-> 48 56 C4" "$work/slow-line.err" && fail "--baud 115200 asked for a faster line"
    stop_bench
    rescue mega ATmega328P D9 59
    ;;
  mega-isp)
    # The board's SPI as the datasheet times it: 8 SCK periods a byte at the rate the firmware
    # set. An ATmega2560 at 16 MHz (low fuse FF, as the Mega ships) takes 2 MHz SCK, the
    # fastest index; 16 pages written and verified at 1,000,000 baud.
    head -c 4096 /dev/urandom >"$work/flash.bin"
    start_bench --board mega --target ATmega2560 --place isp --fuses FF,D8,FD --trace \
      --stats "$work/spi.stats"
    ok spi-write -p ATmega2560 -m isp -c auto write flash "$work/flash.bin"
    says spi-write "Verified OK"
    stop_bench
    grep -q '^spi_sck_hz 2000000$' "$work/spi.stats" || fail "the last SPI byte was not at 2 MHz SCK"
    # Bytes of one instruction follow each other 8 SCK periods (4 us) apart and a few cycles
    # more, never sooner. The whole command, from its first byte in to its last byte out,
    # takes about 0.5 s: 32,768 SPI bytes of 4 us, 16 page writes, the erase, the clock
    # detection and 8 KiB on the wire; simavr's own SPI would need 3.3 s for the bytes alone.
    awk '$4 == "SPI" && $9 == 2000000 { t = $2; if (n++ && t - last < 4000) short++; if (n > 1 && t - last < 4600) close_++; last = t }
         END { if (n < 32768) { print "only " n " SPI bytes at 2 MHz traced"; exit 1 }
               if (short) { print short " SPI bytes less than 8 SCK periods apart"; exit 1 }
               if (close_ * 2 < n) { print "only " close_ " of " n " SPI bytes back to back"; exit 1 } }' \
      "$work/bench.err" || fail "SPI bytes are not timed by SCK"
    sim=$(awk '{v[$1]=$2} END {print (v["last_byte_out_ns"]-v["first_byte_in_ns"])/1e9}' "$work/spi.stats")
    awk "BEGIN {exit !($sim < 1.5)}" || fail "4 KiB written and verified took $sim s simulated"
    # At 8 MHz (internal RC, CKDIV8 unprogrammed) each SCK phase must last more than 2 of the
    # chip's cycles (250 ns): 2 MHz is too fast and the chip takes wrong bits; 1 MHz works.
    start_bench --board mega --target ATmega2560 --place isp --fuses E2,D9,FF
    refused spi-too-fast "Enter Program Mode" -p ATmega2560 -m isp -c 1 fuses read
    grep -q "SCK at 2000000 Hz is too fast" "$work/bench.err" || fail "the chip did not note the fast SCK"
    ok spi-auto -p ATmega2560 -m isp -c auto fuses read && says spi-auto "Read LOW: 0xE2"
    stop_bench
    ;;
  isp-rescue)
    # An ATmega328P set to an external crystal that is not fitted (low fuse FF: SUT_CKSEL 0x3F,
    # "Ext. Crystal Osc. 8.0- MHz", CKDIV8 unprogrammed), with nothing on XTAL1 but the ISP
    # cable's clock lead. Plain ISP finds nothing; the rescue feeds the board's 1 MHz clock,
    # reaches the chip over ISP, writes SUT_CKSEL back to the default (22: internal 8 MHz) and
    # leaves the other bits and bytes as they were (low E2, high D9, extended FF); with the
    # clock stopped the chip answers over ISP on its own clock.
    start_bench --board uno --target ATmega328P --place isp --clock 0 --fuses FF,D9,FF
    refused xtal-auto "Autodetect ISP Frequency" -p ATmega328P -m isp -c auto fuses read
    refused xtal-fixed "Enter Program Mode" -p ATmega328P -m isp -c 5 fuses read
    grep -q "XTAL1: the board's clock lead runs" "$work/bench.err" &&
      fail "the board's clock ran before anyone asked for it"
    grep -q "none is attached" "$work/bench.err" || fail "the chip did not say its clock is missing"
    ok xtal-rescue -p ATmega328P rescue --yes
    says xtal-rescue "programmer's clock on XTAL1"
    # On 1 MHz each SCK phase must last more than 2 us: index 5 (125 kHz, shown as 230.40 kHz).
    says xtal-rescue "Set ISP Frequency: 230.40 kHz"
    says xtal-rescue "The chip answers over ISP again"
    grep -q "Put the chip in" "$work/xtal-rescue.err" && fail "the rescue asked for the socket"
    grep -q "XTAL1: the board's clock lead runs at 1000000 Hz" "$work/bench.err" ||
      fail "the chip was not given 1 MHz on XTAL1"
    tail -n 1 <(grep "XTAL1: the board's clock lead" "$work/bench.err") | grep -q stopped ||
      fail "the board's clock did not stop after the rescue"
    ok xtal-after -p ATmega328P -m isp -c auto fuses read
    says xtal-after "Read LOW: 0xE2" && says xtal-after "Read HIGH: 0xD9" &&
      says xtal-after "Read EXTENDEND: 0xFF"
    stop_bench
    # The Mega's clock lead (D10, Timer2) reaches the chip too: --target-clock for one command.
    start_bench --board mega --target ATmega328P --place isp --clock 0 --fuses F7,D9,FF
    ok mega-clock -p ATmega328P -m isp -c auto --target-clock fuses read && says mega-clock "Read LOW: 0xF7"
    refused mega-no-clock "Autodetect ISP Frequency" -p ATmega328P -m isp -c auto fuses read
    stop_bench
    # Lock bits 00 (lock mode 3): the chip answers over ISP, the rescue erases it.
    start_bench --board uno --target ATmega328P --place isp --lock 00
    ok lock-rescue -p ATmega328P rescue --yes && says lock-rescue "erase the chip over ISP"
    says lock-rescue "The chip answers over ISP again"
    ok lock-after -p ATmega328P -m isp -c auto lock read && says lock-after "LOCKBIT: 0xFF"
    stop_bench
    ;;
  mega-hvpp40)
    # 40-pin parts sit in the 40-pin socket only, never in the 28-pin one. The small chips'
    # runs keep the line at 115200 baud: each command then starts at once, without the wait
    # for the board to fall back from a faster rate agreed by the command before.
    start_bench --board mega --target ATmega1284P
    placed "ATmega1284P in the 40-pin HVPP socket"
    matrix ATmega1284P 131072 4096 -m hv
    stop_bench
    start_bench --board mega --target ATmega16
    placed "ATmega16 in the 40-pin HVPP socket"
    matrix ATmega16 16384 512 -m hv --baud 115200
    stop_bench
    # The Uno has no 40-pin socket: the chip is on its ISP header; a part with no DIP package
    # is on the ISP header of the Mega too.
    start_bench --board uno --target ATmega1284P
    placed "ATmega1284P in the ISP header"
    stop_bench
    start_bench --board mega --target ATmega328PB
    placed "ATmega328PB in the ISP header"
    stop_bench
    timeout 10 "$avrsim" --partlist "$partlist" --board uno --target ATmega16 --place socket \
      >/dev/null 2>"$work/no-socket.err" </dev/null
    [ $? = 2 ] && grep -q "has no socket for the ATmega16's package" "$work/no-socket.err" ||
      fail "a socket the Uno does not have was not refused: $(cat "$work/no-socket.err")"
    # The 40-pin parts have no RSTDISBL: SPIEN unprogrammed keeps ISP out.
    rescue mega ATmega1284P 99 B9
    ;;
  mega-hvpp20)
    start_bench --board mega --target ATtiny2313
    placed "ATtiny2313 in the 20-pin HVPP socket for the ATtiny2313/4313"
    matrix ATtiny2313 2048 128 -m hv --baud 115200
    stop_bench
    rescue mega ATtiny2313 DF DE
    start_bench --board mega --target ATtiny861
    placed "ATtiny861 in the 20-pin HVPP socket for the ATtiny26/261/461/861"
    matrix ATtiny861 8192 512 -m hv --baud 115200
    stop_bench
    # An ATmega8 with RSTDISBL programmed: the XTAL1-pulse entry cannot reach it, the entry
    # with VCC and 12 V together does; with the defaults written back the normal entry works.
    local_chip=$work/m8.chip
    start_bench --board mega --target ATmega8 --chip "$local_chip" --fuses E1,59
    placed "ATmega8 in the 28-pin HVPP socket"
    ok m8-read -p ATmega8 -m hv --baud 115200 fuses read && says m8-read "Read HIGH: 0x59"
    ok m8-write -p ATmega8 -m hv --baud 115200 fuses write --defaults
    stop_bench
    grep -q "RSTDISBL is programmed" "$work/bench.err" || fail "the ATmega8 did not refuse the XTAL1-pulse entry"
    start_bench --board mega --target ATmega8 --chip "$local_chip"
    ok m8-defaults -p ATmega8 -m hv --baud 115200 fuses verify --defaults
    stop_bench
    grep -q "RSTDISBL is programmed" "$work/bench.err" && fail "the ATmega8 kept RSTDISBL programmed"
    ;;
  mega-updi) updi_header mega ;;
  uno-updi) updi_header uno ;;
  faults)
    # Nothing on the ISP header: no chip answers, and the board answers the next request.
    start_bench --board uno --target none
    refused none-isp "Enter Program Mode" -p ATmega328P -m isp -c 3 fuses read
    ok none-version version && says none-version "Hardware Version: 03.00"
    # The Uno has no HVPP socket: mode 1 is not in its build.
    refused uno-hvpp "Unknown Command" -p ATmega328P -m hv fuses read
    ok uno-hvpp-version version
    stop_bench
    # A chip at 1 MHz is too slow for 2 MHz SCK; the automatic clock finds one that works.
    start_bench --board uno --target ATmega328P --place isp
    refused too-fast "Enter Program Mode" -p ATmega328P -m isp -c 1 fuses read
    ok slow-auto -p ATmega328P -m isp -c auto identify
    stop_bench
    # At 128 kHz (CKSEL internal 128 kHz, CKDIV8 unprogrammed) even 57.6 kHz is too fast.
    start_bench --board uno --target ATmega328P --place isp --fuses E3,D9,FF
    refused too-slow-chip "Autodetect ISP Frequency" -p ATmega328P -m isp -c auto fuses read
    stop_bench
    # A USB serial chip that carries 500000 baud at most: the check at 1000000 fails, the
    # firmware returns to 115200 by itself after a quiet second, and 500000 is agreed; with
    # nothing faster than 115200 the line stays there and says so.
    start_bench --board uno --target none --line-limit 500000
    ok limit-500k -v version && says limit-500k "line at 500000 baud"
    grep -q "did not answer at a faster rate" "$work/limit-500k.err" && fail "500000 was not agreed"
    stop_bench
    start_bench --board uno --target none --line-limit 115200
    ok limit-115k version && says limit-115k "did not answer at a faster rate"
    stop_bench
    # No 12 V: the chip in the socket never enters programming mode.
    start_bench --board uno --target ATtiny85 --no-12v
    refused no-12v "Enter Program Mode" -p ATtiny85 -m hv fuses read
    ok no-12v-version version
    stop_bench
    ;;
  *)
    echo "unknown stage $stage" >&2
    exit 2
    ;;
esac

if [ "$failures" -gt 0 ]; then
  echo "$stage: $failures failures" >&2
  exit 1
fi
echo "$stage: passed"
