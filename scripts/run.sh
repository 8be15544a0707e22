#!/usr/bin/env bash
# Installs what is missing, builds the Zembrix program in Release into build/
# and starts it on the ROM given:  scripts/run.sh [options] path/to/game.gb
# Only the program is built; the tests, benchmarks and fuzz targets of the
# same tree are left to scripts/test.sh.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

BUILD_DIR="${ZEMBRIX_BUILD_DIR:-$ZEMBRIX_ROOT/build}"

zembrix_install_deps
zembrix_configure "$BUILD_DIR" Release
zembrix_build "$BUILD_DIR" zembrix

BINARY="$BUILD_DIR/src/frontend/zembrix"
if [ ! -x "$BINARY" ]; then
    echo "zembrix: the build made no program at $BINARY" >&2
    exit 1
fi
exec "$BINARY" "$@"
