#!/usr/bin/env bash
# CI's Windows part: cross-builds efsh.exe (warnings are errors), packs the zip and checks what it
# holds, runs the end-to-end suite of the host build against efsh.exe under wine, then the
# independent wine check (which also runs the host layer's own calls).
#   tests/windows_ci.sh <host build dir> <Windows build dir>
set -euo pipefail
cd "$(dirname "$0")/.."
host_build=$1
win_build=$2
start=$(date +%s)

cmake -S . -B "$win_build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DEFSH_WERROR=ON
cmake --build "$win_build" -j2
(cd "$win_build" && cpack)
built=$(date +%s)

# The zip speaks to Windows users: in a folder named as the zip, efsh.exe, README.txt and the
# manual, no developers' README.md; both texts open clean in Notepad (no control bytes but tab, CR
# and LF; every line ends CR LF) and tell how to open a raw disk and where to get less; the manual
# is the one written for Windows, with nothing in it that exists only on Unix.
zip=$(ls "$win_build"/efsh-*-win64.zip)
folder=$(basename "$zip" .zip)
listed=$(unzip -Z1 "$zip" | grep -v '/$' | LC_ALL=C sort | tr '\n' ' ')
[ "$listed" = "$folder/README.txt $folder/efsh.exe $folder/efsh.txt " ] || { echo "windows zip holds: $listed" >&2; exit 1; }
unpacked=$(mktemp -d)
unzip -q "$zip" -d "$unpacked"
[ "$(ls "$unpacked")" = "$folder" ] && [ -x "$unpacked/$folder/efsh.exe" ] || { echo "windows zip unpacks elsewhere than $folder" >&2; exit 1; }
for unix_only in /tmp '$ ' /dev/ 'less package' efsh-mount; do
  if grep -nF -- "$unix_only" "$unpacked/$folder/efsh.txt" >&2; then
    echo "windows zip: efsh.txt holds the Unix-only \"$unix_only\"" >&2
    exit 1
  fi
done
rm -rf "$unpacked"
for text in README.txt efsh.txt; do
  unzip -p "$zip" "$folder/$text" >"$win_build/zip-text"
  control=$(LC_ALL=C tr -d '\t\r\n\040-\176\200-\377' <"$win_build/zip-text" | wc -c)
  lines=$(wc -l <"$win_build/zip-text")
  crlf=$(LC_ALL=C grep -c $'\r$' "$win_build/zip-text" || true)
  crs=$(LC_ALL=C tr -cd '\r' <"$win_build/zip-text" | wc -c)
  if [ "$control" != 0 ] || [ "$crlf" != "$lines" ] || [ "$crs" != "$lines" ] ||
     ! grep -q 'PhysicalDrive1' "$win_build/zip-text" || ! grep -q 'Git for Windows' "$win_build/zip-text"; then
    echo "windows zip: $text is not clean CR LF text telling of raw disks and less" >&2
    exit 1
  fi
done

# A prefix of our own, made once up front (making one takes a while and prints on its own), and one
# wine server kept up for all of the suite's runs instead of one started per run.
winedir=$(mktemp -d)
export WINEPREFIX="$winedir/prefix" WINEDEBUG=-all
trap 'wineserver -k 2>/dev/null || true; rm -rf "$winedir"' EXIT
mkdir "$WINEPREFIX"
wineserver -p
wine wineboot -i >/dev/null 2>&1

# What cannot hold under wine:
#  - Startup.ProgramNameIsCutAtBackslashOnly: chooses argv[0], which wine makes the Windows path of
#    efsh.exe whatever the test passes (the cut at the backslash is checked by tests/wine_check.sh);
#  - Commands.TargetDirectoryThatCannotBeEnteredGivesStatusFive and CpHost.*: run efsh as another
#    user, which wine refuses for a prefix that user does not own, and check POSIX permission bits
#    and ownership, which Windows files do not have (there cp -p sets the times and, for a file
#    without the owner's write bit, the read-only attribute);
#  - Terminal.*, Readme.*: run the host's efsh (in a
#    tmux terminal, or the README's command line), not through the runner, so they say nothing about
#    efsh.exe;
#  - Tar.FullDiskLeavesNoArchive: the full small tmpfs reaches efsh.exe through wine as another
#    reason ("Invalid argument" from the write), which the test compares;
#  - HostSafety.*: plant host symbolic links, named pipes and devices, which wine shows as the files
#    they lead to or cannot make (the Windows group has the cases wine can show), and a working
#    directory deeper than wine takes;
#  - Bounds.DirectoryOfTwentyThousandEntries: wine looks for every new file name case-insensitively
#    through the whole directory, so making 20000 files in one takes minutes, far past its time limit;
# Scripting.* runs under wine: -c, -f and every exit status of efsh.exe. Its case of stops raises
# POSIX signals through a test hook and skips itself there: the console's Ctrl-C and Ctrl-Break
# handler (SetConsoleCtrlHandler, host/host_win32.cpp) is built, but wine cannot send a console
# control event to a program reliably, so it is not tested.
skip=Startup.ProgramNameIsCutAtBackslashOnly:Commands.TargetDirectoryThatCannotBeEnteredGivesStatusFive:CpHost.*
skip+=:Terminal.*:Readme.*:Bounds.DirectoryOfTwentyThousandEntries:HostSafety.*
skip+=:Tar.FullDiskLeavesNoArchive
EFSH_WINE="$PWD/$win_build/efsh.exe" "$host_build/tests/efsh_e2e" --gtest_filter="-$skip"
tests/wine_check.sh "$win_build/efsh.exe" "$host_build/demo/demo.img"
echo "windows: build and package $((built - start)) s, wine runs $(($(date +%s) - built)) s"
