#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# SPDX-FileCopyrightText: 2026 The krm59340 developers
# Installs the Debian 12 packages the build needs, only those that are missing (through sudo when not root).
# dpkg-dev and file: CPack asks dpkg-shlibdeps for the .deb's library dependencies and uses file to find
# the binaries. clang-14 and libclang-rt-14-dev: libFuzzer for the targets in fuzz/ (GCC has no fuzzer).
# lintian: Debian's checks of the built package. appstream and desktop-file-utils: appstreamcli and
# desktop-file-validate, the checks of the metainfo and the desktop entry. groff-base and man-db: groff renders
# the manual pages in the suite, man reads the installed one. sigrok-cli: a logic analyser's I2C decoder, the
# tests' judge of what the bus trace shows. xvfb, xauth and x11-utils: a virtual X server for the tests and
# benchmarks that need a real one (a lost display, the desktop's ping); pkg-config, libxcb1-dev and
# libxcb-xtest0-dev: the benchmark that pings the window and drags a slider through X. libftdi1-dev and
# libusb-1.0-0-dev: the FTDI port's synchronous bit-bang (libftdi sets the adapter up, libusb carries the
# transfers). linux-libc-dev: the kernel's i2c-dev interface (linux/i2c.h, linux/i2c-dev.h) for the kernel
# I2C adapter path. umockdev and libumockdev-dev: the emulated FTDI adapters and /dev/i2c-N the tests and
# benchmarks of those paths drive (under umockdev-wrapper); i2c-tools: i2cdetect and i2ctransfer,
# independent clients of the I2C emulation, and the udev rule and group i2c that the permission test
# expects.
set -euo pipefail

packages=(g++ make cmake qt6-base-dev libgl-dev libgtest-dev libbenchmark-dev
          dpkg-dev file clang-14 libclang-rt-14-dev lintian appstream desktop-file-utils groff-base man-db
          sigrok-cli xvfb xauth x11-utils pkg-config libxcb1-dev libxcb-xtest0-dev
          libftdi1-dev libusb-1.0-0-dev linux-libc-dev umockdev libumockdev-dev i2c-tools)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
