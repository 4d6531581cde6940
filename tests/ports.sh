#!/usr/bin/env bash
# Cross-builds hexcat for each port named (cmake/ports.cmake) and tests it
# under qemu-user (i386 natively where the kernel runs it): the whole suite
# (the file past 4 GiB included), checking that the tool chooses the port's
# line kernel; the port's system-call filter evaluated on every call its tool
# made in the tests, traced by qemu -strace; where the port's baseline lacks that kernel's vector unit, the
# whole suite again on a qemu processor without it, where the tool must choose
# the portable kernel; the fuzz target (tests/fuzz_lines.cpp, which compares
# every kernel that runs with the reference formatter) built as its replay
# driver, with UndefinedBehaviorSanitizer where the cross compiler has its
# runtime, run over tests/corpus and the folder HEXCAT_FUZZ_CORPUS names (CI
# passes the corpus its fuzzer grew) under qemu (i386 too), and again without
# the vector unit; lintian on the Debian package where the target's C library
# is installed for the package's dependency scan, and a static binary. Needs
# the cross compilers, qemu-user and the target libraries (.ci/run installs
# them), and a tested native build in build/release to compare the static
# binaries with. Prints a line per port with its tests run and skipped, the
# inputs replayed and the kernels they were compared on, and its time.
# With HEXCAT_ARTEFACTS=FOLDER, each port's package and static binary
# (hexcat-VERSION-ARCH-static) are kept there.
# Usage: [HEXCAT_FUZZ_CORPUS=FOLDER] [HEXCAT_ARTEFACTS=FOLDER] tests/ports.sh ARCH...
set -euo pipefail
# The fuzz inputs replayed on every port.
corpus=(tests/corpus)
if [ -n "${HEXCAT_FUZZ_CORPUS:-}" ]; then
  [ -d "$HEXCAT_FUZZ_CORPUS" ] || { echo "FAIL: HEXCAT_FUZZ_CORPUS=$HEXCAT_FUZZ_CORPUS is no folder"; exit 1; }
  corpus+=("$(realpath "$HEXCAT_FUZZ_CORPUS")")
