#!/usr/bin/env bash
# Cross-builds the driver image vetrona.sys with control-flow guard and checks it.
#
#   windows/build-sys.sh [-j N] [-v] [--no-self-test]
#
# Compiles every driver source (driver/ channel/ filemon/ regmon/ procmon/ and the
# Windows guarded copy) with clang 16 for the mingw-w64 target and the kernel
# flags, links build/windows/vetrona.sys with lld 16 and the image's own
# load-configuration record (windows/load_config.s), runs windows/check-image.py
# on it and the INF, then the checker's own tests (windows/test_check_image.py;
# --no-self-test skips them), builds vetrona-client.exe and the client's shared tests
# (vetrona-client-tests.exe, run under Wine when it is installed) and puts the installable
# folder together in build/windows/package. All sources are compiled even when
# one fails, so one run shows every error. Exits non-zero on any failure.
# Installs the cross toolchain first where it is missing (scripts/deps.sh windows).
#
# Environment: VETRONA_SOURCE_DIR (default: this repository), VETRONA_WINDOWS_OUT
# (default: <source>/build/windows), MINGW_PREFIX (default: x86_64-w64-mingw32),
# CLANGXX (default: clang++-16), VETRONA_LLD (default: lld-16).
set -uo pipefail

script_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
src=${VETRONA_SOURCE_DIR:-$(dirname "$script_dir")}
out=${VETRONA_WINDOWS_OUT:-$src/build/windows}
prefix=${MINGW_PREFIX:-x86_64-w64-mingw32}
clangxx=${CLANGXX:-clang++-16}
lld=${VETRONA_LLD:-lld-16}
jobs=2
verbose=0
self_test=1
while (($#)); do
  case $1 in
    -j) jobs=$2; shift 2 ;;
    -j*) jobs=${1#-j}; shift ;;
    -v) verbose=1; shift ;;
    --no-self-test) self_test=0; shift ;;
    -h|--help) sed -n '2,20p' "$0"; exit 0 ;;
    *) echo "build-sys: unknown argument $1" >&2; exit 2 ;;
  esac
done

started=$(date +%s.%N)
fail() { echo "build-sys: $*" >&2; exit 1; }

# The cross toolchain, installed where it is missing (as the run and test
# commands install theirs). Skipped when the tools are named from outside.
if [[ -z ${MINGW_PREFIX:-}${CLANGXX:-}${VETRONA_LLD:-} ]]; then
  "$script_dir/../scripts/deps.sh" windows >&2 || fail "could not install the cross toolchain (scripts/deps.sh windows)"
fi

for tool in "$prefix-g++" "$prefix-dlltool" "$prefix-nm" "$clangxx" "$lld" python3; do
  command -v "$tool" >/dev/null 2>&1 || fail "$tool not found (scripts/deps.sh installs the toolchain)"
done

# The toolchain's own libraries and driver-kit headers.
toolchain_ntoskrnl=$("$prefix-gcc" -print-file-name=libntoskrnl.a)
[[ -f $toolchain_ntoskrnl ]] || fail "the toolchain has no libntoskrnl.a"
toolchain_lib=$(cd "$(dirname "$toolchain_ntoskrnl")" && pwd)
toolchain_include=$(cd "$toolchain_lib/../include" && pwd)
[[ -f $toolchain_include/ddk/ntifs.h ]] || fail "no ddk/ntifs.h under $toolchain_include"

launcher=()
if command -v ccache >/dev/null 2>&1; then launcher=(ccache); fi

mkdir -p "$out/obj" "$out/lib" || fail "cannot create $out"

# --- import libraries ---------------------------------------------------------
# FLTMGR.SYS: the toolchain has none. ntoskrnl.exe: the toolchain's list plus the
# routines it lacks, as one library, so the image has a single ntoskrnl.exe entry.
build_import_libs() {
  local fltmgr_lib=$out/lib/libfltmgr.a ntos_lib=$out/lib/libntoskrnl.a ntos_def=$out/lib/ntoskrnl.def
  if [[ ! -f $fltmgr_lib || $src/windows/fltmgr.def -nt $fltmgr_lib ]]; then
    "$prefix-dlltool" -m i386:x86-64 -d "$src/windows/fltmgr.def" -D FLTMGR.SYS -l "$fltmgr_lib" ||
      return 1
  fi
  if [[ ! -f $ntos_lib || $src/windows/ntoskrnl-extra.def -nt $ntos_lib || $toolchain_ntoskrnl -nt $ntos_lib ]]; then
    local symbols
    symbols=$("$prefix-nm" "$toolchain_ntoskrnl" 2>/dev/null) || return 1
    {
      echo "LIBRARY ntoskrnl.exe"
      echo "EXPORTS"
      # A routine has a thunk (T) and an import slot (I); data has only the slot.
      awk '
        $2 == "T" { code[$3] = 1 }
        $2 == "I" && $3 ~ /^__imp_/ { name = substr($3, 7); slot[name] = 1 }
        END { for (n in slot) print n (n in code ? "" : " DATA") }' <<<"$symbols"
      sed -n '/^EXPORTS/,$p' "$src/windows/ntoskrnl-extra.def" | grep -v -e '^EXPORTS' -e '^;' -e '^[[:space:]]*$'
    } | awk 'NR <= 2 || !seen[$1]++' >"$ntos_def" || return 1
    "$prefix-dlltool" -m i386:x86-64 -d "$ntos_def" -D ntoskrnl.exe -l "$ntos_lib" || return 1
  fi
}
build_import_libs || fail "could not build the import libraries"

