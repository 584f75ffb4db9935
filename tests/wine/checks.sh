# The Wine scenarios' check: counts what failed in `failures` and says what each check saw.
# Sourced by the scenario scripts.
failures=0
check() {  # check WHAT EXPECTED ACTUAL
  if [ "$2" == "$3" ]; then
    echo "  ok: $1"
  else
    echo "  FAILED: $1: expected [$2], got [$3]"
    failures=$((failures + 1))
  fi
}
