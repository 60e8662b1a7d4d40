#!/bin/bash
# kqi.exe under wine with folder and file names in French, Russian and
# Japanese: pack, list, test, extract -d and setup keep every name and byte,
# and a missing file's error gives the system's reason.
# Usage: names.sh kqi.exe kqsetup.exe
set -u
KQI_EXE=$(realpath "$1")
STUB_EXE=$(realpath "$2")
wine() { command "${WINE:-wine}" "$@"; }
export WINEDEBUG=-all LANG=C.UTF-8 LC_ALL=C.UTF-8
unset DISPLAY
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
source "$(dirname "${BASH_SOURCE[0]}")/../lib/check.sh"
cd "$WORK"
kqi() { wine "$KQI_EXE" "$@"; }

mkdir -p Données/Пример Données/日本語
printf 'Résumé en français.\n' > Données/Résumé.txt
printf 'Пример файла.\n' > Données/Пример/файл.txt
seq 1 3000 > Données/日本語/説明書.txt
names=('Données\Résumé.txt' 'Données\Пример\файл.txt' 'Données\日本語\説明書.txt')

check "pack" kqi pack -q -o Архив.kqa Données=Données
kqi list Архив.kqa > list.txt
kqi list --json Архив.kqa > list.json
for name in "${names[@]}"; do
    check "list shows $name" grep -qF "  $name" list.txt
    check "list --json gives $name in UTF-8" grep -qF "\"${name//\\/\\\\}\"" list.json
done
kqi test Архив.kqa > test.txt
crlf test.txt
check "test passes every entry" test "$(grep -c '^OK ' test.txt)" = 3
check "test names them" grep -qxF "OK ${names[1]}" test.txt
check "extract -d" kqi extract Архив.kqa -d Résultat
check "extract -d: the same tree" diff -r Données Résultat/Données

# The setup's entries are the same; kqi.exe stands in for the installer.
check "setup" kqi setup -q --stub "$STUB_EXE" --installer "$KQI_EXE" -o Установка.exe Données=Données
check "extract -d from the setup" kqi extract Установка.exe -d Из_setup
check "setup: the same tree" diff -r Données Из_setup/Données

# The reason is the system's, not "Success".
kqi list Нет.kqa 2> missing.err
crlf missing.err
check "missing archive: the reason" grep -qE '^kqi: EFileOpenError: Cannot open file Нет\.kqa \((File not found|The system cannot find the file specified)\)$' missing.err
kqi pack -q -o x.kqa 'a=Données\Нет.txt' 2> missing.err
crlf missing.err
check "missing input: the reason" grep -qE '^kqi: EFileOpenError: Cannot open file Données\\Нет\.txt \((File not found|The system cannot find the file specified)\)$' missing.err
report
