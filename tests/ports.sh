#!/usr/bin/env bash
# Cross-builds hexcat for each port named (cmake/ports.cmake) and tests it
# under qemu-user (i386 natively where the kernel runs it): the whole suite
# (the file past 4 GiB included), checking that the tool chooses the port's
# line kernel; where the port's baseline lacks that kernel's vector unit,
# the whole suite again on a qemu processor without it, where the tool must
# choose the portable kernel; lintian on the Debian package where the
# target's C library is installed for the package's dependency scan, and a
# static binary. Needs the cross compilers, qemu-user and the target
# libraries (.ci/run installs them), and a tested native build in
# build/release to compare the static binaries with. Prints a line per port
# with its tests run and skipped and its time.
# Usage: tests/ports.sh ARCH...
set -euo pipefail
cd "$(dirname "$0")/.."
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
# The ports, a line each: ARCH TRIPLE MULTIARCH PROCESSOR QEMU KERNEL BARE
table=$(cmake -P cmake/ports.cmake)
summary=()
for arch in "$@"; do
  start=$SECONDS
  read -r _ triple multiarch _ qemu kernel bare <<<"$(awk -v arch="$arch" '$1 == arch' <<<"$table")"
  [ -n "${qemu:-}" ] || { echo "FAIL: no port $arch in cmake/ports.cmake"; exit 1; }
  build=build/port-$arch
  rm -rf "$build" "$build-static"
  echo "== $arch ($triple): cross-built, then every test"
  cmake -S . -B "$build" --toolchain cmake/cross.cmake -DHEXCAT_ARCH="$arch" -DHEXCAT_WERROR=ON >"$scratch/log"
  grep -m1 -- '-- Cross-building' "$scratch/log" || true
  cmake --build "$build" >>"$scratch/log" || { cat "$scratch/log"; exit 1; }
  # The kernel the tool should choose here, for the test that checks it.
  expect=()
  [ "$kernel" = - ] || expect=(HEXCAT_EXPECT_KERNEL="$kernel")
  env "${expect[@]}" ctest --test-dir "$build" --output-on-failure | tee "$scratch/ctest" |
    grep -vE '^ *(Start|[0-9]+/[0-9]+ Test) '
  run=$(sed -n 's/^100% tests passed, 0 tests failed out of \([0-9]*\)$/\1/p' "$scratch/ctest")
  skipped=$(sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (Skipped)$/\1/p' "$scratch/ctest" | paste -sd, -)
  fallback=""
  if [ "$bare" != - ]; then
    echo "== $arch: every test again on a processor without the vector unit ($qemu -cpu $bare)"
    QEMU_CPU=$bare HEXCAT_EXPECT_KERNEL=portable ctest --test-dir "$build" --output-on-failure |
      tee "$scratch/ctest" | grep -vE '^ *(Start|[0-9]+/[0-9]+ Test) '
    again=$(sed -n 's/^100% tests passed, 0 tests failed out of \([0-9]*\)$/\1/p' "$scratch/ctest")
    [ -n "$again" ] || { echo "FAIL: $arch without its vector unit"; exit 1; }
    fallback="; again without the vector unit ($bare): $again passed"
  fi

  if [ -f "/lib/$multiarch/libc.so.6" ]; then
    echo "== $arch: lintian on the Debian package"
    (cd "$build" && cpack -G DEB -B "$scratch/deb-$arch" >/dev/null)
    deb=$(echo "$scratch/deb-$arch"/hexcat_*_"$arch".deb)
    echo "$(basename "$deb"): Architecture: $(dpkg-deb -f "$deb" Architecture), Depends: $(dpkg-deb -f "$deb" Depends)"
    lintian --fail-on error,warning --display-info "$deb"
    package=yes
  else
    package="none (no libc6:$arch)"
  fi

  echo "== $arch: static binary"
  cmake -S . -B "$build-static" --toolchain cmake/cross.cmake -DHEXCAT_ARCH="$arch" -DHEXCAT_WERROR=ON \
    -DHEXCAT_STATIC=ON -DHEXCAT_TESTS=OFF >"$scratch/log"
  cmake --build "$build-static" >>"$scratch/log" || { cat "$scratch/log"; exit 1; }
  tests/checkstatic.sh "$build-static/hexcat" build/release/hexcat "$qemu"
  summary+=("$arch: $run tests passed, skipped: ${skipped:-none}$fallback; package: $package; static: yes; $((SECONDS - start)) s")
done
echo "== ports"
printf '%s\n' "${summary[@]}"
