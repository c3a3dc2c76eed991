# shellcheck shell=bash
# The Wine export scripts' cases: each begins with a title, checks facts
# with `expect`, and ends by naming the simulator's log, shown when a fact
# failed. The last line, "wine cases: N passed, M failed", is what
# tools/test.sh adds up.
cases_passed=0
cases_failed=0
case_failures=0

begin_case() {
    echo "== $1"
    case_failures=0
}

# expect WHAT GOT WANT
expect() {
    if [ "$2" != "$3" ]; then
        case_failures=$((case_failures + 1))
        printf 'FAILED: %s\n  got:  %s\n  want: %s\n' "$1" "$2" "$3"
    fi
}

# end_case LOG: counts the case, and shows the end of the log (code page 932,
# as the Windows programs write it) when it failed.
end_case() {
    if [ "$case_failures" -eq 0 ]; then
        cases_passed=$((cases_passed + 1))
    else
        cases_failed=$((cases_failed + 1))
        echo "--- $1"
        tr '\r' '\n' <"$1" | grep -av '^\[' | iconv -f CP932 -t UTF-8 -c | tail -20
    fi
}

# The last line, and the script's status.
end_cases() {
    echo "wine cases: $cases_passed passed, $cases_failed failed"
    [ "$cases_failed" -eq 0 ]
}
