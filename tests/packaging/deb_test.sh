#!/bin/sh
# Builds the Debian package from the build tree, lists it, and runs the
# program from the unpacked package: its libraries must come from the
# package (through the RPATH), not from the build tree or the system.
set -eu
build=$1
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$out" >"$out/cpack.log" 2>&1 || { cat "$out/cpack.log"; exit 1; }
deb=$(ls "$out"/portico_*.deb)
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb" | tee "$out/contents"

for f in ./usr/bin/portico ./usr/libexec/portico-spawner ./usr/lib/portico/libexecutor.so ./lib/systemd/system/portico.service \
         ./etc/logrotate.d/portico ./etc/portico/portico.conf ./etc/portico/aliases/ ./etc/portico/auth/; do
  grep -q " $f\$" "$out/contents" || { echo "FAIL: $f is not in the package"; exit 1; }
done
for dep in libcurl4 libsystemd0; do
  dpkg-deb --field "$deb" Depends | grep -q "$dep" || { echo "FAIL: $dep (opened at run time) is not a dependency"; exit 1; }
done
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles | grep -qx /etc/portico/portico.conf \
  || { echo "FAIL: the configuration is not a conffile"; exit 1; }

dpkg-deb -x "$deb" "$out/root"
ldd "$out/root/usr/bin/portico" >"$out/ldd"
if grep -q 'not found' "$out/ldd" || grep 'libportico\|libexecutor' "$out/ldd" | grep -vq "$out/root/"; then
  cat "$out/ldd"
  echo "FAIL: the program does not find its libraries inside the package"
  exit 1
fi
"$out/root/usr/bin/portico" --version | grep -q '^Portico [0-9]' || { echo "FAIL: --version"; exit 1; }
echo "PASS"
