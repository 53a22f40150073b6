# The Debian packages each job needs, and the step that installs the missing
# ones. Sourced by scripts/main-job, scripts/test, scripts/fuzz,
# scripts/device-build, scripts/package and .ci/run:
#
#   source scripts/lib/packages.sh
#   require_packages "${test_packages[@]}"
#
# Every package a job uses is named, and apt installs without Recommends, so
# nothing works only because a recommended package happened to come along
# (cmake merely recommends make, and clang the libFuzzer and sanitizer
# runtimes). The base system's required packages (coreutils, findutils,
# util-linux's setpriv, dash) are always there and are not named.

# The main job: tarvel alone (with the Unicorn CPU emulator, which runs the
# handheld's ARM program for --exe), and tools/make-sample-device.py
# (Python's standard library only).
main_job_packages=(cmake make gcc g++ python3 libunicorn-dev)
# The handheld's program (cross/wince-arm): the ARM compiler and binutils,
# llvm-rc for its resources, Python for its import tables, PE writer and
# checker.
handheld_packages=(gcc-arm-none-eabi binutils-arm-none-eabi llvm python3)
# The tests: the suite with g++ and with clang under the sanitizers, the
# libFuzzer target, GoogleTest with GoogleMock; the emulated device's tests
# run tools/make-sample-device.py too, and strace to make a lock or a
# replace fail where the host cannot be made to; the handheld's program is
# built for the tests that run it on the emulated ARM processor.
test_packages=("${main_job_packages[@]}" clang libclang-rt-14-dev libgtest-dev libgmock-dev strace
               "${handheld_packages[@]}")
# The device builds: the handheld's program, and 32-bit Windows by mingw-w64
# (compiler, windres, dlltool, objdump).
device_build_packages=("${handheld_packages[@]}" g++-mingw-w64-i686 binutils-mingw-w64-i686)
# The Debian package: cpack's DEB generator finds the shared-library
# dependencies with dpkg-shlibdeps (dpkg-dev) and looks at the binary with
# file; lintian judges the package; man-db and mandoc format the manual page;
# the package carries the handheld's program, which scripts/package also
# puts in a zip.
package_packages=("${main_job_packages[@]}" dpkg-dev file binutils lintian man-db mandoc
                  "${handheld_packages[@]}" zip)
# CI runs all of them but the main job.
ci_packages=("${test_packages[@]}" "${device_build_packages[@]}" "${package_packages[@]}")

# Installs whichever of the named packages is not installed: as root with
# apt-get (its lists updated first, no questions asked); anyone else gets the
# one command that would install them, on stderr, and status 2 before
# anything is built.
require_packages() {
  if ! command -v dpkg-query >/dev/null; then
    # Not Debian: the packages' names mean nothing here, so the build itself
    # tells what is missing.
    echo "$0: not a Debian system; this needs the equivalents of: $*" >&2
    return 0
  fi
  local missing=() package
  local -A named=()
  for package in "$@"; do
    # A package that two lists name is looked at once.
    [ -n "${named[$package]:-}" ] && continue
    named[$package]=1
    # Installed means dpkg's status "install ok installed", not a file that
    # happens to be there: a removed package may leave its files behind.
    [ "$(dpkg-query -W -f='${db:Status-Abbrev}' "$package" 2>/dev/null)" = "ii " ] ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "$0: Debian packages missing; as root, run:" >&2
    echo "apt-get install --no-install-recommends ${missing[*]}" >&2
    exit 2
  fi
  echo "== installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -q -y --no-install-recommends "${missing[@]}"
}
