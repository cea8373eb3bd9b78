#!/usr/bin/env bash
# Runs the conformance tests built against the real GDI32 and WINSPOOL under Wine, with all they
# need of their own: a namespace with a scheduler and a 600 dpi IPP Everywhere printer as the
# default printer, and a Wine prefix with the fonts a Windows machine has.
#   under_wine.sh CONFORMANCE_TESTS_EXE [GTEST_OPTIONS...]
set -uo pipefail
here=$(dirname "$(realpath "$0")")
source "$here/../e2e/common.sh"
source "$here/../e2e/wine.sh"
enter_namespace "$0" "$@"
exe=$(realpath "$1")
shift
wine_tools || exit 1
start_system_bus || exit 1
start_printer office iso_a4_210x297mm || exit 1
start_scheduler || exit 1
add_queue office "$printer_uri" && lpadmin -d office || exit 1
make_wine_prefix "$work/prefix" || exit 1
wine "$exe" "$@" 2>&1 | tr -d '\r'
status=${PIPESTATUS[0]}
wineserver -k
exit "$status"
