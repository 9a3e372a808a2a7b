#!/usr/bin/env bash
# Installs what is missing, builds the analyser and runs it on the bundled example scene
# into a fresh job folder under build/.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/tools/deps.sh"
cmake -S "$top" -B "$top/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$top/build" -j"$(nproc)" --target katana-analyse script
job="$top/build/example-job"
rm -rf "$job"
mkdir -p "$job"
cp "$top/examples/job/task.json" "$job/task.json"
status=0
# The example scene names its files relative to the repository (and through
# KATANA_EXAMPLE_ROOT), so the run starts there.
cd "$top"
export KATANA_EXAMPLE_ROOT="$top/examples"
# The Redshift proxy is listed by the stand-in tool the tests use.
export REDSHIFT_HOME="$top/tests/support/tools"
KATANA_SCRIPT_MODE=1 "$top/build/bin/katana-analyse" \
    "$top/examples/scene.json" "$job/task.json" "$job/system.json" || status=$?
echo
echo "exit status: $status"
echo "job files in $job:"
for f in "$job"/*; do
    echo "--- $(basename "$f")"
    cat "$f"
    echo
done

# The same scene through the Python module and its launcher, as Katana would run it, with
# the stand-in host modules of the tests answering for Katana.
module_job="$top/build/example-job-module"
rm -rf "$module_job"
mkdir -p "$module_job"
cp "$top/examples/job/task.json" "$module_job/task.json"
echo
echo "=== the module script.abi3.so on the same scene, through the stand-in host"
module_status=0
PYTHONPATH="$top/tests/python/host_stubs" KATANA_SCRIPT_MODE=1 \
    python3 "$top/build/bin/run_analyse.py" \
    "$top/examples/scene.json" "$module_job/task.json" "$module_job/system.json" || module_status=$?
echo
echo "module exit status: $module_status"
same=yes
for f in "$job"/*; do
    cmp -s "$f" "$module_job/$(basename "$f")" || same=no
done
echo "job files in $module_job identical to the executable's: $same"
if [ "$same" != yes ] && [ "$status" -eq 0 ]; then
    status=1
fi
exit "$status"
