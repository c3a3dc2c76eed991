#!/usr/bin/env bash
# The benchmark's report: reads the results that tools/bench.sh writes (one
# line per export) and prints Markdown, the verdict first.
#
#   bench/report.sh RESULTS.tsv [HEADER_LINE...]
#
# The header lines (how the run was made, on which machine) come first as
# given. Then, for each platform and encoder:
#   - relay / direct and relay / floor per scenario, 8 buffers (the summary);
#   - the times of every scenario and buffer count;
#   - how close each handoff came to the ideal, and how many frame requests
#     the ring answered;
#   - natively, how often each side waited for the other;
# and last, where the run measured an earlier relay (--before), the
# appendix that sets it beside this one.
#
# Each relayed and floor export is set against the direct export of the same
# scenario and repetition, made just before it. The ideal is the larger of
# the editor's time (in the direct export, its time in the service calls)
# and the encoder's: the rest of the direct export for encoders that work on
# the editor's thread; ffmpeg's own time for the codec, which works beside
# it in a process of its own (measured before the series). Figures are the
# medians over the repetitions; relay / floor pairs each relayed export with
# the floor export of the same repetition.
set -euo pipefail
results="$1"
shift
[ -f "$results" ] || { echo "report: no results file $results" >&2; exit 1; }
for line in "$@"; do echo "$line"; done
[ $# -gt 0 ] && echo
exec awk -F'\t' -f "$(dirname "${BASH_SOURCE[0]}")/report.awk" "$results"