# --- compile ------------------------------------------------------------------
common_flags=(
  -std=c++17 -DVETRONA_TARGET_WINDOWS "-I$src" -isystem "$toolchain_include/ddk"
  -O2 -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-common -fno-strict-aliasing
  -fno-stack-protector -mno-red-zone -mno-stack-arg-probe -Wframe-larger-than=1024
  -Wall -Wextra -Werror -Wno-multichar -Wshadow -Wconversion -Wno-sign-conversion
)
# clang for every source: the guarded copy needs __try/__except, which g++ does not
# accept, and -mguard=cf (control-flow guard: indirect calls go through the
# dispatch pointer, address-taken functions are listed for the linker) exists
# only in clang. -funwind-tables keeps the .pdata the kernel's exception
# dispatch walks.
clang_flags=(--target="$prefix" -mguard=cf -fms-extensions -funwind-tables -isystem "$toolchain_include"
             "${common_flags[@]}")

shopt -s nullglob
sources=()
for dir in driver channel filemon regmon procmon; do
  for file in "$src/$dir"/*.cpp; do sources+=("${file#"$src"/}"); done
done
sources+=(platform/guarded_copy_windows.cpp windows/load_config.s)
shopt -u nullglob

rm -f "$out"/obj/*.o "$out"/obj/*.log "$out/vetrona.sys"

object_name() { local rel=${1%.cpp}; tr '/' '_' <<<"${rel%.s}"; }

compile_one() {
  local rel=$1 obj log
  obj=$out/obj/$(object_name "$rel").o
  log=${obj%.o}.log
  if [[ $rel == *.s ]]; then
    "$clangxx" --target="$prefix" -c "$src/$rel" -o "$obj" >"$log" 2>&1
  else
    "${launcher[@]}" "$clangxx" "${clang_flags[@]}" -c "$src/$rel" -o "$obj" >"$log" 2>&1
  fi
  local status=$?
  if ((status != 0)); then
    echo "FAILED $rel" >>"$log"
    return 1
  fi
  ((verbose)) && echo "compiled $rel"
  return 0
}

running=0
pids=()
for rel in "${sources[@]}"; do
  compile_one "$rel" &
  pids+=($!)
  ((++running >= jobs)) && { wait -n; ((running--)); }
done
wait

failed=()
for rel in "${sources[@]}"; do
  log=$out/obj/$(object_name "$rel").log
  if grep -q '^FAILED ' "$log" 2>/dev/null; then
    failed+=("$rel")
    sed '$d' "$log" >&2
  elif [[ -s $log ]]; then
    cat "$log" >&2
  fi
done
if ((${#failed[@]})); then
  fail "${#failed[@]} of ${#sources[@]} source(s) failed to compile: ${failed[*]}"
fi

# --- header parity ---------------------------------------------------------------
# Names the simulated kernel offers the driver should exist on Windows too; one
# that does not will break this build as soon as driver code uses it. Reported,
# not fatal: the compile above is the judge.
report_missing_names() {
  local probe=$out/parity.cpp names reachable
  echo '#include "platform/kernel.h"' >"$probe"
  names=$(cat "$src"/sim/public/*.h 2>/dev/null |
    grep -oE '^#define [A-Za-z_][A-Za-z0-9_]*|\b[A-Za-z_][A-Za-z0-9_]*\(|\}\s*[A-Z_][A-Za-z0-9_]*;|typedef [^;(]*[ *]([A-Za-z_][A-Za-z0-9_]*);' |
    sed -E 's/^#define //; s/\($//; s/^\}\s*//; s/;$//; s/^typedef .*[ *]//' | sort -u)
  reachable=$( { "$clangxx" "${clang_flags[@]}" -E "$probe" | grep -oE '[A-Za-z_][A-Za-z0-9_]*'
                 "$clangxx" "${clang_flags[@]}" -E -dM "$probe" | awk '{ sub(/\(.*/, "", $2); print $2 }'; } | sort -u)
  comm -23 <(echo "$names") <(echo "$reachable") | grep -v -x -e format -e '' | tr '\n' ' '
}
missing=$(report_missing_names 2>/dev/null)
if [[ -n $missing ]]; then
  echo "note: declared by sim/public but not by the Windows headers (add them to windows/wdk.h): $missing" >&2
