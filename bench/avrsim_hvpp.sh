#!/usr/bin/env bash
# The firmware's speed on the simulated bench (brindlequartz-avrsim), run by make bench as
# bench_avrsim_hvpp. Prints result lines for docs/PERFORMANCE.md:
#  - 32 KiB written and verified by HVPP into an ATmega328P on the Mega: simulated time from
#    the first byte in to the last byte out, against the wire time of every byte of the
#    exchange at the board's 117,647 baud (10 bits a byte), with --baud 115200;
#  - the same on the faster line both ends agree on (1,000,000 baud), against the wire time at
#    that rate plus the chip's page write time from the datasheet (tWLRH 4.5 ms a page, 256
#    pages of 128 bytes);
#  - the same by ISP on the Uno, with the clock the board found for the chip (its default
#    fuses run it at 1 MHz: 125 kHz SCK, 64 us an SPI byte, so the chip's side, not the line,
#    sets this figure); the whole ATmega2560 by ISP is bench_avrsim_isp's;
#  - how fast the simulation runs against the wall clock during the HVPP run.
set -euo pipefail
avrsim=@BQ_AVRSIM@
cli=@BQ_CLI@
partlist=@BQ_PARTLIST@
work=$(mktemp -d)
pid=
trap '[ -n "$pid" ] && kill -TERM $pid 2>/dev/null; rm -rf "$work"' EXIT

head -c 32768 /dev/urandom >"$work/flash.bin"

# measure NAME BOARD MODE [BENCH_ARGS...]: one write-and-verify; sets sim, wire, wall.
measure() {
  local name=$1 board=$2 mode=$3
  shift 3
  "$avrsim" "$@" --board "$board" --target ATmega328P --partlist "$partlist" --stats "$work/$name.stats" \
    >"$work/$name.out" 2>"$work/$name.err" &
  pid=$!
  for _ in $(seq 100); do [ -s "$work/$name.out" ] && break; sleep 0.05; done
  local port
  port=$(head -n 1 "$work/$name.out")
  local start end
  start=$(date +%s.%N)
  # shellcheck disable=SC2086  # cli_args: words on purpose
  "$cli" --partlist "$partlist" --no-progress -P "$port" -p ATmega328P -m "$mode" -c auto $cli_args \
    write flash "$work/flash.bin" 2>"$work/$name.cli"
  end=$(date +%s.%N)
  kill -TERM $pid
  wait $pid || true
  pid=
  if grep -q '^violation:' "$work/$name.err"; then
    echo "$name: the chip saw violations" >&2
    grep '^violation:' "$work/$name.err" | head -n 5 >&2
    exit 1
  fi
  read -r sim wire fast < <(awk '{v[$1]=$2} END {printf "%.3f %.3f %.3f\n",
      (v["last_byte_out_ns"]-v["first_byte_in_ns"])/1e9, (v["bytes_in"]+v["bytes_out"])*10/117647,
      (v["bytes_in"]+v["bytes_out"])*10/1e6}' "$work/$name.stats")
  wall=$(awk "BEGIN {print $end - $start}")
  clock=$(grep -o 'Set ISP Frequency: [^ ]* [kM]Hz' "$work/$name.cli" | tail -n 1 | cut -d: -f2 | sed 's/^ //' || true)
}

# Kept to the wall clock, so the host's own time between packets counts as it would with a
# real board (a free-running bench would stretch it by its speed-up).
cli_args="--baud 115200"
measure hvpp mega hv --real-time
printf 'avrsim_hvpp_write_verify_32k: measured %.2f s simulated, reference %.2f s on the wire, ratio %.3f (target <= 1.15)\n' \
  "$sim" "$wire" "$(awk "BEGIN {print $sim / $wire}")"
slow_hvpp=$sim
cli_args=
measure hvpp-fast mega hv --real-time
pages=$(awk 'BEGIN {print 256 * 0.0045}')
printf 'avrsim_hvpp_write_verify_32k_1mbaud: measured %.2f s simulated, reference %.2f s (%.2f s on the wire at 1000000 baud + %.2f s page writes), ratio %.3f (target <= 1.25)\n' \
  "$sim" "$(awk "BEGIN {print $fast + $pages}")" "$fast" "$pages" "$(awk "BEGIN {print $sim / ($fast + $pages)}")"
printf 'avrsim_hvpp_1mbaud_against_115200: measured %.2f s simulated, reference %.2f s at 115200 baud, ratio %.3f\n' \
  "$sim" "$slow_hvpp" "$(awk "BEGIN {print $sim / $slow_hvpp}")"
# Free-running: how much faster than a real board the simulation can go.
measure hvpp-free mega hv
printf 'avrsim_speed_hvpp: measured %.2f s simulated in %.2f s, reference real time, ratio %.3f (target >= 1.0)\n' \
  "$sim" "$wall" "$(awk "BEGIN {print $sim / $wall}")"
cli_args="--baud 115200"
measure isp uno isp --real-time
printf 'avrsim_isp_write_verify_32k_%s: measured %.2f s simulated, reference %.2f s on the wire, ratio %.3f\n' \
  "$(echo "${clock:-unknown}" | tr -d ' ' | tr . _)" "$sim" "$wire" "$(awk "BEGIN {print $sim / $wire}")"
slow_isp=$sim
cli_args=
measure isp-fast uno isp --real-time
printf 'avrsim_isp_write_verify_32k_1mbaud: measured %.2f s simulated, reference %.2f s at 115200 baud, ratio %.3f\n' \
  "$sim" "$slow_isp" "$(awk "BEGIN {print $sim / $slow_isp}")"
echo "ISP: the chip at 1 MHz (default fuses), clock ${clock:-unknown} chosen (index 5: the Uno makes 125 kHz SCK, 64 us an SPI byte)"
