#!/usr/bin/env bash
# Builds the loader tests' driver images with the cross toolchain and the
# flags windows/build-sys.sh builds vetrona.sys with.
#
#   tests/loader/build-images.sh OUT_DIR
#
# basic.sys   tests/loader/basic.cpp, the Windows guarded copy, a routine left
#             out of the control-flow guard table (unlisted.s), the image's
#             load-configuration record
# missing.sys imports a routine the model does not export
#
# Environment as for build-sys.sh: MINGW_PREFIX, CLANGXX, VETRONA_LLD.
set -euo pipefail

out=${1:?usage: build-images.sh OUT_DIR}
src=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
here=$src/tests/loader
prefix=${MINGW_PREFIX:-x86_64-w64-mingw32}
clangxx=${CLANGXX:-clang++-16}
lld=${VETRONA_LLD:-lld-16}

ntoskrnl=$("$prefix-gcc" -print-file-name=libntoskrnl.a)
include=$(cd "$(dirname "$ntoskrnl")/../include" && pwd)
mkdir -p "$out/obj"

# What build-sys.sh compiles the driver with.
flags=(--target="$prefix" -mguard=cf -fms-extensions -funwind-tables -isystem "$include"
       -std=c++17 -DVETRONA_TARGET_WINDOWS "-I$src" -isystem "$include/ddk"
       -O2 -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-common -fno-strict-aliasing
       -fno-stack-protector -mno-red-zone -mno-stack-arg-probe -Wframe-larger-than=1024
       -Wall -Wextra -Werror -Wno-multichar -Wshadow -Wconversion -Wno-sign-conversion)
link=(--target="$prefix" "-fuse-ld=$lld" -nostdlib -s
      -Wl,--subsystem,native:10.0 -Wl,--entry,DriverEntry -Wl,--image-base,0x140000000
      -Wl,--dynamicbase -Wl,--nxcompat -Wl,--high-entropy-va -Wl,--no-insert-timestamp
      -Wl,-Xlink=-integritycheck -Wl,--disable-tsaware -Wl,-Xlink=-release -Wl,--guard-cf
      -Wl,--disable-auto-import -Wl,--disable-runtime-pseudo-reloc)

"$prefix-dlltool" -m i386:x86-64 -d "$here/ntoskrnl.def" -D ntoskrnl.exe -l "$out/obj/libtestntoskrnl.a"
"$prefix-dlltool" -m i386:x86-64 -d "$here/hal.def" -D HAL.dll -l "$out/obj/libtesthal.a"

"$clangxx" "${flags[@]}" -c "$here/basic.cpp" -o "$out/obj/basic.o"
"$clangxx" "${flags[@]}" -c "$src/platform/guarded_copy_windows.cpp" -o "$out/obj/guarded_copy.o"
"$clangxx" "${flags[@]}" -c "$here/missing.cpp" -o "$out/obj/missing.o"
"$clangxx" --target="$prefix" -c "$here/unlisted.s" -o "$out/obj/unlisted.o"
"$clangxx" --target="$prefix" -c "$src/windows/load_config.s" -o "$out/obj/load_config.o"

"$clangxx" "${link[@]}" -o "$out/basic.sys" "$out/obj/basic.o" "$out/obj/guarded_copy.o" "$out/obj/unlisted.o" \
  "$out/obj/load_config.o" "-L$out/obj" -ltestntoskrnl
"$clangxx" "${link[@]}" -o "$out/missing.sys" "$out/obj/missing.o" "$out/obj/load_config.o" \
  "-L$out/obj" -ltestntoskrnl -ltesthal
