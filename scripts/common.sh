# Shared set-up for the build scripts; sourced, not run.
# Provides: ZEMBRIX_ROOT, zembrix_install_deps, zembrix_configure, zembrix_build,
# zembrix_configure_build.

ZEMBRIX_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# Debian 12 packages the build and the tests need (clang and its runtime
# libraries for the fuzz targets).
ZEMBRIX_PACKAGES=(
    cmake ninja-build g++ pkg-config
    libsdl2-dev libcereal-dev libpng-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    netpbm
    clang libclang-rt-dev
)

zembrix_log() { printf '==> %s\n' "$*"; }

# Installs whichever packages are missing; does nothing (and needs no
# network) when all of them are installed already.
zembrix_install_deps() {
    local missing=() pkg
    for pkg in "${ZEMBRIX_PACKAGES[@]}"; do
        if ! dpkg -s "$pkg" 2>/dev/null | grep -q '^Status: install ok installed'; then
            missing+=("$pkg")
        fi
    done
    if [ "${#missing[@]}" -eq 0 ]; then
        zembrix_log "build dependencies already installed"
        return 0
    fi
    zembrix_log "installing: ${missing[*]}"
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        if command -v sudo >/dev/null 2>&1; then
            sudo=(sudo)
        else
            echo "zembrix: missing packages (${missing[*]}); run this as root or install them first" >&2
            return 1
        fi
    fi
    export DEBIAN_FRONTEND=noninteractive
    "${sudo[@]}" apt-get update
    "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
}

# zembrix_configure DIR BUILD_TYPE [extra cmake arguments...]
zembrix_configure() {
    local dir="$1" type="$2"
    shift 2
    local generator=()
    # Keep the generator of an existing tree; new trees use Ninja.
    if [ ! -f "$dir/CMakeCache.txt" ]; then
        generator=(-G Ninja)
    fi
    zembrix_log "configuring $dir ($type)"
    cmake -S "$ZEMBRIX_ROOT" -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE="$type" "$@"
}

# zembrix_build DIR [TARGET...]: builds the targets named, or every target.
zembrix_build() {
    local dir="$1"
    shift
    local targets=() target
    for target in "$@"; do
        targets+=(--target "$target")
    done
    zembrix_log "building $dir${*:+ ($*)}"
    cmake --build "$dir" --parallel "$(nproc)" "${targets[@]}"
}

# zembrix_configure_build DIR BUILD_TYPE [extra cmake arguments...]: configures
# and builds every target.
zembrix_configure_build() {
    zembrix_configure "$@"
    zembrix_build "$1"
}
