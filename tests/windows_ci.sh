#!/usr/bin/env bash
# CI's Windows part: cross-builds efsh.exe (warnings are errors), packs the zip, runs the end-to-end
# suite of the host build against efsh.exe under wine, then the independent wine check.
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
#  - PagerInTerminal.*, LineEditInTerminal.*, ProgressInTerminal.*, Readme.*: run the host's efsh (in a
#    tmux terminal, or the README's command line), not through the runner, so they say nothing about
#    efsh.exe;
#  - Tar.FullDiskLeavesNoArchive: the full small tmpfs reaches efsh.exe through wine as another
#    reason ("Invalid argument" from _write), and the Windows layer does not remove an incomplete
#    archive yet (host_discard_out);
#  - Bounds.DirectoryOfTwentyThousandEntries: wine looks for every new file name case-insensitively
#    through the whole directory, so making 20000 files in one takes minutes, far past its time limit;
skip=Startup.ProgramNameIsCutAtBackslashOnly:Commands.TargetDirectoryThatCannotBeEnteredGivesStatusFive:CpHost.*
skip+=:PagerInTerminal.*:LineEditInTerminal.*:ProgressInTerminal.*:Readme.*:Bounds.DirectoryOfTwentyThousandEntries
skip+=:Tar.FullDiskLeavesNoArchive
EFSH_WINE="$PWD/$win_build/efsh.exe" "$host_build/tests/efsh_e2e" --gtest_filter="-$skip"
tests/wine_check.sh "$win_build/efsh.exe" "$host_build/demo/demo.img"
echo "windows: build and package $((built - start)) s, wine runs $(($(date +%s) - built)) s"