fi

# --- link ---------------------------------------------------------------------
objects=()
for rel in "${sources[@]}"; do objects+=("$out/obj/$(object_name "$rel").o"); done
link_flags=(
  --target="$prefix" "-fuse-ld=$lld" -nostdlib -s
  -Wl,--subsystem,native:10.0 -Wl,--entry,DriverEntry -Wl,--image-base,0x140000000
  -Wl,--dynamicbase -Wl,--nxcompat -Wl,--high-entropy-va -Wl,--no-insert-timestamp
  # lld's MinGW driver has no --forceinteg: its COFF options set FORCE_INTEGRITY, clear
  # the terminal-server bit it sets by default and write the checksum (-release).
  -Wl,-Xlink=-integritycheck -Wl,--disable-tsaware -Wl,-Xlink=-release
  # Control-flow guard: the table of valid call targets, hung on _load_config_used.
  -Wl,--guard-cf
  # Data imported without dllimport would need the user-mode runtime's pseudo-relocation
  # pass, which nothing runs in a driver: make it a link error instead.
  -Wl,--disable-auto-import -Wl,--disable-runtime-pseudo-reloc
  "-Wl,-Map,$out/vetrona.map"
)
if ! "$clangxx" "${link_flags[@]}" -o "$out/vetrona.sys" "${objects[@]}" \
     "-L$out/lib" -lfltmgr -lntoskrnl -lhal >"$out/link.log" 2>&1; then
  cat "$out/link.log" >&2
  fail "link failed"
fi

# --- check --------------------------------------------------------------------
# The driver's version has one source, the text it answers the version request
# with; the INF's DriverVer must carry the same.
driver_version=$(sed -n 's/^#define VETRONA_VERSION_TEXT "\([0-9.]*\)"$/\1/p' "$src/channel/wire.h")
[[ -n $driver_version ]] || fail "no VETRONA_VERSION_TEXT in channel/wire.h"
python3 "$src/windows/check-image.py" "$out/vetrona.sys" --expect-guard --inf "$src/windows/vetrona.inf" \
  --driver-version "$driver_version" --objects "${objects[@]}" || fail "image check failed"

# --- the checker's own tests ---------------------------------------------------
if ((self_test)); then
  if ! python3 "$src/windows/test_check_image.py" >"$out/self-test.log" 2>&1; then
    cat "$out/self-test.log" >&2
    fail "the image checker's tests failed"
  fi
  echo "check-image self-test: $(grep -E '^Ran ' "$out/self-test.log"), OK"
fi

