#!/usr/bin/env bash
# The whole ATmega2560 by ISP on the simulated bench (brindlequartz-avrsim), run by make bench
# as bench_avrsim_isp. A Mega 2560 programs a second ATmega2560 on its ISP header, fused as
# the Mega boards ship (low FF: the 16 MHz crystal), so the board finds the fastest clock
# index, 2 MHz SCK: the fastest the chip takes at 16 MHz, where each SCK phase must last
# more than 3 of its clock cycles (187.5 ns). 256 KiB of random bytes are written and
# verified (`write flash`: erase, write, verify), kept to the wall clock (--real-time) so
# the host's own time between packets counts as with a real board. Prints result lines for
# docs/PERFORMANCE.md:
#  - at 115200 baud (--baud 115200; the board runs 117,647): simulated time from the first
#    byte in to the last byte out against the wire time of every byte of the exchange;
#  - on the faster line both ends agree on (1,000,000 baud), against the 115200 figure of the
#    same run (target: under a fifth);
#  - the same against the physical time: the wire time at 1,000,000 baud, plus the chip's
#    page programming (1024 pages x tWD_FLASH 4.5 ms), plus the ISP bytes the job needs at
#    the SCK used (4 SPI bytes a flash byte written, 4 a flash byte read back, 8 SCK periods
#    each). The three overlap on the bench (the firmware reads and programs while the line
#    carries the next packet), so a ratio under 1 is possible.
set -euo pipefail
avrsim=@BQ_AVRSIM@
cli=@BQ_CLI@
partlist=@BQ_PARTLIST@
work=$(mktemp -d)
pid=
trap '[ -n "$pid" ] && kill -TERM $pid 2>/dev/null; rm -rf "$work"' EXIT
flash_bytes=262144
pages=1024

head -c $flash_bytes /dev/urandom >"$work/flash.bin"

# measure NAME [CLI_ARGS...]: one write-and-verify; sets sim, wire117, wire1m, sck.
measure() {
  local name=$1
  shift
  "$avrsim" --board mega --target ATmega2560 --place isp --fuses FF,D8,FD --real-time \
    --partlist "$partlist" --stats "$work/$name.stats" >"$work/$name.out" 2>"$work/$name.err" &
  pid=$!
  for _ in $(seq 100); do [ -s "$work/$name.out" ] && break; sleep 0.05; done
  local port
  port=$(head -n 1 "$work/$name.out")
  if ! "$cli" --partlist "$partlist" --no-progress -P "$port" -p ATmega2560 -m isp -c auto "$@" \
    write flash "$work/flash.bin" 2>"$work/$name.cli"; then
    echo "$name: the write failed" >&2
    tail -n 5 "$work/$name.cli" >&2
    exit 1
  fi
  kill -TERM $pid
  wait $pid || true
  pid=
  if grep -q '^violation:' "$work/$name.err"; then
    echo "$name: the chip saw violations" >&2
    grep '^violation:' "$work/$name.err" | head -n 5 >&2
    exit 1
  fi
  read -r sim wire117 wire1m sck < <(awk '{v[$1]=$2} END {printf "%.3f %.3f %.3f %d\n",
      (v["last_byte_out_ns"]-v["first_byte_in_ns"])/1e9, (v["bytes_in"]+v["bytes_out"])*10/117647,
      (v["bytes_in"]+v["bytes_out"])*10/1e6, v["spi_sck_hz"]}' "$work/$name.stats")
}

measure slow --baud 115200
printf 'avrsim_isp_atmega2560_write_verify_256k: measured %.2f s simulated, reference %.2f s on the wire at 115200 baud, ratio %.3f\n' \
  "$sim" "$wire117" "$(awk "BEGIN {print $sim / $wire117}")"
slow=$sim
measure fast
isp=$(awk "BEGIN {print 2 * 4 * $flash_bytes * 8 / $sck}")
programming=$(awk "BEGIN {print $pages * 0.0045}")
printf 'avrsim_isp_atmega2560_write_verify_256k_1mbaud: measured %.2f s simulated, reference %.2f s at 115200 baud, ratio %.3f (target < 0.2)\n' \
  "$sim" "$slow" "$(awk "BEGIN {print $sim / $slow}")"
printf 'avrsim_isp_atmega2560_write_verify_256k_1mbaud_physical: measured %.2f s simulated, reference %.2f s (%.2f s on the wire at 1000000 baud + %.2f s page programming + %.2f s ISP bytes at %.0f kHz SCK), ratio %.3f\n' \
  "$sim" "$(awk "BEGIN {print $wire1m + $programming + $isp}")" "$wire1m" "$programming" "$isp" \
  "$(awk "BEGIN {print $sck / 1000}")" "$(awk "BEGIN {print $sim / ($wire1m + $programming + $isp)}")"
echo "ISP: ATmega2560 at 16 MHz, SCK $sck Hz; the chip side alone (page programming + ISP bytes) needs $(awk "BEGIN {printf \"%.2f\", $programming + $isp}") s, $(awk "BEGIN {printf \"%.3f\", ($programming + $isp) / $slow}") of the 115200 figure"
