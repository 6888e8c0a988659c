#!/usr/bin/env bash
# Checks a built .deb as a user would meet it: unpacks it into a scratch
# root, checks that its dependencies name real Debian packages, runs the
# unpacked programs, validates the desktop entry and the man pages.
#   bash scripts/check-package.sh build/quillet_VERSION_ARCH.deb
set -euo pipefail
deb=$1
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
fail() { echo "package check: $*" >&2; exit 1; }

dpkg-deb -I "$deb"
dpkg-deb -x "$deb" "$root"

# Every package named in Depends (alternatives included) is one Debian knows.
depends=$(dpkg-deb -f "$deb" Depends)
[ -n "$depends" ] || fail "no Depends field"
grep -q 'libqt6widgets6' <<<"$depends" || fail "Depends lacks the Qt 6 widgets library: $depends"
for name in $(tr ',|' '\n\n' <<<"$depends" | sed -E 's/\(.*\)//; s/:any//; s/[[:space:]]//g'); do
  [[ $name =~ ^[a-z0-9][a-z0-9.+-]+$ ]] || fail "not a package name: '$name'"
  dpkg-query -W "$name" >/dev/null 2>&1 || apt-cache show "$name" >/dev/null 2>&1 ||
    fail "Depends names an unknown package: $name"
done
echo "dependencies: $depends"

bin=$root/usr/bin
for p in quillet quillet-cli quillet-sim; do
  [ -x "$bin/$p" ] || fail "$p is missing"
  v=$("$bin/$p" --version)
  [[ $v == "$p "[0-9]* ]] || fail "$p --version printed '$v'"
  echo "$v"
done
QT_QPA_PLATFORM=offscreen "$bin/quillet" --screenshot "$root/dialog.png"
[ -s "$root/dialog.png" ] || fail "quillet --screenshot wrote no picture"
echo "quillet --screenshot: $(stat -c %s "$root/dialog.png") bytes"

desktop-file-validate "$root/usr/share/applications/quillet.desktop"
for size in 16 32 48 128; do
  [ -s "$root/usr/share/icons/hicolor/${size}x${size}/apps/quillet.png" ] || fail "no ${size}x${size} icon"
done
bash -n "$root/usr/share/bash-completion/completions/quillet-cli"

for page in quillet quillet-cli quillet-sim; do
  file=$root/usr/share/man/man1/$page.1.gz
  [ -s "$file" ] || fail "no man page $page(1)"
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$file" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "man page $page(1): $warnings"
done
echo "package check: $(basename "$deb") is fine"
