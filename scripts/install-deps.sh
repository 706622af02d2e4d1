#!/bin/sh
# Installs every package the project needs to build, test, benchmark and fuzz on Debian 12.
# Idempotent: packages already present are left as they are.
set -eu
PACKAGES="
  build-essential cmake ninja-build pkg-config git
  clang lld libclang-rt-14-dev clang-format
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libxml2-dev libsqlite3-dev libssl-dev openssl
  libmicrohttpd-dev libgnutls28-dev libcurl4-openssl-dev libcli11-dev
  python3 python3-prometheus-client procps iproute2
  scdoc file adduser
"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
# shellcheck disable=SC2086
$SUDO apt-get install -y -qq --no-install-recommends $PACKAGES
