#!/usr/bin/env bash
# The board runner as a user meets it: the default run, its outputs read back by
# the real lspci, and a clear message with exit status 2 for every kind of bad
# input. Usage: runner-cli.sh PCIPLAT_SIM SOURCE_DIR
set -uo pipefail
sim=$1
source_dir=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
passes=0

pass() { passes=$((passes + 1)); }
fail() { echo "FAIL $1"; failures=$((failures + 1)); }

# expect_error NAME EXPECTED_MESSAGE_PART ARGS...: exit status 2, message on stderr.
expect_error() {
  local name=$1 expected=$2
  shift 2
  "$sim" "$@" >"$work/out" 2>"$work/err"
  local status=$?
  if [[ $status -ne 2 ]]; then
    fail "$name: exit status $status, expected 2"
  elif ! grep -qF -- "$expected" "$work/err"; then
    fail "$name: message '$(cat "$work/err")' lacks '$expected'"
  elif [[ $(wc -l <"$work/err") -ne 1 ]] || ! grep -q "^pciplat-sim: error: " "$work/err"; then
    fail "$name: not one line 'pciplat-sim: error: ...': $(cat "$work/err")"
  elif [[ -s "$work/out" ]]; then
    fail "$name: printed a report despite the error"
  else
    pass
  fi
}

# --- the default board ----------------------------------------------------------
if "$sim" --numeric --dump-before "$work/before.txt" --dump-after "$work/after.txt" >"$work/report.txt"; then
  grep -q "^Hierarchy" "$work/report.txt" && grep -q "Option ROMs served" "$work/report.txt" && pass ||
    fail "default report lacks its sections"
else
  fail "default board run exited $?"
fi
# The driver's own reasons, as the default board's description sets it up:
# 02:00.0 runs without the slot clock, the host bridge is 8086:4001 rev 0x11 and
# 06:00.0 links at 5 GT/s (the host bridge's entry is its own, at 00:00.0), four
# functions support no more than 256 bytes.
for reason in "00:1c.1 .*left alone: LnkSta bit 12 (Slot Clock Configuration) clear at 02:00.0" \
  "00:00.0 .*host bridge 8086:4001 rev 0x11.*L1 withheld" \
  "04:01.0 .*0x40 ORed into both ends' LnkCtl (bit 6 Common Clock Configuration only: the host-bridge L1 quirk" \
  "00:1c.0 .*retrain: trained after 3 polls" "set by 00:1c.0, 01:00.0, 00:1c.1, 05:00.0" \
  "01:00.0 .*set of 2 images attached" "0xfec90000  ID 10  why: ID 10 programmed"; do
  grep -q -- "$reason" "$work/report.txt" && pass || fail "default report lacks the reason '$reason'"
done
"$sim" --numeric --disable-aspm >"$work/disabled.txt"
grep -q '01:00.0 .*left alone: "DisableASPM" present' "$work/disabled.txt" && pass ||
  fail "--disable-aspm report lacks its reason"
if "$sim" --json >"$work/report.json" && python3 -m json.tool "$work/report.json" >/dev/null; then
  pass
else
  fail "--json output is not one JSON document"
fi
# A file name that is not UTF-8 ends up in the report's board name.
latin1="$work/"$'\xff'".txt"
"$sim" --dump-before "$latin1" >/dev/null 2>&1
"$sim" --json --lspci "$latin1" 2>/dev/null | python3 -m json.tool >/dev/null && pass ||
  fail "--json with a capture whose name is not UTF-8"
