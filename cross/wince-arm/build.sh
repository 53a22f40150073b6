#!/usr/bin/env bash
# Builds the handheld's program: the device code for Windows CE on ARM
# (ARMv4, ARM mode, so StrongARM and XScale both run it), with Debian's
# arm-none-eabi compiler and binutils, into an ELF image laid out for the
# image base by tarvel.ld, then written as a Windows CE PE image by
# elf2pe.py and checked by check_pe.py.
#
# Usage: cross/wince-arm/build.sh OUTPUT_FOLDER
# Output: OUTPUT_FOLDER/tarvel.exe (and its tarvel.elf, for the checks).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
out=$1
mkdir -p "$out"
image_base=0x10000

# The ABI points: WCHAR is 16 bits (char16_t; -fshort-wchar for wchar_t
# too), enums are full words as on Windows CE (arm-none-eabi shrinks them
# by default), no exceptions, RTTI or unwind tables, no thread-safe statics
# (they would call the C runtime), no library of the compiler's.
flags=(-std=c++11 -pedantic -Wall -Wextra -Werror -nostdinc++ -ffreestanding
       -marm -march=armv4 -mfloat-abi=soft -fshort-wchar -fno-short-enums
       -fno-exceptions -fno-rtti -fno-unwind-tables -fno-asynchronous-unwind-tables
       -fno-threadsafe-statics -fno-use-cxa-atexit -O2 -I "$top/src/device_api")
# The device program is every source of src/device_program, so a file added
# there is built here too.
sources=("$top"/src/device_program/*/*.cpp "$here/start.cpp" "$here/divide.cpp"
         "$top/cross/layout_check.cpp" "$here/find_record_check.cpp")
objects=()
for source in "${sources[@]}"; do
  object="$out/$(basename "${source%.cpp}").o"
  arm-none-eabi-g++ "${flags[@]}" -c "$source" -o "$object"
  objects+=("$object")
done
python3 "$here/imports.py" "$top/src/device_api" "$image_base" "$out/imports.S"
arm-none-eabi-as -march=armv4 --fatal-warnings "$out/imports.S" -o "$out/imports.o"
objects+=("$out/imports.o")

# Icon group 101 from the same resource script as every build. Its
# <windows.h> is needed only for LANG_ENGLISH and SUBLANG_ENGLISH_US, so the
# script is preprocessed (by the cross compiler's preprocessor) against a
# stand-in that defines just those, then compiled by llvm-rc. llvm-rc takes
# "/c", "/d", "/i", "/l", "/u"... as options too, so an absolute path such as
# /ci/... would be read as one: "--" ends the options before the input.
mkdir -p "$out/rc-include"
printf '#define LANG_ENGLISH 9\n#define SUBLANG_ENGLISH_US 1\n' >"$out/rc-include/windows.h"
arm-none-eabi-gcc -E -P -x c -nostdinc -I "$out/rc-include" "$top/resources/tarvel.rc" \
  -o "$out/tarvel.rc"
llvm-rc -no-preprocess -I "$top/resources" -fo "$out/tarvel.res" -- "$out/tarvel.rc"

arm-none-eabi-ld -T "$here/tarvel.ld" --emit-relocs --fatal-warnings --no-warn-rwx-segments \
  -nostdlib -o "$out/tarvel.elf" "${objects[@]}"
python3 "$here/elf2pe.py" "$out/tarvel.elf" "$out/tarvel.res" "$out/tarvel.exe"
python3 "$here/check_pe.py" "$out/tarvel.exe" "$out/tarvel.elf" "$top/src/device_api"