# --- the client -----------------------------------------------------------------
# vetrona-client for Windows: the same client sources, with the back end that
# talks to the real driver through the filter library and DeviceIoControl.
# Its argument parser and JSON library are header-only; only their own headers are put on the
# cross-compiler's path (the host's /usr/include is not for Windows). wmain
# takes the wide command line.
client_sources=("$src"/client/lib/*.cpp "$src"/client/lib/windows/*.cpp "$src/client/main.cpp")
mkdir -p "$out/client-include"
ln -sfn /usr/include/CLI "$out/client-include/CLI"
ln -sfn /usr/include/nlohmann "$out/client-include/nlohmann"
if ! "$prefix-g++" -std=c++20 -O2 -Wall -Wextra -Werror -municode "-I$src" "-I$out/client-include" "${client_sources[@]}" -static \
     -o "$out/vetrona-client.exe" -lfltlib -lbcrypt >"$out/client.log" 2>&1; then
  cat "$out/client.log" >&2
  fail "vetrona-client.exe did not build"
fi
client_dlls=$("$prefix-objdump" -p "$out/vetrona-client.exe" | awk '/DLL Name:/ { print $3 }' | sort | tr '\n' ' ')
echo "vetrona-client.exe: $(stat -c %s "$out/vetrona-client.exe") bytes, imports: $client_dlls"
case " $client_dlls " in
  *" FLTLIB.DLL "*) ;;
  *) fail "vetrona-client.exe does not use the filter library" ;;
esac

# --- the client's shared code under the Linux tests, on Windows --------------------
# The tests of the client code both platforms share (the policy, the names a person
# reads, the report, the client's record of events) built with the Windows back end
# into vetrona-client-tests.exe, with GoogleTest compiled from the sources Debian ships
# in libgtest-dev, and run under Wine (scripts/deps.sh installs wine64; without it the
# tests are built and not run).
gtest_src=/usr/src/googletest/googletest
[[ -f $gtest_src/src/gtest-all.cc ]] || fail "no GoogleTest sources in $gtest_src (libgtest-dev)"
# GoogleTest needs std::mutex, which the toolchain's win32 thread model lacks: the tests
# are built with the same compiler in its POSIX thread model (winpthreads, linked in).
tests_cxx=$prefix-g++-posix
command -v "$tests_cxx" >/dev/null 2>&1 || fail "$tests_cxx not found (scripts/deps.sh installs g++-mingw-w64-x86-64-posix)"
gtest_flags=("-I$gtest_src/include")
mkdir -p "$out/gtest"
for unit in gtest-all gtest_main; do
  if [[ ! -f $out/gtest/$unit.o || $gtest_src/src/$unit.cc -nt $out/gtest/$unit.o ]]; then
    "${launcher[@]}" "$tests_cxx" -std=c++20 -O1 "${gtest_flags[@]}" "-I$gtest_src" -c "$gtest_src/src/$unit.cc" \
      -o "$out/gtest/$unit.o" >"$out/gtest/$unit.log" 2>&1 || { cat "$out/gtest/$unit.log" >&2; fail "GoogleTest did not build for Windows"; }
  fi
done
client_tests=("$src/tests/client/client_policy_test.cpp" "$src/tests/client/report_shared_test.cpp")
mkdir -p "$out/client-tests"
test_objects=()
for file in "${client_tests[@]}" "$src"/client/lib/*.cpp "$src"/client/lib/windows/*.cpp; do
  rel=${file#"$src"/}
  obj=$out/client-tests/$(tr '/' '_' <<<"${rel%.cpp}").o
  if ! "${launcher[@]}" "$tests_cxx" -std=c++20 -O1 -Wall -Wextra -Werror -Wno-unused-parameter "-I$src" \
       "-I$out/client-include" "${gtest_flags[@]}" -c "$file" -o "$obj" >"$out/client-tests.log" 2>&1; then
    cat "$out/client-tests.log" >&2
    fail "$rel did not build for the Windows client's tests"
  fi
  test_objects+=("$obj")
done
if ! "$tests_cxx" "${test_objects[@]}" "$out/gtest/gtest-all.o" "$out/gtest/gtest_main.o" -static \
     -o "$out/vetrona-client-tests.exe" -lfltlib -lbcrypt >"$out/client-tests.log" 2>&1; then
  cat "$out/client-tests.log" >&2
  fail "vetrona-client-tests.exe did not link"
fi
wine=$(command -v wine64 || { [[ -x /usr/lib/wine/wine64 ]] && echo /usr/lib/wine/wine64; } || true)
if [[ -n $wine ]]; then
  mkdir -p "$out/wine"
  if ! WINEPREFIX="$(cd "$out/wine" && pwd)" WINEDEBUG=-all timeout 300 "$wine" "$out/vetrona-client-tests.exe" --gtest_brief=1 \
       >"$out/client-tests-run.log" 2>&1; then
    cat "$out/client-tests-run.log" >&2
    fail "vetrona-client-tests.exe failed under Wine"
  fi
  echo "vetrona-client-tests.exe under Wine: $(grep -E '^\[  PASSED  \]' "$out/client-tests-run.log" | tr -s ' ')"
else
  echo "vetrona-client-tests.exe built; not run: no Wine (scripts/deps.sh installs wine64)"
fi

# --- the installable folder -------------------------------------------------------
# What a test machine needs: the image, its INF, the client and a first policy. The catalog and
# the signatures are made on Windows (windows/README.md).
package=$out/package
rm -rf "$package"
mkdir -p "$package" || fail "cannot create $package"
cp "$out/vetrona.sys" "$src/windows/vetrona.inf" "$out/vetrona-client.exe" "$src/windows/test-policy.yaml" "$package/" ||
  fail "cannot fill $package"
echo "package $package (driver version $driver_version):"
(cd "$package" && for file in *; do printf '  %-20s %9d bytes  sha256 %s\n' "$file" "$(stat -c %s "$file")" \
  "$(sha256sum "$file" | cut -c1-16)"; done)

elapsed=$(awk -v a="$started" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
echo "build-sys: ${#sources[@]} sources -> $out/vetrona.sys ($(stat -c %s "$out/vetrona.sys") bytes) in ${elapsed}s"
