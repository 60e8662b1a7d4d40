#!/bin/bash
# What takes the launcher's bytes: links the Windows stub once more, exactly
# as the build does but with a link map, and prints the bytes each library
# and each object file puts into the image's sections, largest first. The
# build itself is left alone.
#
#   bash bench/stub-map.sh [BUILD_DIR [TOP]]
#   bash bench/stub-map.sh LINK.map [TOP]     (a map made elsewhere)
#   (defaults: build/mingw, the 25 largest object files)
#
# BUILD_DIR is a configured and built mingw or mingw64 build (ninja). The
# figures are input section sizes before the image's own alignment, so they
# add up to a little less than objdump -h shows.
set -euo pipefail
BUILD=$(realpath "${1:-build/mingw}")
TOP=${2:-25}
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
if [ -f "$BUILD" ]; then
    MAP=$BUILD
else
MAP=$WORK/kqsetup.map

# ninja's own command for the stub, with the map added and another output.
command=$(ninja -C "$BUILD" -t commands Setup/kqsetup.exe | tail -1)
command=${command#: && }
command=${command% && :}
if ! grep -q ' -o Setup/kqsetup.exe ' <<< "$command"; then
    echo "stub-map: no link command for Setup/kqsetup.exe in $BUILD" >&2
    exit 1
fi
command=${command/ -o Setup\/kqsetup.exe / -o $WORK/kqsetup.exe -Wl,-Map=$WORK/kqsetup.map }
(cd "$BUILD" && eval "$command")
echo "stub: $(stat -c %s "$WORK/kqsetup.exe") bytes (the build's: $(stat -c %s "$BUILD/Setup/kqsetup.exe"))"
fi

perl -e '
    my ($map, $top) = @ARGV;
    open(my $in, "<", $map) or die "stub-map: $map: $!\n";
    my (%by_object, %by_library, %total, $out, $pending);
    my $in_memory_map = 0;
    # Output sections grouped as objdump -h names them.
    my @columns = qw(.text .rdata .eh_frame .data other);
    sub column { my ($s) = @_; return (grep { $_ eq $s } @columns) ? $s : "other"; }
    while (my $line = <$in>) {
        chomp $line;
        if ($line =~ /^Linker script and memory map/) { $in_memory_map = 1; next; }
        next unless $in_memory_map;
        if ($line =~ /^(\/DISCARD\/|\.\S+)(?:\s+0x[0-9a-f]+\s+0x[0-9a-f]+)?\s*$/) {
            $out = $1 eq "/DISCARD/" ? undef : $1;
            next;
        }
        next unless defined $out;
        # An input section, its name alone on the line when it is long.
        if ($line =~ /^ ([.\w\$*][^\s]*)\s*$/ && $line !~ /^ \*\(/) { $pending = $1; next; }
        my ($name, $size, $file);
        if ($line =~ /^ (\S+)\s+0x[0-9a-f]+\s+0x([0-9a-f]+)\s+(\S.*)$/) {
            ($name, $size, $file) = ($1, hex $2, $3);
        } elsif (defined $pending && $line =~ /^\s+0x[0-9a-f]+\s+0x([0-9a-f]+)\s+(\S.*)$/) {
            ($name, $size, $file) = ($pending, hex $1, $2);
        } else {
            undef $pending;
            next;
        }
        undef $pending;
        next if $name eq "*fill*" || $name =~ /^\*\(/ || $size == 0;
        my ($library, $object);
        if ($file =~ m{([^/]+)\(([^)]+)\)$}) {
            ($library, $object) = ($1, "$1($2)");
        } else {
            ($object = $file) =~ s{.*/}{};
            # The tool chain start-up files; everything else is the project
            # (its own objects, or what link-time optimisation made of them).
            $library = $file =~ m{^/usr/} ? "(start-up objects)" : "(project objects)";
        }
        my $c = column($out);
        $by_object{$object}{$c} += $size;
        $by_object{$object}{all} += $size;
        $by_library{$library}{$c} += $size;
        $by_library{$library}{all} += $size;
        $total{$c} += $size;
        $total{all} += $size;
    }
    sub table {
        my ($title, $rows, $limit) = @_;
        printf "\n%-52s %8s %8s %8s %8s %8s %8s\n", $title, @columns, "all";
        my @keys = sort { $rows->{$b}{all} <=> $rows->{$a}{all} || $a cmp $b } keys %$rows;
        splice(@keys, $limit) if defined $limit && @keys > $limit;
        for my $k (@keys) {
            my $label = length($k) > 52 ? "..." . substr($k, -49) : $k;
            printf "%-52s", $label;
            printf " %8d", $rows->{$k}{$_} // 0 for @columns, "all";
            print "\n";
        }
    }
    table("library", \%by_library);
    table("object file (the $top largest)", \%by_object, $top);
    printf "\n%-52s", "total";
    printf " %8d", $total{$_} // 0 for @columns, "all";
    print "\n";
' "$MAP" "$TOP"
