#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Checks a built .deb as a user would meet it: lintian without errors or
# warnings, its licence and changelog, the hardening of its programs; then
# unpacks it into a scratch root, checks that its dependencies name real
# Debian packages, runs the unpacked programs, validates the desktop entry
# and the man pages (with their examples, environment, files and exit
# status sections).
#   bash scripts/check-package.sh build/quillet_VERSION_ARCH.deb
set -euo pipefail
deb=$1
root=$(mktemp -d)
lintian_err=$(mktemp)
trap 'rm -rf "$root" "$lintian_err"' EXIT
fail() { echo "package check: $*" >&2; exit 1; }

dpkg-deb -I "$deb"
dpkg-deb -x "$deb" "$root"

# Debian's own checks. An override would need a written reason beside it in
# the package; there are none.
# (Run as root, lintian says on stderr that it would rather not be.)
lint=$(lintian --fail-on error,warning --display-level '>=warning' "$deb" 2>"$lintian_err") ||
  fail "lintian: $lint $(cat "$lintian_err")"
[ -z "$lint" ] || fail "lintian: $lint"
echo "lintian: no errors, no warnings"

doc=$root/usr/share/doc/quillet
grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' "$doc/copyright" ||
  fail "the copyright file is not machine-readable"
grep -q '^License: Apache-2.0' "$doc/copyright" || fail "the copyright file names no licence"
version=$(dpkg-deb -f "$deb" Version)
[[ $(zcat "$doc/changelog.gz" | head -n 1) == "quillet ($version) "* ]] ||
  fail "the changelog does not start with version $version"

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
# Release hardening: position-independent, RELRO with immediate binding,
# the stack protector and FORTIFY_SOURCE's checked functions.
for p in quillet quillet-cli quillet-sim; do
  elf=$(readelf -W -h -l -d --dyn-syms "$bin/$p")
  grep -Eq 'Type:[[:space:]]+DYN' <<<"$elf" && grep -Eq 'FLAGS_1.*PIE' <<<"$elf" || fail "$p is not a PIE"
  grep -q 'GNU_RELRO' <<<"$elf" || fail "$p has no RELRO"
  grep -Eq 'BIND_NOW|FLAGS_1.*NOW' <<<"$elf" || fail "$p is not bound at start (-z now)"
  grep -q '__stack_chk_fail' <<<"$elf" || fail "$p has no stack protector"
  grep -Eq '__[a-z0-9_]+_chk(@| )' <<<"$elf" || fail "$p uses no FORTIFY_SOURCE checks"
done
echo "hardening: PIE, RELRO, now, stack protector, FORTIFY_SOURCE"

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
  sections=$(zcat "$file" | grep '^\.SH' | tr -d '"')
  for section in EXAMPLES ENVIRONMENT FILES "EXIT STATUS"; do
    grep -qx ".SH $section" <<<"$sections" || fail "man page $page(1) has no $section section"
  done
done
for code in 0 1 2 3 129 130 143; do
  zcat "$root/usr/share/man/man1/quillet-cli.1.gz" | grep -qx "\.B $code" ||
    fail "quillet-cli(1) does not tell exit status $code"
done
echo "package check: $(basename "$deb") is fine"
