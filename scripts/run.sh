#!/usr/bin/env bash
# Installs what is missing, builds Zembrix in Release into build/ and starts
# it on the ROM given:  scripts/run.sh [options] path/to/game.gb
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

BUILD_DIR="${ZEMBRIX_BUILD_DIR:-$ZEMBRIX_ROOT/build}"

zembrix_install_deps
zembrix_configure_build "$BUILD_DIR" Release

BINARY="$BUILD_DIR/src/frontend/zembrix"
if [ ! -x "$BINARY" ]; then
    echo "zembrix: the front end is not built yet; only the machine library and tests exist"
    exit 0
fi
exec "$BINARY" "$@"
