# The shell checks' bookkeeping, shared by tests/windows and tests/vm:
# `check NAME CONDITION...` counts and prints one line; `checks_summary KIND`
# prints "KIND: N passed, N failed" and fails when any did.
passed=0
failed=0

check() { # NAME CONDITION...
    local name=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
        echo "ok     $name"
    else
        failed=$((failed + 1))
        echo "FAILED $name"
    fi
}

checks_summary() { # KIND
    echo "$1: $passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}
