#!/bin/bash
# Every option in kqi's command table, and every method of its method table,
# is in the manual, the usage texts and the bash completion; the options and
# methods come from kqi itself.
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
# The methods, as the method table names them in the unknown-method message.
methods=$("$1" pack -o /dev/null --method '?' x=y 2>&1 | sed -n "s/^kqi: unknown method '?': give //p" | sed 's/,\| or / /g')
check "kqi names its methods" test -n "$methods"
offered=" $(sed -n 's/^ *--method) COMPREPLY=(\$(compgen -W "\([^"]*\)".*/\1/p' "$completion") "
for method in $methods; do
    check "kqi.1 documents method $method" grep -qw -- "$method" "$manual"
    check "completion offers method $method" test "${offered/ $method /}" != "$offered"
    for command in pack setup; do
        check "kqi $command --help names method $method" bash -c '"$1" "$2" --help | grep -qw -- "$3"' _ "$1" "$command" "$method"
    done
done
report
