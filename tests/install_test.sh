#!/usr/bin/env bash
# Install test: cmake --install into a fresh prefix, then the installed efsh and its manual page are checked.
# Usage: tests/install_test.sh BUILD-DIR
set -u

build=${1:?usage: install_test.sh BUILD-DIR}
image="$build/demo/demo.img"
# ctest runs tests side by side: every run gets a prefix of its own.
tmp=$(mktemp -d /tmp/efsh-install-XXXXXX) || exit 1
trap 'rm -rf "$tmp"' EXIT

failures=0
fail()
{
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

if ! cmake --install "$build" --prefix "$tmp" >"$tmp/install.log" 2>&1; then
    cat "$tmp/install.log" >&2
    fail "cmake --install $build --prefix $tmp"
    exit 1
fi

bin="$tmp/bin/efsh"
man1="$tmp/share/man/man1/efsh.1"

if [ ! -x "$bin" ]; then
    fail "$bin is missing or not executable"
else
    # The demo image's summary: the disk's size, then its two EFS partitions, all on standard error.
    want=$(printf '\t256 Mb\n\t7\t0 Mb\n\t8\t0 Mb')
    got=$("$bin" "$image" 2>&1 >/dev/null)
    status=$?
    [ "$got" = "$want" ] || fail "summary of $image: got [$got], want [$want]"
    [ "$status" -eq 0 ] || fail "summary of $image: exit status $status"

    # The installed binary also mounts a partition and answers at the prompt.
    got=$(printf 'cd /etc\npwd\nbye\n' | "$bin" -p 7 "$image" 2>&1)
    want="$image(7) # $image(7) # /etc
$image(7) # "
    [ "$got" = "$want" ] || fail "prompt on $image: got [$got], want [$want]"

    # The usage line names the program as it was started, so the installed path shows.
    got=$("$bin" -h 2>&1)
    [ "$got" = "Use: $bin [-hd] [-p part] file" ] || fail "usage text: got [$got]"
fi

if [ ! -f "$man1" ]; then
    fail "$man1 is missing"
elif ! command -v groff >/dev/null 2>&1; then
    echo "groff not found: the manual page's rendering is not checked" >&2
else
    warnings=$(groff -man -ww -z "$man1" 2>&1)
    [ -z "$warnings" ] || fail "groff warns on $man1: $warnings"
    # A page that renders without warnings can still come out empty; its title and sections must show.
    text=$(groff -man -Tutf8 "$man1" 2>/dev/null | sed 's/.\x08//g')
    for section in NAME SYNOPSIS DESCRIPTION OPTIONS 'PROMPT COMMANDS' DIAGNOSTICS 'EXIT STATUS' EXAMPLES 'SEE ALSO'; do
        printf '%s\n' "$text" | grep -qx "$section" || fail "$man1 has no $section section"
    done
fi

# efsh-mount and its page, where the build made it (libfuse 3 found).
if [ -x "$build/efsh-mount" ]; then
    mbin="$tmp/bin/efsh-mount"
    mman="$tmp/share/man/man1/efsh-mount.1"
    if [ ! -x "$mbin" ]; then
        fail "$mbin is missing or not executable"
    else
        got=$("$mbin" -h 2>&1)
        [ "$got" = "Use: efsh-mount [-hdf] [-p part] [-o option,...] image mountpoint" ] || fail "efsh-mount usage: got [$got]"
    fi
    if [ ! -f "$mman" ]; then
        fail "$mman is missing"
    elif command -v groff >/dev/null 2>&1; then
        warnings=$(groff -man -ww -z "$mman" 2>&1)
        [ -z "$warnings" ] || fail "groff warns on $mman: $warnings"
        text=$(groff -man -Tutf8 "$mman" 2>/dev/null | sed 's/.\x08//g')
        for section in NAME SYNOPSIS DESCRIPTION OPTIONS SAFETY DIAGNOSTICS 'EXIT STATUS' EXAMPLES 'SEE ALSO'; do
            printf '%s\n' "$text" | grep -qx "$section" || fail "$mman has no $section section"
        done
    fi
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "install test: efsh and its manual page installed and checked under a fresh prefix"
