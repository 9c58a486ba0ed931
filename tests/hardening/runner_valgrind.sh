#!/usr/bin/env bash
# Runs the runner under valgrind's memcheck on one call per kernel and on one
# call that breaks the argument contract. Any memcheck error or leaked block
# fails the test.
set -euo pipefail
valgrind=$1 runner=$2 cases=$3 dir=$4
rm -rf "$dir"
mkdir -p "$dir"
"$cases" "$dir"
memcheck=("$valgrind" --tool=memcheck --quiet --error-exitcode=99 --track-origins=yes)
for k in rr rrz rc cr cc; do
  d=$dir/$k
  "${memcheck[@]}" --leak-check=full --show-leak-kinds=definite,indirect,possible \
    --errors-for-leak-kinds=definite,indirect,possible \
    "$runner" filter "$d/b.npy" "$d/a.npy" "$d/x.npy" "$d/zi.npy" "$d/y.npy" "$d/zf.npy"
  [[ -s $d/y.npy && -s $d/zf.npy ]] || { echo "$k: outputs missing"; exit 1; }
  echo "$k: clean"
done
# The error path: exit status 1 from the runner, not memcheck's 99.
d=$dir/breach
set +e
"${memcheck[@]}" --leak-check=no "$runner" filter "$d/b.npy" "$d/a.npy" "$d/x.npy" "$d/zi.npy" "$d/y.npy" "$d/zf.npy"
status=$?
set -e
[[ $status -eq 1 ]] || { echo "breach: exit status $status, expected 1"; exit 1; }
[[ ! -e $d/y.npy && ! -e $d/zf.npy ]] || { echo "breach: an output was written"; exit 1; }
echo "breach: clean"
