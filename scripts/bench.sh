#!/usr/bin/env bash
# Speed and output identity of the machine, through the program's own frame
# loop (bench/frame_bench.cpp, built as zembrix-framebench).
#
#   scripts/bench.sh [--against REV] [--rounds N] [--quick] [--cpu N] [--no-build]
#       Frames per second and times real time on the standard workloads. With
#       --against, REV (any git revision) is built into a scratch directory
#       and both builds run side by side: interleaved rounds on one pinned
#       core, the median of N rounds (default 9; 1 with --quick, which also
#       runs a sixth of the frames).
#   scripts/bench.sh --identity [--against REV] [--cap N] [--jobs N] [--ignore-state]
#       Runs every ROM and model of the conformance table (for its frame
#       limit, capped at N frames, default 600) and the standard workloads on
#       both builds (REV defaults to HEAD) and compares every presented frame,
#       every audio sample, the end cycle and the final save state. Exits 1
#       on any difference. --ignore-state leaves the save states out (for a
#       change that adds saved fields on purpose).
#
# Environment: ZEMBRIX_TEST_ROMS (default ../shared/testroms), ZEMBRIX_BUILD_DIR
# (the current tree's build, default build/), ZEMBRIX_BENCH_SCRATCH (where
# other revisions are built, default /tmp/zembrix-bench).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

BUILD_DIR="${ZEMBRIX_BUILD_DIR:-$ZEMBRIX_ROOT/build}"
SCRATCH="${ZEMBRIX_BENCH_SCRATCH:-/tmp/zembrix-bench}"
BENCH_BINARY=bench/zembrix-framebench

against=""
rounds=""
quick=0
cpu=""
build=1
identity=0
cap=600
jobs=4
ignore_state=0

while [ $# -gt 0 ]; do
    case "$1" in
        --against) against="$2"; shift 2 ;;
        --rounds) rounds="$2"; shift 2 ;;
        --quick) quick=1; shift ;;
        --cpu) cpu="$2"; shift 2 ;;
        --no-build) build=0; shift ;;
        --identity) identity=1; shift ;;
        --cap) cap="$2"; shift 2 ;;
        --jobs) jobs="$2"; shift 2 ;;
        --ignore-state) ignore_state=1; shift ;;
        -h|--help) sed -n '2,24p' "$0"; exit 0 ;;
        *) echo "bench.sh: unknown argument $1" >&2; exit 2 ;;
    esac
done

if [ -z "${ZEMBRIX_TEST_ROMS:-}" ] && [ -d "$ZEMBRIX_ROOT/../shared/testroms" ]; then
    ZEMBRIX_TEST_ROMS="$(cd "$ZEMBRIX_ROOT/../shared/testroms" && pwd)"
fi
if [ -z "${ZEMBRIX_TEST_ROMS:-}" ] || [ ! -d "$ZEMBRIX_TEST_ROMS" ]; then
    zembrix_log "benchmark skipped: no test ROMs (set ZEMBRIX_TEST_ROMS)"
    exit 0
fi
ROMS="$ZEMBRIX_TEST_ROMS"
export SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy

# The standard workloads: label, ROM, model, frames.
WORKLOADS=(
    "cpu_instrs.gb dmgB|blargg/cpu_instrs/cpu_instrs.gb|dmgB|1800"
    "cpu_instrs.gb cgbE|blargg/cpu_instrs/cpu_instrs.gb|cgbE|1800"
    "dmg-acid2 DMG|dmg-acid2/dmg-acid2.gb|dmgC|3600"
    "cgb-acid2 CGB|cgb-acid2/cgb-acid2.gbc|cgbE|3600"
    "dmg_sound DMG|blargg/dmg_sound/dmg_sound.gb|dmgC|3600"
)

# --- builds ---------------------------------------------------------------

build_current() {
    if [ "$build" = 1 ]; then
        cmake -S "$ZEMBRIX_ROOT" -B "$BUILD_DIR" ${BUILD_GENERATOR:-} -DCMAKE_BUILD_TYPE=Release >/dev/null
        cmake --build "$BUILD_DIR" --target zembrix-framebench --parallel "${ZEMBRIX_BUILD_JOBS:-6}" >/dev/null
    fi
    if [ ! -x "$BUILD_DIR/$BENCH_BINARY" ]; then
        echo "bench.sh: $BUILD_DIR/$BENCH_BINARY is not built" >&2
        exit 2
    fi
}
if [ ! -f "$BUILD_DIR/CMakeCache.txt" ]; then BUILD_GENERATOR="-G Ninja"; fi

