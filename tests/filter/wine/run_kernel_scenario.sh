#!/usr/bin/env bash
# Runs the real usbmodeflt.sys on Wine's kernel (ntoskrnl.exe in winedevice.exe, with its PnP
# manager), under the project's test bus, in a Wine prefix of its own that nothing else uses.
#   run_kernel_scenario.sh USBMODEFLT_SYS UMFTESTBUS_SYS UMFTESTFN_SYS INSTALL_EXE SCENARIO_EXE \
#                          FIXTURE_DIR PREFIX
# Any usbmodeflt.sys can be given, so the same fixtures check builds other than this tree's.
# The wineserver is kept alive for this prefix only, for the run (without it services.exe and
# winedevice.exe end with the last ordinary Wine process), and ended for this prefix only; its
# persistence is bounded too, so a run that is killed does not leave it behind for long.
set -uo pipefail
filter=$1 bus=$2 function=$3 installer=$4 scenario=$5 fixtures=$6 prefix=$7

export WINEPREFIX=$prefix WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES=mscoree,mshtml=
step_timeout=60   # seconds for any one Wine program; the scenario's own waits are shorter

stage="$prefix.stage"
cleanup() {
  timeout 30 wine "$stage/umftest_install.exe" remove >/dev/null 2>&1
  timeout 20 wineserver -k >/dev/null 2>&1
  rm -rf "$stage"
}
trap cleanup EXIT

if [ ! -f "$prefix/system.reg" ]; then
  echo "== creating the prefix $prefix"
  mkdir -p "$prefix"
  timeout 120 wineboot -i >/dev/null 2>&1 || { echo "wineboot failed"; exit 1; }
  timeout 60 wineserver -w
fi
timeout 20 wineserver -p60 || { echo "wineserver -p failed"; exit 1; }

rm -rf "$stage"
mkdir -p "$stage"
cp "$filter" "$stage/usbmodeflt.sys"
cp "$bus" "$stage/umftestbus.sys"
cp "$function" "$stage/umftestfn.sys"
cp "$installer" "$stage/umftest_install.exe"
cp "$scenario" "$stage/umftest_scenario.exe"
cp "$fixtures/umftestbus.inf" "$fixtures/umftestdevice.inf" "$stage/"
stage_windows=$(winepath -w "$stage" 2>/dev/null | tr -d '\r')

status=0
echo "== removing what an earlier run may have left"
timeout $step_timeout wine "$stage/umftest_install.exe" remove | tr -d '\r' | sed 's/^/  /'
echo "== installing the test bus and the child's driver package"
if ! timeout $step_timeout wine "$stage/umftest_install.exe" install "$stage_windows" | tr -d '\r'; then
  echo "installation failed"
  status=1
fi
if [ $status -eq 0 ]; then
  echo "== usbmodeflt.sys ($filter) under Wine's PnP manager"
  timeout $step_timeout wine "$stage/umftest_scenario.exe" | tr -d '\r'
  rc=${PIPESTATUS[0]}
  if [ "$rc" -ne 0 ]; then
    [ "$rc" -eq 124 ] && echo "the scenario did not finish within $step_timeout s"
    status=1
  fi
fi
echo "== removing the test device"
timeout $step_timeout wine "$stage/umftest_install.exe" remove | tr -d '\r'
[ "${PIPESTATUS[0]}" -eq 0 ] || status=1

cat <<'LIMITS'
== what Wine 8 does not model, so this test does not show
  - IRQL: drivers run in user mode at what is effectively PASSIVE_LEVEL; completion routines at
    DISPATCH_LEVEL, paged sections and waits at raised IRQL are not checked (the native kernel
    model checks them).
  - PoStartNextPowerIrp is a stub and the PnP manager sends no power requests here.
  - Filters: Wine loads only the device's service; the stack order comes from the test function
    driver, which loads LowerFilters itself. usbmodeflt.inf (AddFilter) is not installed here.
  - Restart: Wine never sends IRP_MN_STOP_DEVICE or a second start to a stack, and cannot disable
    and enable a device (CM_Disable_DevNode/CM_Enable_DevNode are stubs, DIF_PROPERTYCHANGE is
    not handled). A second start is shown on the same device instance plugged in again, with a
    new filter device object; two starts of one filter device object are shown on the model.
  - Removal: Wine sends surprise removal before every removal and never a query-remove; removal
    while a PnP request is held, and the remove lock under contention, are shown on the model.
LIMITS
if [ $status -eq 0 ]; then
  echo "usbmodeflt on Wine's kernel: every check passed"
else
  echo "usbmodeflt on Wine's kernel: FAILED"
fi
exit $status
