#!/usr/bin/env bash
# Run the Python-level fuzz target over the public methods.
#   fuzz/python/run.sh [seconds]        (default 60)
# Creates build/atheris-venv with atheris on first use, builds the module
# (into $VINTREL_BUILD, default build/atheris) and makes the venv import it
# from there, then fuzzes. Findings land in build/atheris-findings, the
# growing corpus in build/atheris-corpus. Exits non-zero on a finding.
set -euo pipefail
seconds="${1:-60}"
root="$(cd "$(dirname "$0")/../.." && pwd)"
venv="$root/build/atheris-venv"
build="${VINTREL_BUILD:-$root/build/atheris}"
case "$build" in /*) ;; *) build="$root/$build" ;; esac
python="${PYTHON:-python3}"

if [ ! -x "$venv/bin/python" ]; then
  "$python" -m venv "$venv"
  "$venv/bin/pip" install -q "atheris==3.0.0"
fi
if [ ! -f "$build/build.ninja" ] && [ ! -f "$build/Makefile" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DVINTREL_WERROR=OFF -DPython_EXECUTABLE="$venv/bin/python" >/dev/null
fi
cmake --build "$build" -j2 >/dev/null
# The venv imports the staged package; nothing is installed elsewhere.
site="$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')"
echo "$build/pkg" > "$site/vintrel-dev.pth"

mkdir -p "$root/build/atheris-corpus" "$root/build/atheris-findings"
cd "$root/build/atheris-findings"
exec "$venv/bin/python" "$root/fuzz/python/fuzz_public.py" \
  -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 \
  "$root/build/atheris-corpus"
