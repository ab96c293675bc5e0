#!/bin/sh
# Weakens the checks of the fast path one at a time and tells which changes
# the fast-path tests catch. Run by hand from the top of the tree (it takes
# minutes: one build of the unit tests per change); not part of `make test`.
#
#   tests/mutate_fast_path.sh [WORK_DIR]
#   ONLY=TEXT tests/mutate_fast_path.sh [WORK_DIR]
#
# With ONLY set, only the changes whose name contains TEXT are applied (the
# unchanged tree is still built and tested first).
#
# The tree is copied to WORK_DIR (default: a new temporary folder, removed at
# the end); each change replaces one exact text of one file, which must occur
# there once, then unit_tests is built and the fast-path tests run; the file
# is put back before the next change. Prints one line per change and exits
# with status 1 when a change was missed (or the unchanged tree fails).
set -u

SRC=$(cd "$(dirname "$0")/.." && pwd)
WORK=${1:-}
if [ -z "$WORK" ]; then
  WORK=$(mktemp -d "${TMPDIR:-/tmp}/mutate_fast_path.XXXXXX") || exit 1
  trap 'rm -rf "$WORK"' EXIT
fi
TREE=$WORK/tree
BUILD=$WORK/build
JOBS=${JOBS:-2}
FILTER='KnownCases.*:Differential.*:Guard*.*:Lanes.*:Dispatch.*'

# name|file|text|replacement (fields must not hold '|').
MUTATIONS='
truncation bound 2^-64 loosened to 2^-80|difference_kernels.h|TRUNCATION_CLOSE = 0x1p-64;|TRUNCATION_CLOSE = 0x1p-80;
nine-term error bound B dropped|difference_kernels.inc| + bound * splat(NINE_TERM_BOUND_FACTOR);|;
_m2 upper misfit limit 65535 moved to 65536|difference_kernels.h|M2_RESULT_MAX = 65535.0;|M2_RESULT_MAX = 65536.0;
exact cells up to a factor 512 instead of 32|difference_kernels.h|CELLS_EXACT_RATIO = 32;|CELLS_EXACT_RATIO = 512;
exact edges up to a factor 4096 instead of 512|difference_kernels.h|EDGES_EXACT_RATIO = 512;|EDGES_EXACT_RATIO = 4096;
results of cells the reference recomputed not checked (checked forced false)|difference_fast.cpp|&params, checked, out,|&params, checked && false, out,
single-rounding margin 2^-11 lowered to 2^-12|difference_kernels.h|EXTENDED_HALF_ULP = 0x1p-11;|EXTENDED_HALF_ULP = 0x1p-12;
conversion check dropped|difference_kernels.inc|single_rounding_safe(p, fmsub(v, f, p))|eq(p, p)
edge check dropped|difference_kernels.inc|value = select(safe, value, splat(__builtin_nan("")));|(void)safe;
2D difference check dropped|difference_kernels.inc|c = select(single_rounding_safe(c, two_sum_error(x1, -x2, c)), c, splat(__builtin_nan("")));|(void)c;
margin of the exact nine-term mean dropped|difference_kernels.inc|safe = either(gt(dist, h * splat(EXTENDED_HALF_ULP + PRODUCT_ERROR)), eq(dist, splat(0.0)));|safe = either(gt(dist, splat(0.0)), eq(dist, splat(0.0)));
margin of the exact nine-term mean lowered from 2^-11 + 2^-45 to 2^-11 - 2^-45|difference_kernels.inc|safe = either(gt(dist, h * splat(EXTENDED_HALF_ULP + PRODUCT_ERROR)), eq(dist, splat(0.0)));|safe = either(gt(dist, h * splat(EXTENDED_HALF_ULP - PRODUCT_ERROR)), eq(dist, splat(0.0)));
2D volume check dropped|difference_kernels.inc|single_rounding_safe(v2, fmsub(d2, pix_surf, v2))|eq(v2, v2)
running-sum check dropped|difference_kernels.inc|if (bits != 0)|if (bits != 0 && false)
products up to 2^70 instead of 2^51 decided by the kernel|difference_kernels.h|TRUNCATION_PRODUCT_MAX = 0x1p51;|TRUNCATION_PRODUCT_MAX = 0x1p70;
_m2 lower misfit limit -32768 moved to -32769|difference_kernels.h|M2_RESULT_MIN = -32768.0;|M2_RESULT_MIN = -32769.0;
_m4 upper misfit limit 2^31 - 1 moved to 2^31|difference_kernels.h|M4_RESULT_MAX = 0x1p31 - 1;|M4_RESULT_MAX = 0x1p31;
_m4 lower misfit limit -2^31 moved to -2^31 - 1|difference_kernels.h|M4_RESULT_MIN = -0x1p31;|M4_RESULT_MIN = -0x1p31 - 1;
domain check of the result kernel dropped|difference_kernels.inc|if (CHECKED)|if (false && CHECKED)
difference domain lowered from 2^-400 to 2^-1074|difference_kernels.h|DIFFERENCE_MIN = 0x1p-400;|DIFFERENCE_MIN = 0x1p-1074;
height domain lowered from 2^-300 to 2^-1074|difference_kernels.h|HEIGHT_MIN = 0x1p-300;|HEIGHT_MIN = 0x1p-1074;
cell area domain check dropped|difference_fast.cpp|!(pix_surf >= HEIGHT_MIN && pix_surf <= HEIGHT_MAX)|!(pix_surf > 0)
'

