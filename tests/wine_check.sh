#!/usr/bin/env bash
# Runs the Windows build under wine on the demo image as a Windows user would, with a stand-in
# pager of its own first on the Windows PATH, and compares what it prints (CR LF made LF) and
# what it copies with the texts below. Independent of the test suite and its runner.
#   tests/wine_check.sh build-win/efsh.exe build/demo/demo.img
set -euo pipefail
exe=$(realpath "$1")
image=$(realpath "$2")
src=$(realpath "$(dirname "$0")/..")

work=$(mktemp -d)
export WINEDEBUG=-all TZ=UTC
if [ -z "${WINEPREFIX:-}" ]; then
  # A prefix of its own, made before the first measured run: making one prints on its own.
  export WINEPREFIX="$work/prefix"
  trap 'wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT
  wine wineboot -i >/dev/null 2>&1
else
  trap 'rm -rf "$work"' EXIT
fi
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }
fail=0
check() {  # what, expected, actual
  if [ "$2" != "$3" ]; then
    echo "wine check: $1 differs" >&2
    diff <(printf '%s' "$2") <(printf '%s' "$3") >&2 || true
    fail=1
  fi
}

# The pager: copies its standard input, untouched, into LESS_LOG.
mkdir "$work/bin" "$work/T" "$work/My Disks"
cat > "$work/less.c" <<'EOF'
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
int main(void)
{
    char buf[4096];
    size_t n;
    FILE *out = fopen(getenv("LESS_LOG"), "ab");
    _setmode(_fileno(stdin), _O_BINARY);
    while ((n = fread(buf, 1, sizeof buf, stdin)) > 0)
        fwrite(buf, 1, n, out);
    return fclose(out) != 0;
}
EOF
x86_64-w64-mingw32-gcc -O2 -static -o "$work/bin/less.exe" "$work/less.c"
cp "$image" "$work/demo.img"
cd "$work"
export WINEPATH; WINEPATH=$(winpath "$work/bin")
export LESS_LOG; LESS_LOG=$(winpath "$work/less.log")
run() { wine "$(winpath "$exe")" "$@" 2>"$work/err" | tr -d '\r'; }
err() { tr -d '\r' <"$work/err"; }

out=$(run -p 7 demo.img <<EOF
ls
cd /etc
pwd
ls -l
more motd
cd /usr/people/guest
more notes.txt
lcd C:\\windows
lcd $(winpath "$work")
cp -r /etc T
cp /bin/big big.bin
lcd "$(winpath "$work/My Disks")"
cp /etc/motd "motd copy"
cd nowhere
bye
EOF
)
p='demo.img(7) # '
check "session output" "$p         2                        .
         2                       ..
         3                      etc
         7                      usr
        15                      bin
        19                      dev
        25                      tmp
        26                     many
$p$p$p$p$p$p$p$p$p$p$p$p$p$p" "$out"
check "session messages" "/etc
d      3 0755  2     0     0     512 Mar  7 20:26 .
d      2 0755  8     0     0     512 Mar  7 20:26 ..
-      4 0644  1     0     0      65 Jan  1 00:00 motd
-      5 0644  1     0     0      81 Jan  1 00:00 passwd
l      6 0777  1     0     0       4 Jan  1 00:00 issue
/usr/people/guest//etc/issue not copied
nowhere: No such file or directory" "$(err)"
# The pager and the host copies get the image's bytes: LF line ends, no CR added.
check "pager input" "$(printf 'Welcome to efsh, the EFS disk image shell.\nThis image is a demo.\nline one\nline two\n\ttabbed line three\n' | od -c)" \
  "$(od -c less.log)"
check "copied tree" "T/etc
T/etc/motd 65
T/etc/passwd 81" "$(find T -mindepth 1 | sort | while read -r f; do if [ -f "$f" ]; then echo "$f $(stat -c %s "$f")"; else echo "$f"; fi; done)"
check "copied file" "$(printf 'root:x:0:0:Super-User:/:/bin/sh\nguest:x:998:998:Guest:/usr/people/guest:/bin/csh\n' | od -c)" \
  "$(od -c T/etc/passwd)"
check "large copy" 400000 "$(stat -c %s big.bin)"
check "copy into a path with blanks" 65 "$(stat -c %s "My Disks/motd copy")"

# Without a partition: the summary; a missing image: the C library's text for the reason.
check "summary output" "" "$(run demo.img </dev/null)"
check "summary" "	256 Mb
	7	0 Mb
	8	0 Mb" "$(err)"
check "missing image output" "" "$(run -p 7 missing.img </dev/null)"
check "missing image message" "open disk: No such file or directory" "$(err)"
# The program's name is cut at the last backslash of the Windows path.
run >/dev/null </dev/null || true
check "usage" "Use: efsh.exe [-hd] [-p part] file" "$(err)"

# The host layer's calls for making files and directories, in a folder laid out with what a tree
# copy meets: a link to a directory outside, a pipe, a link to nowhere, a hard link to the image.
mkdir -p "$work/H/adir" "$work/O"
printf 'old content' >"$work/H/reg"
ln -s "$work/O" "$work/H/dirlink"
mkfifo "$work/H/fifo"
ln -s "$work/O/made" "$work/H/dangling"
cp "$image" "$work/H/image.img"
ln "$work/H/image.img" "$work/H/hard.img"
x86_64-w64-mingw32-g++ -std=c++20 -O1 -static -I"$src" -o "$work/host_check.exe" "$src/tests/wine_host_check.cpp" \
  "$src/host/host_win32.cpp" "$src/host/host_win32_files.cpp" \
  "$src/host/host_win32_paths.cpp" "$src/host/host_win32_storage.cpp" "$src/host/host_common.cpp"
check "host layer" "" "$(timeout 60 wine "$(winpath "$work/host_check.exe")" "$(winpath "$work/H")" 2>&1 | tr -d '\r')"
check "host layer: nothing outside" "" "$(ls -A "$work/O")"
check "host layer: the image" "$(od -c "$image")" "$(od -c "$work/H/image.img")"
check "host layer: files" "new fresh in ro" "$(cat "$work/H/reg") $(cat "$work/H/fresh") $(cat "$work/H/newdir/inside") $(cat "$work/H/ro")"
check "host layer: times" "$((2 * 86400)) $((3 * 86400))" "$(stat -c %Y "$work/H/newdir") $(stat -c %Y "$work/H/ro")"
check "host layer: read-only" "r--r--r--" "$(stat -c %A "$work/H/ro" | cut -c2-)"
check "host layer: removed" "" "$(ls "$work/H/gone" 2>/dev/null)"
check "host layer: deep" "deep" "$(cat "$work/H"/level00_*/*/*/*/*/*/*/*/*/*/*/level11_*/leaf)"

if [ "$fail" = 0 ]; then
  echo "wine check: passed"
fi
exit "$fail"
