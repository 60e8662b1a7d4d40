#!/bin/bash
# Every option in kqi's command table is in the manual and offered by the
# bash completion; the options come from kqi itself.
# Usage: kqi_options_documented.sh KQI MANUAL COMPLETION
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../lib/check.sh"
manual=$2 completion=$3
options=$("$1" --list-options)
check "kqi lists its options" test -n "$options"
in_manual() {  # the manual writes '-' as '\-'; "--method" must not pass for "--method-for"
    grep -qE -- "${1//-/\\\\-}([^a-z\\\\]|\$)" "$manual"
}
while read -r command long short; do
    check "kqi.1 documents $command $long" in_manual "$long"
    [ -z "$short" ] || check "kqi.1 documents $command $short" in_manual "$short"
    offered=" --help $(sed -n "s/^ *$command) options+=\"\(.*\)\" ;;\$/\1/p" "$completion") "
    check "completion offers $command $long" test "${offered/ $long /}" != "$offered"
done <<< "$options"
report
