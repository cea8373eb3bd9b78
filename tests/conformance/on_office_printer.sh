#!/usr/bin/env bash
# Runs the conformance tests on an office's printer: a namespace with a scheduler and a 600 dpi IPP
# Everywhere printer (A4, 4.23 mm margins) as the default printer. The tests built against the real
# GDI32 and WINSPOOL (an .exe) run under Wine, in a prefix with the fonts a Windows machine has;
# those built against the portable layer run natively on the same queue.
#   on_office_printer.sh CONFORMANCE_TESTS[.exe] [GTEST_OPTIONS...]
set -uo pipefail
here=$(dirname "$(realpath "$0")")
source "$here/../e2e/common.sh"
source "$here/../e2e/wine.sh"
enter_namespace "$0" "$@"
exe=$(realpath "$1")
shift
[[ $exe != *.exe ]] || wine_tools || exit 1
start_system_bus || exit 1
start_printer office iso_a4_210x297mm || exit 1
start_scheduler || exit 1
add_queue office "$printer_uri" && lpadmin -d office || exit 1
# The margins the printer reports, for the tests of the printable area.
export ZV_CONFORMANCE_MARGIN_HMM=423
if [[ $exe != *.exe ]]; then
  HOME=$work "$exe" "$@"
  exit
fi
make_wine_prefix "$work/prefix" || exit 1
wine "$exe" "$@" 2>&1 | tr -d '\r'
status=${PIPESTATUS[0]}
wineserver -k
exit "$status"
