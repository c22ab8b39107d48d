#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need.
# Idempotent and quiet when everything is already there.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/tools/scripts/packages.sh"

ensure_packages \
  build-essential cmake ninja-build ccache pkg-config git openssl ca-certificates \
  libssl-dev libcurl4-openssl-dev libjsoncpp-dev libboost1.81-dev uuid-dev \
  libgtest-dev libgmock-dev libbenchmark-dev \
  libcairo2-dev libpango1.0-dev libx11-dev fonts-wqy-microhei xvfb xauth xdotool x11-utils imagemagick \
  libsqlite3-dev \
  zlib1g-dev libpng-dev libjpeg62-turbo-dev libturbojpeg0-dev libimagequant-dev \
  libqrencode-dev \
  pngquant libjpeg-turbo-progs curl \
  clang-14 libfuzzer-14-dev

# s3rver, a third-party S3-compatible server, for the upload interop tests
# and the upload benchmark; installed with npm into build/npm.
if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
  ensure_packages nodejs npm
fi
if [ ! -f "$root/build/npm/node_modules/s3rver/package.json" ]; then
  echo "Installing: s3rver (npm)"
  mkdir -p "$root/build/npm"
  npm install --prefix "$root/build/npm" --no-audit --no-fund --loglevel=error s3rver@3.7.1 >/dev/null
fi
