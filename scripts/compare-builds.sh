#!/usr/bin/env bash
# Runs two builds of tarnsolve side by side and reports every difference in what they
# print, write and exit with: the examples, the end-to-end suite's runs and any further
# command files given. For changes that must not change behaviour.
#
#   bash scripts/compare-builds.sh OLD_BINARY NEW_BINARY [command file ...]
#
# Each run starts from the same copy of its folder, at the same path for both builds.
# The creation date that FITS headers carry is the one part of a file not compared.
# The end-to-end runs need build/test_e2e. Exits 1 when any run differs, keeping the
# differing runs' outputs and files for a look.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ $# -lt 2 ]; then
  echo "usage: $0 OLD_BINARY NEW_BINARY [command file ...]" >&2
  exit 2
fi
old=$(realpath "$1")
new=$(realpath "$2")
shift 2
work=$(mktemp -d)
mkdir -p "$work/runs"
log="$work/log"
: > "$log"

# compare_run DIR ARGS... (standard input: the commands)
compare_run() {
  local dir=$1
  shift
  local run
  run=$(mktemp -d "$work/runs/r.XXXXXX")
  cat > "$run/stdin"
  local side bin
  for side in old new; do
    bin=$old
    [ "$side" = new ] && bin=$new
    rm -rf "$work/w"
    cp -a "$dir" "$work/w"
    (cd "$work/w" && "$bin" "$@" < "$run/stdin" > "$run/$side.out" 2> "$run/$side.err"; echo $? > "$run/$side.rc") || true
    find "$work/w" -type f \( -name '*.fits' -o -name '*.fit' \) -exec \
      sed -i -E "s/DATE    = '[0-9T:-]+'/DATE    = 'date not compared'/" {} +
    mv "$work/w" "$run/$side.tree"
  done
  if cmp -s "$run/old.out" "$run/new.out" && cmp -s "$run/old.err" "$run/new.err" &&
     cmp -s "$run/old.rc" "$run/new.rc" && diff -r "$run/old.tree" "$run/new.tree" > /dev/null; then
    echo "same $*" >> "$log"
    rm -rf "$run"
  else
    echo "DIFFERENT $* (kept in $run)" >> "$log"
  fi
}

# The examples, from a copy of the source tree's examples folder.
mkdir -p "$work/ex"
cp -a examples "$work/ex/"
for f in examples/*.in; do compare_run "$work/ex" "$f" < /dev/null; done

# Further command files, each run from its own folder.
for f in "$@"; do compare_run "$(dirname "$(realpath "$f")")" -q "$(basename "$f")" < /dev/null; done

# Every run of the end-to-end suite, through a stand-in that compares it first.
if [ -x build/test_e2e ]; then
  cat > "$work/stand-in" <<WRAP
#!/usr/bin/env bash
input=\$(mktemp)
cat > "\$input"
source_dir=\$PWD
( $(declare -f compare_run); work='$work'; log='$log'; old='$old'; new='$new'
  compare_run "\$source_dir" "\$@" ) < "\$input"
exec '$new' "\$@" < "\$input"
WRAP
  chmod +x "$work/stand-in"
  TW_E2E_BINARY="$work/stand-in" build/test_e2e > "$work/e2e.log" 2>&1 || echo "the end-to-end suite failed (see $work/e2e.log)"
else
  echo "build/test_e2e not found: end-to-end runs not compared"
fi

same=$(grep -c '^same' "$log" || true)
different=$(grep -c '^DIFFERENT' "$log" || true)
echo "$same runs the same, $different different"
if [ "$different" -eq 0 ]; then
  rm -rf "$work"
  exit 0
fi
grep '^DIFFERENT' "$log"
exit 1