copy_tree() {
  mkdir -p "$TREE" || exit 1
  (cd "$SRC" && git ls-files -z | xargs -0 tar cf -) | (cd "$TREE" && tar xf -) || {
    echo "cannot copy the tree (a git checkout is needed)" >&2
    exit 1
  }
}

build_and_test() {
  cmake --build "$BUILD" -j "$JOBS" --target unit_tests >"$WORK/build.log" 2>&1 || return 2
  "$BUILD/tests/unit_tests" --gtest_filter="$FILTER" >"$WORK/test.log" 2>&1 || return 1
  return 0
}

copy_tree
cmake -S "$TREE" -B "$BUILD" -DSKARNOVELT_REFERENCE_ONLY=OFF >"$WORK/configure.log" 2>&1 || {
  echo "configuration failed: $WORK/configure.log" >&2
  exit 1
}
build_and_test
case $? in
  0) echo "unchanged tree: the fast-path tests pass" ;;
  *) echo "unchanged tree: the fast-path tests FAIL (see $WORK)" >&2; exit 1 ;;
esac

total=0
caught=0
missed=0
printf '%s\n' "$MUTATIONS" | {
  while IFS='|' read -r name file text replacement; do
    [ -n "$name" ] || continue
    case $name in
      *"${ONLY:-}"*) ;;
      *) continue ;;
    esac
    total=$((total + 1))
    target=$TREE/$file
    count=$(grep -cF -- "$text" "$target")
    if [ "$count" != 1 ]; then
      echo "NOT APPLIED  $name ($file holds the text $count times)"
      missed=$((missed + 1))
      continue
    fi
    cp "$target" "$WORK/original"
    # Fixed-string replacement of the one occurrence.
    awk -v old="$text" -v new="$replacement" '{
      i = index($0, old)
      if (i > 0) $0 = substr($0, 1, i - 1) new substr($0, i + length(old))
      print
    }' "$WORK/original" >"$target"
    build_and_test
    status=$?
    cp "$WORK/original" "$target"
    case $status in
      1) echo "caught       $name"; caught=$((caught + 1)) ;;
      0) echo "MISSED       $name"; missed=$((missed + 1)) ;;
      *) echo "NOT BUILT    $name"; missed=$((missed + 1)); tail -5 "$WORK/build.log" ;;
    esac
  done
  echo "$caught of $total changes caught"
  [ "$missed" -eq 0 ]
}