# Builds revision $1 into the scratch directory (once per commit) and prints
# the path of its benchmark program. A revision older than the program gets
# this tree's copy of it, built against that revision's machine.
build_revision() {
    local sha dir
    sha="$(git -C "$ZEMBRIX_ROOT" rev-parse --verify "$1^{commit}")"
    dir="$SCRATCH/${sha:0:12}"
    if [ ! -x "$dir/build/$BENCH_BINARY" ]; then
        zembrix_log "building $1 (${sha:0:12}) in $dir" >&2
        rm -rf "$dir"
        mkdir -p "$dir/src"
        git -C "$ZEMBRIX_ROOT" archive "$sha" | tar -x -C "$dir/src"
        if [ ! -f "$dir/src/bench/frame_bench.cpp" ]; then
            cp "$ZEMBRIX_ROOT/bench/frame_bench.cpp" "$dir/src/bench/"
            printf '\nadd_executable(zembrix-framebench frame_bench.cpp)\ntarget_link_libraries(zembrix-framebench PRIVATE zembrix_core)\n' \
                >> "$dir/src/bench/CMakeLists.txt"
        fi
        cmake -S "$dir/src" -B "$dir/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZEMBRIX_BUILD_TESTS=OFF >/dev/null
        cmake --build "$dir/build" --target zembrix-framebench --parallel "${ZEMBRIX_BUILD_JOBS:-6}" >/dev/null
    fi
    echo "$dir/build/$BENCH_BINARY"
}

# --- helpers --------------------------------------------------------------

# The least busy core over half a second, unless one is given.
pick_cpu() {
    if [ -n "$cpu" ]; then echo "$cpu"; return; fi
    local a b
    a="$(grep '^cpu[0-9]' /proc/stat)"
    sleep 0.5
    b="$(grep '^cpu[0-9]' /proc/stat)"
    paste <(echo "$a") <(echo "$b") | awk '{
        n = (NF - 2) / 2; idle0 = $5 + $6; idle1 = $(n + 1 + 5) + $(n + 1 + 6); t0 = 0; t1 = 0
        for (i = 2; i <= n; i++) { t0 += $i; t1 += $(n + 1 + i) }
        busy = (t1 - t0) - (idle1 - idle0); sub("cpu", "", $1)
        if (best == "" || busy < least) { best = $1; least = busy } }
        END { print best }'
}

field() { sed -n "s/.*\\b$1=\\([^ ]*\\).*/\\1/p" <<<"$2"; }

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print 0; else if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# --- speed ----------------------------------------------------------------