fi
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
  rm -rf "$build" "$build-static" "$build-fuzz"
  echo "== $arch ($triple): cross-built, then every test"
  cmake -S . -B "$build" --toolchain cmake/cross.cmake -DHEXCAT_ARCH="$arch" -DHEXCAT_WERROR=ON >"$scratch/log"
  grep -m1 -- '-- Cross-building' "$scratch/log" || true
  natively=$(grep -c 'programs run natively' "$scratch/log" || true)
  cmake --build "$build" >>"$scratch/log" || { cat "$scratch/log"; exit 1; }
  # The kernel the tool should choose here, for the test that checks it.
  expect=()
  [ "$kernel" = - ] || expect=(HEXCAT_EXPECT_KERNEL="$kernel")
  env "${expect[@]}" ctest --test-dir "$build" --output-on-failure | tee "$scratch/ctest" |
    grep -vE '^ *(Start|[0-9]+/[0-9]+ Test) '
  run=$(sed -n 's/^100% tests passed, 0 tests failed out of \([0-9]*\)$/\1/p' "$scratch/ctest")
  skipped=$(sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (Skipped)$/\1/p' "$scratch/ctest" | paste -sd, -)
  if [ "$natively" = 0 ]; then
    # qemu-user refuses a guest's system-call filter, so the port's filter
    # is run on the calls its tool makes instead: the tool's tests again
    # under qemu -strace, a log per process (the unprivileged user's too),
    # then the filter, evaluated on every call each run made after it would
    # have been installed. Natively (i386) the kernel applies it for real.
    echo "== $arch: the system-call filter on every call of the tool's tests (qemu -strace)"
    # The unprivileged user's runs write their logs there too.
    chmod o+x "$scratch"
    mkdir -m 1777 "$scratch/trace-$arch"
    QEMU_STRACE=1 QEMU_LOG_FILENAME="$scratch/trace-$arch/%d" ctest --test-dir "$build" -R '^Cli[.]' \
      >"$scratch/log" || { cat "$scratch/log"; exit 1; }
    HEXCAT_TRACE="$scratch/trace-$arch" ctest --test-dir "$build" -R '^Confine[.]TheFilterPassesEveryCallTheToolMade$' \
      --output-on-failure -V >"$scratch/log" || { cat "$scratch/log"; exit 1; }
    traced=$(sed -n 's/.*\] \([0-9]* runs of the tool, [0-9]* calls\) after confinement$/\1/p' "$scratch/log")
    [ -n "$traced" ] || { cat "$scratch/log"; echo "FAIL: $arch: no trace evaluated"; exit 1; }
    rm -rf "$scratch/trace-$arch"
    filtered="; filter passed $traced"
  else
    filtered="; filter applied by the kernel"
  fi
  fallback=""
  if [ "$bare" != - ]; then
    echo "== $arch: every test again on a processor without the vector unit ($qemu -cpu $bare)"
    QEMU_CPU=$bare HEXCAT_EXPECT_KERNEL=portable ctest --test-dir "$build" --output-on-failure |
      tee "$scratch/ctest" | grep -vE '^ *(Start|[0-9]+/[0-9]+ Test) '
    again=$(sed -n 's/^100% tests passed, 0 tests failed out of \([0-9]*\)$/\1/p' "$scratch/ctest")
    [ -n "$again" ] || { echo "FAIL: $arch without its vector unit"; exit 1; }
    fallback="; again without the vector unit ($bare): $again passed"
  fi

  echo "== $arch: the fuzz target's replay of ${corpus[*]}"
  # With UndefinedBehaviorSanitizer where the cross compiler links a
  # program with it (armel's runtime needs libatomic for 64-bit atomics;
  # riscv64 and the mips ports have no runtime).
  sanitizer=()
  checks=""
  for libs in "" -latomic; do
    if echo 'int main() {}' | "$triple-g++" -x c++ -fsanitize=undefined - $libs -o "$scratch/probe" 2>/dev/null; then
      sanitizer=("-DCMAKE_CXX_FLAGS=-fsanitize=undefined -fno-sanitize-recover=all" "-DCMAKE_EXE_LINKER_FLAGS=$libs")
      checks=" with UBSan"
      break
    fi
  done
  cmake -S . -B "$build-fuzz" --toolchain cmake/cross.cmake -DHEXCAT_ARCH="$arch" -DHEXCAT_WERROR=ON \
    -DHEXCAT_TESTS=OFF -DHEXCAT_FUZZ=ON "${sanitizer[@]}" >"$scratch/log"
  cmake --build "$build-fuzz" --target fuzz_replay >>"$scratch/log" || { cat "$scratch/log"; exit 1; }
  read -ra emulator <<<"$(cmake -P cmake/ports.cmake emulator "$arch")"
  # replay CPU KERNEL: the replay on qemu processor CPU (its default when
  # empty), whose first kernel, the tool's choice, must be KERNEL ("-": any);
  # sets inputs to the number of inputs and compared to the kernels compared.
  replay() {
    env ${1:+QEMU_CPU="$1"} "${emulator[@]}" "$build-fuzz/fuzz_replay" "${corpus[@]}" | tee "$scratch/replay" ||
      { echo "FAIL: $arch: the fuzz target's replay${1:+ on $1}"; exit 1; }
    inputs=$(sed -n 's/^fuzz_replay: \([0-9]*\) inputs .*/\1/p' "$scratch/replay")
    compared=$(sed -n 's/.*, kernels compared: //p' "$scratch/replay")
    [ "$2" = - ] || [ "${compared%% *}" = "$2" ] ||
      { echo "FAIL: $arch: the replay${1:+ on $1} chose ${compared%% *}, not $2"; exit 1; }
  }
  replay "" "$kernel"
  fuzzed="; fuzz replay$checks: $inputs inputs, kernels $compared"
  if [ "$bare" != - ]; then
    echo "== $arch: the replay again without the vector unit"
    replay "$bare" portable
    fuzzed+=", without the vector unit $compared"
  fi

  if [ -f "/lib/$multiarch/libc.so.6" ]; then
    echo "== $arch: lintian on the Debian package"
    (cd "$build" && cpack -G DEB -B "$scratch/deb-$arch" >/dev/null)
    deb=$(echo "$scratch/deb-$arch"/hexcat_*_"$arch".deb)
    echo "$(basename "$deb"): Architecture: $(dpkg-deb -f "$deb" Architecture), Depends: $(dpkg-deb -f "$deb" Depends)"
    lintian --fail-on error,warning --display-info "$deb"
    [ -z "${HEXCAT_ARTEFACTS:-}" ] || { mkdir -p "$HEXCAT_ARTEFACTS" && cp "$deb" "$HEXCAT_ARTEFACTS/"; }
    package=yes
  else
    package="none (no libc6:$arch)"
  fi

  echo "== $arch: static binary"
  cmake -S . -B "$build-static" --toolchain cmake/cross.cmake -DHEXCAT_ARCH="$arch" -DHEXCAT_WERROR=ON \
    -DHEXCAT_STATIC=ON -DHEXCAT_TESTS=OFF >"$scratch/log"
  cmake --build "$build-static" >>"$scratch/log" || { cat "$scratch/log"; exit 1; }
  tests/checkstatic.sh "$build-static/hexcat" build/release/hexcat "$qemu"
  if [ -n "${HEXCAT_ARTEFACTS:-}" ]; then
    mkdir -p "$HEXCAT_ARTEFACTS"
    cp "$build-static/hexcat" "$HEXCAT_ARTEFACTS/hexcat-$(sed -n 1p "$build-static/hexcat-version.txt")-$arch-static"
  fi
  summary+=("$arch: $run tests passed, skipped: ${skipped:-none}$filtered$fallback$fuzzed; package: $package; static: yes; $((SECONDS - start)) s")
done
echo "== ports"
printf '%s\n' "${summary[@]}"
