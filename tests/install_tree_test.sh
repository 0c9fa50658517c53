#!/usr/bin/env bash
# Checks an installed tree as a user meets it.
#   install_tree_test.sh --install BUILD PREFIX   cmake --install BUILD into a temporary prefix
#   install_tree_test.sh --deb FILE.deb           the package's contents, unpacked, and its fields
# PREFIX is the prefix the programs were built for (a .deb's is /usr): they look for the help
# pages in its docdir. Exit 0 when every check passed.
set -uo pipefail
tmp=$(mktemp -d) && trap 'rm -rf "$tmp"' EXIT
failed=0
fail() { echo "FAIL: $*" >&2; failed=1; }

if [ "$1" = --install ]; then
  root=$tmp/prefix built_for=$3
  cmake --install "$2" --prefix "$root" >"$tmp/log" 2>&1 || { cat "$tmp/log"; exit 1; }
else
  deb=$2 root=$tmp/root/usr built_for=/usr
  dpkg-deb -x "$deb" "$tmp/root" || exit 1
  fields=$(dpkg-deb -f "$deb" Package Section Depends Recommends Maintainer Description)
  # Recommends are installed too: only what the programs run.
  for want in 'Package: orbisk' 'Section: hamradio' 'Recommends: xdg-utils, man-db$' \
    'Maintainer: ' 'Description: .'; do
    grep -q "^$want" <<<"$fields" || fail "no '$want' in the package's fields"
  done
  depends=$(sed -n 's/^Depends: //p' <<<"$fields" | tr ',' '\n' | sed 's/^ *//; s/ .*//')
  for want in libc6 libstdc++6 libssl3 libqt6widgets6 zlib1g qt6-qpa-plugins ca-certificates; do
    grep -qxF "$want" <<<"$depends" || fail "Depends lacks $want: ${depends//$'\n'/ }"
  done
fi

# Exactly these files, nothing else (no test programs, no build leftovers).
apps=share/applications icons=share/icons/hicolor/scalable/apps
expected=$(printf '%s\n' bin/orbisk bin/orbisk-us bin/fernwick bin/calldb \
  share/doc/orbisk/orbisk-help.html share/doc/orbisk/fernwick-help.html share/doc/orbisk/copyright \
  $apps/orbisk.desktop $apps/orbisk-us.desktop $apps/fernwick.desktop \
  $icons/orbisk.svg $icons/orbisk-us.svg $icons/fernwick.svg share/man/man1/calldb.1.gz \
  lib/systemd/{user,system}/calldb-{serve.service,update.service,update.timer} | sort)
found=$(cd "$root" && find . -type f -o -type l | sed 's|^\./||' | sort)
[ "$found" = "$expected" ] || fail "installed files differ:"$'\n'"$(diff <(echo "$expected") \
  <(echo "$found"))"

# The programs run from there, and look for the help pages where they were installed.
export QT_QPA_PLATFORM=offscreen
for program in calldb orbisk orbisk-us fernwick; do
  "$root/bin/$program" --help >"$tmp/out" 2>&1 || fail "$program --help: $(cat "$tmp/out")"
done
for program in calldb orbisk orbisk-us fernwick; do
  { strings -a "$root/bin/$program"; strings -a -el "$root/bin/$program"; } |
    grep -xF "$built_for/share/doc/orbisk" >/dev/null ||
    fail "$program does not look for its help in $built_for/share/doc/orbisk"
done

# The manual page renders without a warning and has an entry for every command.
page=$root/share/man/man1/calldb.1.gz
warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "man calldb warns: $warnings"
commands=$("$root/bin/calldb" lookup --help | sed -n 's/^calldb commands: \(.*\)\. See.*/\1/p')
[ -n "$commands" ] || fail "calldb lookup --help lists no commands"
entries=$(zcat "$page" | sed -n '/^\.TP$/{n;s/\\f[BIP]//g;s/\\-/-/g;p}')
for command in ${commands//,/}; do
  grep -q "^$command " <<<"$entries" || fail "man calldb has no entry for $command"
done

# The systemd units start installed programs, and systemd finds nothing wrong in them.
for unit in "$root"/lib/systemd/*/*; do
  for program in $(sed -n 's/^ExecStart=-\{0,1\}\([^ ]*\).*/\1/p' "$unit"); do
    [ -x "$root/bin/${program#"$built_for/bin/"}" ] && [ "${program%/*}" = "$built_for/bin" ] ||
      fail "$unit starts $program, which is not installed"
  done
done
if command -v systemd-analyze >/dev/null; then
  # Only what depends on this machine is let through: the programs and man pages not being
  # installed where the units name them.
  systemd-analyze verify "$root"/lib/systemd/system/* 2>&1 |
    grep -v -e 'is not executable' -e "Command 'man " -e '^$' && fail "systemd-analyze warns"
fi

# Debian's machine-readable copyright file names the package and its licence.
copyright=$root/share/doc/orbisk/copyright
for want in '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/$' \
  '^Upstream-Name: orbisk$' '^Files: \*$' '^License: .'; do
  grep -q "$want" "$copyright" 2>/dev/null || fail "$copyright lacks $want"
done

# The menu entries are valid, and start installed programs with installed icons.
for entry in "$root/$apps"/*.desktop; do
  desktop-file-validate "$entry" || fail "$entry is not valid"
  program=$(sed -n 's/^Exec=\(sh -c "exec \)\{0,1\}\([^ "]*\).*/\2/p' "$entry")
  [ -x "$root/bin/$program" ] || fail "$entry starts $program, which is not installed"
  icon=$(sed -n 's/^Icon=//p' "$entry")
  [ -f "$root/$icons/$icon.svg" ] || fail "$entry shows icon $icon, which is not installed"
done
exit $failed
