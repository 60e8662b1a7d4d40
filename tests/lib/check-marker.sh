#!/bin/bash
# A launcher image as built: the payload marker text exactly once, its field
# unpatched (first byte 'X'). Usage: check-marker.sh IMAGE
set -u
source "$(dirname "${BASH_SOURCE[0]}")/check.sh"
occurrences=$(grep -ao 'KQI_SIZE' "$1" | wc -l)
check "marker text once, found $occurrences times" test "$occurrences" -eq 1
check "marker field unpatched" grep -aq 'KQI_SIZEX' "$1"
report
