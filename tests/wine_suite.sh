#!/bin/sh
# Runs a Windows test program under Wine with its output through a file. Wine's services, started
# by the first program that needs them, keep that program's standard handles open after it ends;
# with the test runner's pipe as its output, the runner would wait on them until its timeout.
#   wine_suite.sh PROGRAM.exe [ARGUMENTS...]
out=$(mktemp) || exit 1
wine "$@" < /dev/null > "$out" 2>&1
status=$?
tr -d '\r' < "$out"
rm -f "$out"
exit $status