run_speed() {
    local binaries=("$@") names=()
    if [ ${#binaries[@]} -eq 2 ]; then names=("$against" "this tree"); else names=("this tree"); fi
    local n_rounds="${rounds:-$([ "$quick" = 1 ] && echo 1 || echo 9)}"
    local core pin=()
    core="$(pick_cpu)"
    if command -v taskset >/dev/null 2>&1; then pin=(taskset -c "$core"); fi
    local results
    results="$(mktemp -d)"
    trap 'rm -rf "$results"' RETURN
    zembrix_log "speed: ${#WORKLOADS[@]} workloads, $n_rounds round(s), core $core"
    local r w b order line frames
    for ((r = 0; r < n_rounds; r++)); do
        for ((w = 0; w < ${#WORKLOADS[@]}; w++)); do
            IFS='|' read -r _ rom model frames <<<"${WORKLOADS[$w]}"
            [ "$quick" = 1 ] && frames=$((frames / 6))
            # Alternate which build runs first, so neither always gets the warm start.
            if ((r % 2)); then order=$(seq $((${#binaries[@]} - 1)) -1 0); else order=$(seq 0 $((${#binaries[@]} - 1))); fi
            for b in $order; do
                line="$("${pin[@]}" "${binaries[$b]}" --model "$model" --frames "$frames" "$ROMS/$rom")"
                echo "$(field fps "$line") $(field realtime "$line")" >> "$results/$w.$b"
            done
        done
    done
    printf '\n'
    if [ ${#binaries[@]} -eq 2 ]; then
        printf '| workload | frames | %s | %s | speed-up |\n|---|---:|---:|---:|---:|\n' "${names[0]}" "${names[1]}"
    else
        printf '| workload | frames | fps | x real time |\n|---|---:|---:|---:|\n'
    fi
    for ((w = 0; w < ${#WORKLOADS[@]}; w++)); do
        IFS='|' read -r label _ _ frames <<<"${WORKLOADS[$w]}"
        [ "$quick" = 1 ] && frames=$((frames / 6))
        local fps=() rt=()
        for ((b = 0; b < ${#binaries[@]}; b++)); do
            fps[$b]="$(cut -d' ' -f1 "$results/$w.$b" | median)"
            rt[$b]="$(cut -d' ' -f2 "$results/$w.$b" | median)"
        done
        if [ ${#binaries[@]} -eq 2 ]; then
            printf '| %s | %d | %.0f fps (%.0fx) | %.0f fps (%.0fx) | %.2fx |\n' "$label" "$frames" \
                "${fps[0]}" "${rt[0]}" "${fps[1]}" "${rt[1]}" "$(awk -v a="${fps[0]}" -v b="${fps[1]}" 'BEGIN { print (a > 0 ? b / a : 0) }')"
        else
            printf '| %s | %d | %.0f | %.0fx |\n' "$label" "$frames" "${fps[0]}" "${rt[0]}"
        fi
    done
}

# --- identity -------------------------------------------------------------

# Every run of the identity check: ROM, model, frames.
identity_list() {
    local w
    for w in "${WORKLOADS[@]}"; do
        IFS='|' read -r _ rom model frames <<<"$w"
        echo "$rom $model $frames"
    done
    awk -F'\t' -v cap="$cap" '!/^#/ && NF >= 5 {
        f = $4 + 0; if (f < 30) f = 30; if (f > cap) f = cap
        key = $1 " " $2; if (!(key in seen)) { seen[key] = 1; print $1, $2, f } }' \
        "$ZEMBRIX_ROOT/tests/conformance/expected.tsv"
}

run_identity() {
    local before="$1" after="$2" out
    out="${ZEMBRIX_IDENTITY_KEEP:-$(mktemp -d)}"
    mkdir -p "$out"
    [ -n "${ZEMBRIX_IDENTITY_KEEP:-}" ] || trap 'rm -rf "$out"' RETURN
    identity_list > "$out/list"
    zembrix_log "identity: $(wc -l < "$out/list") runs on each build, $jobs at a time"
    local b
    for b in before after; do
        local binary="$before"
        [ "$b" = after ] && binary="$after"
        # One output line per run: ROM model frames, then what the run put out.
        BIN="$binary" ROMS="$ROMS" xargs -P "$jobs" -L 1 sh -c \
            'printf "%s %s %s %s\n" "$0" "$1" "$2" "$("$BIN" --hash --model "$1" --frames "$2" "$ROMS/$0" 2>&1 | tr "\n" " ")"' \
            < "$out/list" | sort > "$out/$b"
    done
    local keep='cycles|frame_hash|presented|audio_hash|samples'
    [ "$ignore_state" = 0 ] && keep="$keep|state_hash"
    local normalise="s/ (seconds|fps|realtime)=[^ ]*//g"
    sed -E "$normalise" "$out/before" > "$out/before.n"
    sed -E "$normalise" "$out/after" > "$out/after.n"
    if [ "$ignore_state" = 1 ]; then
        sed -i -E 's/ state_hash=[^ ]*//' "$out/before.n" "$out/after.n"
    fi
    local differing
    differing="$(diff "$out/before.n" "$out/after.n" | grep -c '^>' || true)"
    local total
    total="$(wc -l < "$out/list")"
    if [ "$differing" != 0 ]; then
        echo "identity: $differing of $total runs differ ($keep compared):"
        diff "$out/before.n" "$out/after.n" | grep '^[<>]' | head -40
        return 1
    fi
    echo "identity: all $total runs put out the same frames, samples, end cycle$([ "$ignore_state" = 0 ] && echo ' and state')"
}

# --- main -----------------------------------------------------------------

build_current
CURRENT="$BUILD_DIR/$BENCH_BINARY"
if [ "$identity" = 1 ]; then
    OTHER="$(build_revision "${against:-HEAD}")"
    run_identity "$OTHER" "$CURRENT"
elif [ -n "$against" ]; then
    OTHER="$(build_revision "$against")"
    run_speed "$OTHER" "$CURRENT"
else
    run_speed "$CURRENT"
fi
