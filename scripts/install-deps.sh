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
  chromium
"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
# Node for the console's browser test: Debian's, unless a node is already installed (another
# source's npm would conflict with Debian's).
if ! command -v node >/dev/null 2>&1; then PACKAGES="$PACKAGES nodejs npm"; fi
# shellcheck disable=SC2086
$SUDO apt-get install -y -qq --no-install-recommends $PACKAGES
# The browser test's packages, exactly as its lock file pins them; puppeteer-core drives the
# chromium above and downloads no browser of its own.
(cd "$(dirname "$0")/../tests/browser" && npm ci --no-audit --no-fund)
# The ONVIF client the bridge is tested with, likewise pinned.
(cd "$(dirname "$0")/../tests/onvif" && npm ci --no-audit --no-fund)
