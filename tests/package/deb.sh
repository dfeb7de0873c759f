#!/usr/bin/env bash
# Builds the Debian package of the build tree (cpack -G DEB) and checks it:
# its file list, the dependencies dpkg-shlibdeps computed, and that the
# program it holds runs from the unpacked tree with a clean environment.
set -euo pipefail
build=$1
version=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
(cd "$build" && cpack -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1) || {
  cat "$scratch/cpack.log"
  exit 1
}
deb=$(ls "$scratch"/out/zor_"$version"_*.deb)
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$scratch/files"
status=0
for f in /usr/bin/zor /usr/lib/libzor.so.0 "/usr/lib/libzor.so.$version" /usr/lib/libzor.so /usr/lib/libzor-host.so.0 \
  /usr/include/zor/zor.h /usr/include/zor/host.h /usr/include/zor/hostserver.h /usr/lib/cmake/zor/zorConfig.cmake \
  /usr/lib/cmake/zor/zorTargets.cmake /usr/lib/pkgconfig/zor.pc /usr/share/doc/zor/README.md \
  /usr/share/doc/zor/copyright; do
  if ! grep -qx -- "$f" "$scratch/files"; then
    echo "the package lacks $f"
    status=1
  fi
done
# Nothing of the build tree's own: tests, benchmarks, examples stay out.
if grep -E '/(test_|bench_)|/examples/' "$scratch/files"; then
  echo "the package holds build-tree programs (above)"
  status=1
fi
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libstdc++6; do
  if ! grep -q "$lib" <<<"$depends"; then
    echo "Depends \"$depends\" lacks $lib: were the dependencies computed (shlibdeps)?"
    status=1
  fi
done
case "$depends" in *qt6*) echo "zor depends on Qt ($depends): the window layer belongs in zor-gui"; status=1 ;; esac
# The window layer, when it was built: its own package, on top of zor.
gui=$(ls "$scratch"/out/zor-gui_"$version"_*.deb 2>/dev/null || true)
if [ -n "$gui" ]; then
  gdepends=$(dpkg-deb -f "$gui" Depends)
  for need in "zor (= $version)" libqt6widgets6; do
    grep -qF -- "$need" <<<"$gdepends" || { echo "zor-gui's Depends \"$gdepends\" lacks $need"; status=1; }
  done
  dpkg-deb -c "$gui" | awk '{print $6}' | grep -qx './usr/lib/libzor-gui.so.0' || { echo "zor-gui lacks its library"; status=1; }
fi
# The Python module, when it was built: python3-zor, on top of zor, found by
# Debian's python3 and by pytest through its entry point.
py=$(ls "$scratch"/out/python3-zor_"$version"_*.deb 2>/dev/null || true)
if [ -n "$py" ]; then
  pdepends=$(dpkg-deb -f "$py" Depends)
  for need in "zor (= $version)" python3; do
    grep -qF -- "$need" <<<"$pdepends" || { echo "python3-zor's Depends \"$pdepends\" lacks $need"; status=1; }
  done
  pfiles=$(dpkg-deb -c "$py" | awk '{print $6}')
  for f in ./usr/lib/python3/dist-packages/zor/__init__.py ./usr/lib/python3/dist-packages/zor/protocol_zor.py \
    ./usr/lib/python3/dist-packages/zor/pytest_plugin.py "./usr/lib/python3/dist-packages/zor-$version.dist-info/entry_points.txt"; do
    grep -qx -- "$f" <<<"$pfiles" || { echo "python3-zor lacks $f"; status=1; }
  done
  grep -q '^./usr/lib/python3/dist-packages/zor/_zor\..*\.so$' <<<"$pfiles" || { echo "python3-zor lacks its extension"; status=1; }
  dpkg-deb -x "$py" "$scratch/root"
fi
dpkg-deb -x "$deb" "$scratch/root"
got=$(env -i ZOR_CONFIG="$scratch/zor.ini" "$scratch/root/usr/bin/zor" --version)
if [ "$got" != "zor $version" ]; then
  echo "the packaged zor --version printed \"$got\""
  status=1
fi
if [ -n "$py" ]; then
  got=$(env -i ZOR_CONFIG="$scratch/zor.ini" PYTHONPATH="$scratch/root/usr/lib/python3/dist-packages" /usr/bin/python3 -c \
    'import zor; d = zor.Loopback(); d.write(b"ok"); print(d.read(2, timeout=5).decode())' 2>&1)
  [ "$got" = ok ] || { echo "the packaged module answered \"$got\""; status=1; }
fi
[ "$status" = 0 ] && echo "$(basename "$deb"): $(wc -l <"$scratch/files") entries; Depends: $depends"
exit "$status"
