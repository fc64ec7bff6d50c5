#!/bin/sh
# Builds the Debian package of the build tree into a temporary directory and
# checks what it holds, and that its program runs.
# Usage: package_test.sh <build dir> <cpack>
build=$1 cpack=$2
if ! command -v dpkg-deb >/dev/null; then
  echo "SKIP: dpkg-deb is not installed (Debian package dpkg)"
  exit 77
fi
dir=$(mktemp -d) || exit 1
trap 'rm -rf "$dir"' EXIT
fail() { echo "$*"; exit 1; }

"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$dir" >"$dir/cpack.log" 2>&1 || {
  cat "$dir/cpack.log"; fail "cpack failed"
}
deb=$(ls "$dir"/zvmail32_*.deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || fail "no zvmail32_*.deb was made"
dpkg-deb -c "$deb" > "$dir/contents" || fail "dpkg-deb -c failed"
for entry in "-rwxr-xr-x .* ./usr/bin/zvmail32" \
    "-rw-r--r-- .* ./usr/share/man/man1/zvmail32.1.gz" \
    "-rw-r--r-- .* ./usr/lib/systemd/system/zvmail32@.service" \
    "-rw-r--r-- .* ./usr/share/doc/zvmail32/README.md" \
    "-rw-r--r-- .* ./usr/share/doc/zvmail32/examples/ZVMAIL32.INI" \
    "-rw-r--r-- .* ./usr/share/doc/zvmail32/examples/phonebook"; do
  grep -q -- "^$entry\$" "$dir/contents" || { cat "$dir/contents"; fail "missing: $entry"; }
done
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libqt6core6 libqt6widgets6 qt6-qpa-plugins libssl3 adduser; do
  case ", $depends," in
    *", $lib"[\ ,]*) ;;
    *) fail "Depends lacks $lib: $depends" ;;
  esac
done

# The packaged program is the working one.
dpkg-deb -x "$deb" "$dir/root" || fail "dpkg-deb -x failed"
# Every document the README names is there beside it.
doc="$dir/root/usr/share/doc/zvmail32"
for name in $(grep -o 'docs/[A-Za-z0-9._-]*' "$doc/README.md" | sort -u); do
  [ -f "$doc/$name" ] || fail "the README names $name, which the package lacks"
done
version=$("$dir/root/usr/bin/zvmail32" --version) || fail "the packaged program does not run"
case "$version" in
  "zvmail32 $(dpkg-deb -f "$deb" Version)") ;;
  *) fail "the packaged program says '$version'" ;;
esac
echo "ok"