for board in "$source_dir"/boards/*.json; do
  "$sim" --numeric --board "$board" >/dev/null && pass || fail "board $(basename "$board") exited $?"
done

# --- the bus driver's sequences, as decision lines -------------------------------
# OVMF's makes two bus-allocation passes: every function is prepared before its
# child bus twice, and the report says which sequence ran.
"$sim" --decision-lines >"$work/one-pass.txt" && "$sim" --decision-lines --sequence ovmf >"$work/ovmf.txt"
prepared() { grep -c "^PCIPLAT platform-call prep-controller .* before-child-bus entry" "$1"; }
[[ $(prepared "$work/ovmf.txt") -eq $((2 * $(prepared "$work/one-pass.txt"))) && $(prepared "$work/one-pass.txt") -gt 0 ]] &&
  pass || fail "--sequence ovmf does not prepare every function twice"
grep -qv "^PCIPLAT " "$work/ovmf.txt" && fail "--decision-lines printed other lines" || pass
"$sim" --numeric --sequence=ovmf >"$work/ovmf-report.txt" 2>/dev/null
grep -q "^Bus driver sequence: ovmf" "$work/ovmf-report.txt" && pass || fail "report lacks the sequence"

# --- the options: both value forms, the outputs beyond the report ---------------
"$sim" --numeric --board="$source_dir/boards/bare.json" >/dev/null && pass || fail "--board=FILE exited $?"
"$sim" --version | grep -q "^pciplat-sim .*report schema 3" && pass || fail "--version"
"$sim" --numeric 2>"$work/stderr" >/dev/null
[[ $(cat "$work/stderr") == "pciplat-sim: 3 warnings (see the report's Warnings section)" ]] && pass ||
  fail "warning count on stderr: '$(cat "$work/stderr")'"
# Outputs without the Warnings section say how to see them.
for output in --diff --decision-lines; do
  "$sim" "$output" 2>"$work/stderr" >/dev/null
  grep -qx "pciplat-sim: 3 warnings (run without $output to see them)" "$work/stderr" && pass ||
    fail "$output: warning note '$(cat "$work/stderr")'"
done
"$sim" --json --diff 2>/dev/null | python3 -c 'import json, sys; assert json.load(sys.stdin)["register_changes"]' &&
  pass || fail "--json --diff lacks register_changes"
python3 - "$work/report.json" <<'PY' && pass || fail "--json lacks schema_version 3 or the 3 warnings"
import json, sys
report = json.load(open(sys.argv[1]))
assert report["schema_version"] == 3 and len(report["warnings"]) == 3
PY
"$sim" --diff >"$work/diff.txt" 2>/dev/null
grep -qx "00:1c.0 CAP_EXP+10.b: 00 -> 42 (LnkCtl: ASPM L1, CommClk)" "$work/diff.txt" && pass || fail "--diff: $(head -3 "$work/diff.txt")"
if "$sim" --setpci="$work/replay.sh" >/dev/null 2>&1 && sh -n "$work/replay.sh" &&
  grep -q "REVIEW BEFORE USE" "$work/replay.sh" && grep -q "^setpci -s 0000:00:1c.0 CAP_EXP+10.b=42:43$" "$work/replay.sh"; then
  pass
else
  fail "--setpci script"
fi
# A board whose chipset decodes no configuration window: the driver's window
# writes reach nothing, so neither warnings nor the script name them.
"$sim" --numeric --board "$source_dir/boards/qemu-q35.json" --lspci "$work/before.txt" \
  --setpci="$work/q35.sh" >"$work/q35.txt" 2>/dev/null
grep -q "chipset window write" "$work/q35.txt" && fail "window warnings where no window decodes" || pass
if grep -Eq "^setpci .* (56\.w|174\.b)=" "$work/q35.sh"; then
  fail "window writes in the script where no window decodes"
else
  grep -q "^setpci -s 0000:00:1c.0 CAP_EXP+10.b=42:43$" "$work/q35.sh" && pass || fail "q35 setpci script lacks the link"
fi
"$sim" --numeric --trace >"$work/trace.txt" 2>/dev/null
grep -q "^== PlatformNotify(SetResources, ChipsetEntry)" "$work/trace.txt" &&
  grep -q "^   config-read   00:03.0 .. 00:1b.7  VENDOR_ID.l = 0xffffffff  (200 probes of absent functions)" "$work/trace.txt" &&
  pass || fail "--trace lacks driver-call markers or collapsed probes"
# Names for IDs the PCI ID database lacks: numbers only, and nothing left behind
# (under LeakSanitizer the exit status says so).
{ echo "00:00.0 Host bridge: unknown"; echo "00: ad 0b ef be 00 00 00 00 00 00 00 06 00 00 00 00";
  for row in 10 20 30; do echo "$row: 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"; done; } >"$work/unknown.txt"
if "$sim" --lspci "$work/unknown.txt" >"$work/unknown-report.txt"; then
  grep -q "00:00.0  0bad:beef" "$work/unknown-report.txt" && pass || fail "unknown IDs are not reported as numbers"
else
  fail "a board with IDs missing from the database exited $?"
fi

# --- the real lspci decodes what the driver did ----------------------------------
if command -v lspci >/dev/null; then
  decoded=$(lspci -vv -F "$work/after.txt" 2>&1)
  section() { awk -v dev="$1" '$1 == dev {on = 1; next} /^[0-9a-f][0-9a-f]:/ {on = 0} on' <<<"$decoded"; }
  check() { # check NAME DEVICE PATTERN
    if section "$2" | grep -qE -- "$3"; then pass; else fail "$1: lspci shows no '$3' for $2"; fi
  }
  check "L1 and common clock on a qualifying link" 01:00.0 "LnkCtl:.*ASPM L1 Enabled.*CommClk\+"
  check "root port end of that link" 00:1c.0 "LnkCtl:.*ASPM L1 Enabled.*CommClk\+"
  check "own reference clock left alone" 02:00.0 "LnkCtl:.*ASPM Disabled.*CommClk-"
  check "fast link at an early host bridge revision: no L1" 06:00.0 "LnkCtl:.*ASPM Disabled.*CommClk\+"
  for device in 00:1c.0 01:00.0 02:00.0 03:00.0 04:01.0 05:00.0 06:00.0; do
    section "$device" | grep -q "MaxPayload 256 bytes, MaxReadReq" && pass || fail "max payload of $device is not 256 bytes"
  done
  before=$(lspci -vv -F "$work/before.txt" 2>&1)
  grep -q "CommClk+" <<<"$before" && fail "the board already had common clock before the run" || pass
  # A capture as people post it (-vvxxx: decoded lines between header and hex)
  # runs, and the driver's result on it decodes back.
  lspci -vvxxx -F "$work/before.txt" >"$work/vv.txt" 2>/dev/null
  if "$sim" --numeric --lspci "$work/vv.txt" --dump-after "$work/vv-after.txt" >/dev/null 2>&1; then
    lspci -vv -F "$work/vv-after.txt" 2>/dev/null | awk '$1 == "01:00.0" {on = 1; next} /^[0-9a-f][0-9a-f]:/ {on = 0} on' |
      grep -qE "LnkCtl:.*ASPM L1 Enabled.*CommClk\+" && pass || fail "-vvxxx capture: no L1 on 01:00.0 after the run"
  else
    fail "-vvxxx capture exited $?"
  fi
  # Two domains: segment 0 runs, the other is a warning.
  { sed 's/^\([0-9a-f][0-9a-f]:[0-9a-f][0-9a-f]\.[0-7] \)/0000:\1/' "$work/before.txt"
    sed -n '1,257p' "$work/before.txt" | sed '1s/^/0001:/'; } >"$work/domains.txt"
  "$sim" --numeric --lspci "$work/domains.txt" >"$work/domains-report.txt" 2>/dev/null &&
    grep -q "domain 0001: 1 function not walked" "$work/domains-report.txt" && pass || fail "two-domain capture"
  # A real machine's dump runs too.
  if lspci -xxxx >"$work/machine.txt" 2>/dev/null && [[ -s "$work/machine.txt" ]]; then
    "$sim" --numeric --lspci "$work/machine.txt" >/dev/null && pass || fail "this machine's dump exited $?"
  fi
else
  echo "lspci not installed: skipping the decode checks"
fi

# --- setpci's own parser runs the script, in demo mode, on the captured spaces --
# Every write selects exactly one function; nothing is written (-D).
if command -v setpci >/dev/null; then
  mkdir "$work/bin"
  printf '#!/bin/sh\ncase "$*" in *=*) verbose=-v ;; esac\nexec %s $verbose -D -A dump -O "dump.name=$DEMO_CAPTURE" "$@"\n' \
    "$(command -v setpci)" >"$work/bin/setpci"
  chmod +x "$work/bin/setpci"
  replay() { # replay NAME SCRIPT CAPTURE
    PATH="$work/bin:$PATH" DEMO_CAPTURE=$3 sh "$2" >"$work/demo.out" 2>"$work/demo.err"
    local status=$? writes
    writes=$(grep -c "^setpci " "$2")
    if [[ $status -ne 0 || -s "$work/demo.err" ]]; then
      fail "$1: setpci -D exited $status: $(head -3 "$work/demo.err")"
    elif [[ $(grep -c -- "->(" "$work/demo.out") -ne $writes || $writes -eq 0 ]] || grep -q "^0001:" "$work/demo.out"; then
      fail "$1: $writes writes, but setpci wrote: $(head -3 "$work/demo.out")"
    else
      pass
    fi
  }
  replay "default board's script" "$work/replay.sh" "$work/before.txt"
  # The same bus:dev.fn in a second domain: only domain 0000's are written.
  for domain in 0000 0001; do
    sed "s/^\([0-9a-f][0-9a-f]:[0-9a-f][0-9a-f]\.[0-7] \)/$domain:\1/" "$work/before.txt"
  done >"$work/two-domains.txt"
  "$sim" --lspci "$work/two-domains.txt" --setpci "$work/two-domains.sh" >/dev/null 2>&1
  replay "two-domain capture's script" "$work/two-domains.sh" "$work/two-domains.txt"
else
  echo "setpci not installed: skipping the replay script's parse check"
fi

# --- README examples: a block that drifted from the runner's output is caught ----
sed '0,/^  0xfec00000  ID 8 /s//  0xfec00000  ID 7 /' "$source_dir/README.md" >"$work/README.md"
python3 "$source_dir/scripts/readme-examples.py" --runner "$sim" --readme "$work/README.md" >"$work/readme.diff" 2>/dev/null
[[ $? -eq 1 ]] && grep -q "^+  0xfec00000  ID 8 " "$work/readme.diff" && pass || fail "a drifted README example passed"

# --- bad input ---------------------------------------------------------------------
expect_error "missing board file" "$work/none.json: cannot open" --board "$work/none.json"
printf '{"functions": [\n  {"location": "00:00.0",\n' >"$work/truncated.json"
expect_error "malformed JSON" "truncated.json: parse error at line 3" --board "$work/truncated.json"
printf '{"functions": [{"location": "00:00.0", "vendor": 1, "device": 1, "bridge": {"secondary": 300}}]}' >"$work/range.json"
expect_error "number out of range" "range.json: functions[0].bridge.secondary: 300 is out of range" --board "$work/range.json"
printf '{"functions": [{"location": "00:00.0", "vendor": 1, "device": 1}, {"location": "00:00.0", "vendor": 1, "device": 2}]}' >"$work/twice.json"
expect_error "duplicate function in a board" "functions[1].location: 00:00.0 is already described" --board "$work/twice.json"
{ echo "00:00.0 Host bridge"; echo "00: 86 80 c0 29 06 00 90 2g 02 00 00 06 00 00 00 00"; } >"$work/nothex.txt"
expect_error "dump line that is not hex" "nothex.txt:2: '2g' is not a hex byte" --lspci "$work/nothex.txt"
{ sed -n '1,5p' "$work/before.txt"; echo; sed -n '1,5p' "$work/before.txt"; } >"$work/dup.txt"
expect_error "duplicate function in a dump" "dup.txt:7: function 00:00.0 appears twice" --lspci "$work/dup.txt"
{ echo "1ff:00.0 bridge"; sed -n '2,5p' "$work/before.txt"; } >"$work/bus.txt"
expect_error "bus number out of range" "bus.txt:1: bus number 1ff is out of range" --lspci "$work/bus.txt"
expect_error "missing dump file" "cannot open" --lspci "$work/none.txt"
expect_error "dump that is a folder" "is a folder" --lspci "$work"
expect_error "unknown option" "unknown option '--frobnicate'" --frobnicate
[[ $(cat "$work/err") == "pciplat-sim: error: unknown option '--frobnicate' (try 'pciplat-sim --help')" ]] &&
  pass || fail "usage error: the message first, then a pointer to --help, on one line"
expect_error "unknown bus driver sequence" "option --sequence takes one-pass or ovmf, not 'twice'" --sequence=twice
expect_error "empty value" "option --board needs a file name" --board=
expect_error "value on a flag" "option --json takes no value" --json=yes
printf '00:00.0 Host bridge\n00: 86 80 \033[2J 29\n' >"$work/escape.txt"
expect_error "control characters in bad input" "escape.txt:2: '\\x1b[2J' is not a hex byte" --lspci "$work/escape.txt"
expect_error "option without its file" "option --board needs a file name" --board
for output in --dump-before --dump-after --setpci; do
  expect_error "unwritable $output" "/nonexistent-dir/out: cannot write: No such file or directory" \
    "$output" /nonexistent-dir/out
done
expect_error "missing file's reason" "none.txt: cannot open: No such file or directory" --lspci "$work/none.txt"
printf '{"functions": [{"location": "00:00.0", "vendor": -1, "device": 1}]}' >"$work/negative.json"
expect_error "negative number" "functions[0].vendor: expected a number from 0 to 0xffff, got -1" --board "$work/negative.json"
# Outputs that cannot share standard output.
for pair in "--decision-lines --json" "--decision-lines --diff" "--trace --decision-lines"; do
  read -r first second <<<"$pair"
  expect_error "$pair" "cannot be used together" $pair
  grep -qF -- "$first" "$work/err" && grep -qF -- "$second" "$work/err" || fail "$pair: not both named: $(cat "$work/err")"
done
expect_error "value given twice" "option --board given twice" --board "$work/range.json" --board "$work/twice.json"

echo "$passes passed, $failures failed"
[[ $failures -eq 0 ]]
