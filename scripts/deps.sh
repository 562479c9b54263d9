#!/usr/bin/env bash
# Installs what a fresh Debian or Ubuntu machine lacks to build Vellumar's
# programs and run the demo; with --test, also what the test suite needs
# (scripts/test.sh passes it).
#
# Usage: deps.sh [--test]
set -euo pipefail
test=false
case ${1:-} in
  --test) test=true ;;
  "") ;;
  *) echo "usage: $0 [--test]" >&2; exit 2 ;;
esac
need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v ninja >/dev/null || need+=(ninja-build)
# The demo shows the bytes it wrote.
command -v hexdump >/dev/null || need+=(bsdextrautils)
if $test; then
  command -v clang++ >/dev/null || need+=(clang)
  command -v clang-format >/dev/null || need+=(clang-format)
  command -v python3 >/dev/null || need+=(python3)
  command -v uudecode >/dev/null || need+=(sharutils)
  # Other tools' postings for msgextract, and the decoder it is held against.
  command -v uuenview >/dev/null || need+=(uudeview)
  # Kill points, and whose lock held whom.
  command -v strace >/dev/null || need+=(strace)
  # Other FidoNet software the end-to-end tests run beside vellumar.
  command -v crashmail >/dev/null || need+=(crashmail)
  # binkd, the mailer of the network test, sits in /usr/sbin (the test starts
  # its own on 127.0.0.1 with its own configuration, never the system's).
  [ -x /usr/sbin/binkd ] || command -v binkd >/dev/null || need+=(binkd)
  command -v jamnntpd >/dev/null || need+=(jamnntpd)
  # Manual pages are checked with man-db and groff; the Debian package is
  # built with dpkg-dev (dpkg-shlibdeps) and checked with lintian.
  command -v man >/dev/null || need+=(man-db)
  command -v groff >/dev/null || need+=(groff-base)
  command -v dpkg-shlibdeps >/dev/null || need+=(dpkg-dev)
  command -v lintian >/dev/null || need+=(lintian)
  [ -e /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
  [ -e /usr/include/gmock/gmock.h ] || need+=(libgmock-dev)
  [ -e /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
  if ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
    need+=(libclang-rt-dev)
  fi
fi
if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${need[@]}"
fi
