#!/usr/bin/env bash
# Checks the shape of the repository, so that a newcomer finds what the
# README and docs/development.md promise:
#   root       nothing at the root but the entries listed below (CI runs this)
#   lines      no file under tools/ over 450 lines
#   sources    at most 12 sources at the tools/q31 root
#   functions  no function under tools/ over 60 lines (clang-tidy's
#              readability-function-size over the build's compile_commands.json)
#   arrows     includes among the wings of tools/q31 run one way only:
#              cli -> collect -> status -> forward -> common
# Prints every place at fault and fails when there is one.
#
#   scripts/house-check.sh                  the root check
#   scripts/house-check.sh --all            every check
#   scripts/house-check.sh lines arrows     the checks named
#   --build DIR                             the build tree with compile_commands.json (default build)
#   --jobs N                                clang-tidy processes at once (default 1)
set -euo pipefail
cd "$(dirname "$0")/.."

readonly kRootEntries=(
    .ci .clang-format .git .gitignore CMakeLists.txt CONTRIBUTING.md README.md
    bench cmake docs examples fuzz include link meter packaging platform plugin
    runtime scripts serial share sim support tests tools
)
readonly kMaxFileLines=450
readonly kMaxRootSources=12
readonly kMaxFunctionLines=60
# The wings from the top down: a wing may include only wings after it.
readonly kWings=(cli collect status forward common)

buildDir=build
jobs=1
checks=()
while (($#)); do
    case "$1" in
        --all) checks=(root lines sources functions arrows) ;;
        --build) buildDir="$2"; shift ;;
        --jobs) jobs="$2"; shift ;;
        root | lines | sources | functions | arrows) checks+=("$1") ;;
        -h | --help) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "house-check: unknown argument: $1" >&2; exit 2 ;;
    esac
    shift
done
((${#checks[@]})) || checks=(root)

faults=0
Fault() {
    echo "house-check: $*"
    faults=$((faults + 1))
}

# What git would take in: tracked files and those not ignored. A build tree or
# a scratch database at the root is ignored, so it is no fault here.
CheckRoot() {
    local entry allowed
    while IFS= read -r entry; do
        allowed=0
        for name in "${kRootEntries[@]}"; do [[ "$entry" == "$name" ]] && allowed=1; done
        ((allowed)) || Fault "root: $entry is not one of the root's entries (move it, or add it to the list in $0)"
    done < <({ git ls-files; git ls-files --others --exclude-standard; } | cut -d/ -f1 | sort -u)
}

CheckLines() {
    local file lines
    while IFS= read -r -d '' file; do
        lines=$(wc -l < "$file")
        ((lines <= kMaxFileLines)) || Fault "lines: $file has $lines lines (at most $kMaxFileLines)"
    done < <(find tools -type f -print0 | sort -z)
}

CheckSources() {
    local count
    count=$(find tools/q31 -maxdepth 1 -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.c' \) | wc -l)
    ((count <= kMaxRootSources)) || Fault "sources: tools/q31 has $count sources at its root (at most $kMaxRootSources)"
}

CheckFunctions() {
    local db="$buildDir/compile_commands.json"
    if [[ ! -f "$db" ]]; then
        Fault "functions: no $db; configure with -DCMAKE_EXPORT_COMPILE_COMMANDS=ON (or give --build DIR)"
        return
    fi
    if ! command -v clang-tidy > /dev/null; then
        Fault "functions: no clang-tidy to measure them with"
        return
    fi
    local out
    # A file clang-tidy cannot parse is a fault too: its functions went unmeasured.
    out=$(git ls-files -z 'tools/*.cpp' | xargs -0 -n 1 -P "$jobs" clang-tidy -p "$buildDir" --quiet \
        --checks='-*,readability-function-size' \
        --config="{CheckOptions: [{key: readability-function-size.LineThreshold, value: $kMaxFunctionLines}]}" \
        --header-filter="$PWD/tools/.*" --extra-arg=-Wno-unknown-warning-option 2>/dev/null || true)
    # A warning names the function and a note at the same place its length;
    # parallel runs may interleave their lines, so the place pairs them.
    local line place
    declare -A functionAt=()
    declare -A reported=()
    while IFS= read -r line; do
        if [[ "$line" =~ ^([^ ]*):\ warning:\ function\ \'([^\']*)\'\ exceeds ]]; then
            functionAt["${BASH_REMATCH[1]}"]="${BASH_REMATCH[2]}"
        fi
    done <<< "$out"
    while IFS= read -r line; do
        if [[ "$line" =~ ^([^ ]*):\ note:\ ([0-9]+)\ lines\ including ]]; then
            place="${BASH_REMATCH[1]}"
            # A header's function is reported once for every file that includes it.
            [[ -n "${reported[$place]:-}" ]] && continue
            reported["$place"]=1
            Fault "functions: ${place#"$PWD/"} ${functionAt[$place]:-} has ${BASH_REMATCH[2]} lines (at most $kMaxFunctionLines)"
        elif [[ "$line" == *" error: "* ]]; then
            Fault "functions: not measured: ${line#"$PWD/"}"
        fi
    done <<< "$out"
}

WingRank() {
    local i
    for i in "${!kWings[@]}"; do [[ "${kWings[$i]}" == "$1" ]] && { echo "$i"; return; }; done
    echo -1
}

CheckArrows() {
    local file wing rank included target targetRank
    while IFS= read -r file; do
        wing=$(cut -d/ -f3 <<< "$file")
        rank=$(WingRank "$wing")
        ((rank >= 0)) || continue
        while IFS= read -r included; do
            # Resolve a relative include against the file's own folder.
            if [[ "$included" == tools/q31/* ]]; then
                target="$included"
            else
                target=$(realpath -m --relative-to=. "$(dirname "$file")/$included")
            fi
            [[ "$target" == tools/q31/*/* ]] || continue
            targetRank=$(WingRank "$(cut -d/ -f3 <<< "$target")")
            ((targetRank < 0 || targetRank >= rank)) ||
                Fault "arrows: $file ($wing) includes $target, of a wing above it"
        done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file")
    done < <(git ls-files 'tools/q31/*/*')
}

for check in "${checks[@]}"; do
    case "$check" in
        root) CheckRoot ;;
        lines) CheckLines ;;
        sources) CheckSources ;;
        functions) CheckFunctions ;;
        arrows) CheckArrows ;;
    esac
done
if ((faults)); then
    echo "house-check: $faults faults (${checks[*]})"
    exit 1
fi
echo "house-check: ${checks[*]}: ok"
