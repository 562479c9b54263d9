#!/usr/bin/env bash
# Installs what a fresh Debian or Ubuntu machine lacks to build and test Vellumar.
set -euo pipefail
need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v clang++ >/dev/null || need+=(clang)
command -v ninja >/dev/null || need+=(ninja-build)
command -v uudecode >/dev/null || need+=(sharutils)
command -v strace >/dev/null || need+=(strace)
command -v clang-format >/dev/null || need+=(clang-format)
# Other FidoNet software the end-to-end tests run beside vellumar, and strace,
# which shows whose lock held whom.
command -v crashmail >/dev/null || need+=(crashmail)
# binkd, the mailer of the network test, sits in /usr/sbin (the test starts
# its own on 127.0.0.1 with its own configuration, never the system's).
[ -x /usr/sbin/binkd ] || command -v binkd >/dev/null || need+=(binkd)
command -v jamnntpd >/dev/null || need+=(jamnntpd)
command -v strace >/dev/null || need+=(strace)
# Manual pages are checked with man-db and groff; the Debian package is built
# with dpkg-dev (dpkg-shlibdeps) and checked with lintian.
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
if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${need[@]}"
fi
