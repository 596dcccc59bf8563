#!/bin/sh
# Installs the Debian packages the build and the tests need, when missing.
# Runs as root (or through sudo when available).
set -eu

# The build (cmake, a C++20 compiler; GMP, libarchive, zlib, liblzma and nlohmann-json for
# iicheck), the tests (GoogleTest, MPFR, GMP), the
# benchmarks, the Python binding (NumPy, SciPy, pytest, mypy for its type
# hints, pip and venv), the
# Java binding (a JDK and JNA) and the Debian package (file and dpkg-dev for
# its dependencies).
PACKAGES="cmake make g++ clang binutils pkg-config file dpkg-dev python3 libgtest-dev
    libbenchmark-dev libmpfr-dev libgmp-dev libarchive-dev zlib1g-dev liblzma-dev nlohmann-json3-dev python3-numpy python3-scipy python3-pytest
    python3-setuptools python3-pip python3-venv python3-mypy default-jdk-headless libjna-java"

missing=""
for package in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $package"
    fi
done

if [ -n "$missing" ]; then
    echo "Installing:$missing"
    if [ "$(id -u)" -eq 0 ]; then
        SUDO=""
    else
        SUDO="sudo"
    fi
    $SUDO apt-get update
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends $missing
fi
