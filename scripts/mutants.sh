#!/usr/bin/env bash
# Runs the mutant list (tests/mutants.txt by default) through the mutant tool, which is kept
# outside the repository (MUTANT, default ../shared/tools/mutant). Entries find their line by text,
# so ordinary edits elsewhere in a file do not move them:
#
#   FILE [/ANCHOR/] SED_EXPR [CTEST_REGEX]
#
# Without an anchor the line is the one line of FILE that SED_EXPR changes; with one, it is the
# first line that SED_EXPR changes at or after the one line matching ANCHOR (an extended regex;
# neither the anchor nor the expression holds a space: write "." instead). An entry whose line
# cannot be found, or is not unique, is reported as an error and skipped.
#   scripts/mutants.sh [--resolve] [LIST]   (--resolve prints the FILE LINE EXPR lines only)
set -uo pipefail
cd "$(dirname "$0")/.."
mutant=${MUTANT:-}
if [ -z "$mutant" ]; then
    # Beside the checkout, or beside the folder that holds several worktrees.
    for d in .. ../.. ../../..; do
        [ -x "$d/shared/tools/mutant" ] && { mutant=$d/shared/tools/mutant; break; }
    done
fi
[ -n "$mutant" ] || { echo "no mutant tool found: set MUTANT" >&2; exit 2; }
resolve_only=false
[ "${1:-}" = "--resolve" ] && { resolve_only=true; shift; }
list=${1:-tests/mutants.txt}

# Lines of FILE that the expression changes, one number a line.
changed_lines() {
    printf '%s\nt hit\nd\n:hit\n=\nd\n' "$2" | sed -n -f - "$1" 2>/dev/null
}

resolved=$(mktemp)
# The tool keeps its build and test logs at fixed paths in /tmp; a private copy keeps them in a
# folder of this run's own, so runs in several checkouts at once do not read each other's logs.
logs=$(mktemp -d)
tool="$logs/mutant"
sed "s#/tmp/mutant-#$logs/mutant-#g" "$mutant" >"$tool" && chmod +x "$tool"
trap 'rm -rf "$resolved" "$logs"' EXIT
errors=0
while read -r file a b c; do
    [ -z "${file:-}" ] || [ "${file:0:1}" = "#" ] && continue
    anchor="" expr=$a regex=${b:-}
    if [ "${a:0:1}" = "/" ]; then
        anchor=${a:1:${#a}-2} expr=$b regex=${c:-}
    fi
    if [ ! -f "$file" ]; then
        echo "ERROR   $file: no such file"; errors=$((errors + 1)); continue
    fi
    hits=$(changed_lines "$file" "$expr")
    if [ -n "$anchor" ]; then
        starts=$(grep -n -E -- "$anchor" "$file" | cut -d: -f1)
        if [ "$(printf '%s\n' "$starts" | grep -c .)" != 1 ]; then
            echo "ERROR   $file: anchor /$anchor/ matches $(printf '%s\n' "$starts" | grep -c .) lines"
            errors=$((errors + 1)); continue
        fi
        hits=$(printf '%s\n' "$hits" | awk -v s="$starts" '$1 >= s' | head -n 1)
    fi
    if [ "$(printf '%s\n' "$hits" | grep -c .)" != 1 ]; then
        echo "ERROR   $file '$expr': changes $(printf '%s\n' "$hits" | grep -c .) lines, not one"
        errors=$((errors + 1)); continue
    fi
    echo "$file $hits $expr${regex:+ $regex}" >>"$resolved"
done <"$list"

if $resolve_only; then
    cat "$resolved"
else
    "$tool" --list "$resolved"
fi
exit $((errors > 0 ? 1 : 0))
