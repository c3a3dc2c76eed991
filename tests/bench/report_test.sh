#!/usr/bin/env bash
# The benchmark's report on a small set of results whose figures are known:
# the pairing of each relayed export with the floor export and the direct
# export of its own repetition, the medians, the verdict, the summary and
# the appendix of the earlier relay. Calibration exports (an encoder alone)
# are no scenario. Usage: report_test.sh
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
report="$(bash "$here/../../bench/report.sh" "$here/fixture.tsv" "Produced by a fixture.")" ||
    { echo "FAILED: the report did not run"; exit 1; }
failures=0
# has WHAT LINE: the report holds LINE, whole.
has() {
    if ! grep -qxF -- "$2" <<<"$report"; then
        failures=$((failures + 1))
        printf 'FAILED: %s\n  no line: %s\n' "$1" "$2"
    fi
}
has "the header lines come first" "Produced by a fixture."
# Balanced: relay / floor 7.0 / 6.5 and 7.7 / 7.0, median 1.088; encoder-bound 1.000.
has "one scenario of two missed" \
    "The relay's time against the floor's (the least a handoff between the two threads can cost) is within 1.05 in 1 of 2 scenarios with 8 or more buffers. Missed:"
has "the missed one is named with its ratio" "- Under Wine, synthetic encoder, 640x360 balanced, 8 buffers: 1.088"
# relay / direct 7.0 / 10 and 7.7 / 12 (each against its own repetition's direct export).
has "the summary row" "| Under Wine, synthetic encoder | 640x360 | | 0.67 (1.09) | 0.60 (1.00) |"
has "the times row marks the miss" "| 640x360 | balanced | 8 | 11.000 | 7.350 | 6.750 | 0.671 | 1.088 **missed** |"
# Ideal: max(editor 4, encoder 6) = 6 and max(5, 7) = 7; relay 7.0 / 6 and 7.7 / 7.
has "against the ideal, with the share answered from the ring" \
    "| 640x360 | balanced | 8 | 4.500 / 6.500 | 1.133 | 1.042 | 5.0 | 50.0 | 90.0% |"
# Before: against the floor 8.0 / 6.5 and 8.4 / 7.0, against the ideal 8.0 / 6 and 8.4 / 7.
has "the appendix sets the earlier relay beside this one" \
    "| 640x360 | balanced | 8 | 1.215 | 1.088 | 1.267 | 1.133 | 5.0 | 5.0 | 90.0% | 90.0% |"
# Isolated: against the relay 7.7 / 7.0 and 8.47 / 7.7, median 1.100; against the ideal 7.7 / 6 and 8.47 / 7.
has "the isolated module beside the relay, its miss marked" \
    "| 640x360 | balanced | 8 | 8.085 | 7.350 | 1.100 **missed** | 1.247 | 1.133 | 90.0% | 90.0% |"
if grep -q "alone" <<<"$report"; then
    failures=$((failures + 1))
    echo "FAILED: a calibration export became a scenario"
fi
[ "$failures" -eq 0 ] && echo "report: all facts hold"
[ "$failures" -eq 0 ]
