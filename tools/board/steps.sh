# The steps of the board test, run by /init on the emulated board with the flash partitions
# as /dev/mtd0..mtd19. Each check prints "BOARD: PASS name" or "BOARD: FAIL name" followed by
# what it saw; the host counts them and checks the flash image between boots.
#   sh steps.sh 1   provisioning, first install with -test, verify
#   sh steps.sh 2   booted from set 1 in BOOT: the trial, a second install, activate, reports
#   sh steps.sh delta   booted from set 2: release 2.3.0 from a delta image made from 2.2.0
#   sh steps.sh cutN     the power-cut phase, after boot 2 (see the case below)
#   sh steps.sh memory   partitions sized for $images/bench.nemf (tools/board-test.sh memory):
#                   the peak memory of its install, and of kru's start-up alone, as
#                   "BOARD: MEM name kib"; with $images/delta.nemf also of the delta's install
boot=$1
images=/board/images
fails=0

# run NAME STATUS CMD...: runs CMD with its output in /tmp/out and /tmp/err (standard output
# is no terminal, so kru copies its messages to the system log) and checks its exit status.
run() {
  name=$1 want=$2
  shift 2
  "$@" >/tmp/out 2>/tmp/err
  got=$?
  if [ "$got" = "$want" ]; then
    echo "BOARD: PASS $name"
  else
    echo "BOARD: FAIL $name: exit status $got, expected $want"
    sed 's/^/  out: /' /tmp/out | head -20
    sed 's/^/  err: /' /tmp/err | head -20
    fails=$((fails + 1))
  fi
}
# check NAME CONDITION...: a shell condition, reported like a step.
check() {
  name=$1
  shift
  if eval "$*"; then
    echo "BOARD: PASS $name"
  else
    echo "BOARD: FAIL $name: $*"
    fails=$((fails + 1))
  fi
}
has_out() { grep -qF -- "$1" /tmp/out; }
has_err() { grep -qF -- "$1" /tmp/err; }
# The system log line of a kru message at a priority (busybox syslogd: "user.<prio> KRU: ...").
logged() { grep -F -- "user.$1 KRU: $2" /var/log/messages >/dev/null; }
# The two upgrade flag bytes at the end of the hostconfig's first 128 KiB, as hex.
flags() { dd if=/dev/mtd5 bs=1 skip=131070 count=2 2>/dev/null | od -An -tx1 | tr -d ' \n'; }
same_hostconfigs() {
  dd if=/dev/mtd5 bs=5120 count=1 2>/dev/null >/tmp/hc5
  dd if=/dev/mtd2 bs=5120 count=1 2>/dev/null >/tmp/hc2
  [ "$(wc -c </tmp/hc5)" = 5120 ] && cmp -s /tmp/hc5 /tmp/hc2
}

mtd_info() { grep -c '^mtd' /proc/mtd; }

# Validation as kru-validate.service does it, from the unit file itself: its ExecCondition (the
# health check), and only when that exits 0 its ExecStart. A condition exiting 1 to 254 skips
# the start, as systemd does ("skipped" on standard output, status 0); 255 is a failure.
unit=/board/kru-validate.service
unit_validate() {
  eval "$(sed -n 's/^ExecCondition=//p' $unit)"
  cond=$?
  if [ $cond -ne 0 ]; then
    [ $cond -lt 255 ] && echo skipped && return 0
    return $cond
  fi
  eval "$(sed -n 's/^ExecStart=//p' $unit)"
}
health_check() {
  mkdir -p /etc/kru
  printf '#!/bin/sh\nexit %s\n' "$1" >/etc/kru/health-check
  chmod +x /etc/kru/health-check
}

case $boot in
1)
  check "twenty MTD partitions" '[ "$(mtd_info)" = 20 ]'
  check "/proc/cmdline names no set" '! grep -q KRUSET= /proc/cmdline'
  run "initialize" 0 kru initialize
  check "initialize logged at info" 'logged info "initialize: OK"'
  check "hostconfig save logged at notice" 'logged notice "critical part start: hostconfig_save called by initialize"'
  check "backup equals primary after initialize" same_hostconfigs
  # The safe set, two upgrade sets and their pools on the board's partitions.
  run "partinfo 7" 0 kru partinfo 7 KNL-SAFE 0x200000
  run "partinfo 8" 0 kru partinfo 8 ROOT-SAFE 0x400000
  run "partinfo 19" 0 kru partinfo 19 APPL-SAFE 0x100000
  for n in 10 11; do run "partinfo $n" 0 kru partinfo $n KERNEL 0x200000; done
  for n in 12 13; do run "partinfo $n" 0 kru partinfo $n ROOTFS 0x400000 -mount=/ -fstype=squashfs; done
  for n in 14 15; do run "partinfo $n" 0 kru partinfo $n APPL 0x100000 -mount=/mnt/appl -fstype=jffs2; done
  run "partinfo 16" 0 kru partinfo 16 BOOT 0x40000
  run "partset 0" 0 kru partset 0 SAFESET -refs=7,8,19
  run "partset 1" 0 kru partset 1 SET1
  run "partset 2" 0 kru partset 2 SET2
  run "partinfo with an invalid pn" 1 kru partinfo 9 X 0x40000 -pn=256
  check "invalid pn logged at error" 'logged err "partinfo action: pn invalid."'
  run "info" 0 kru info
  check "info shows the pools" 'has_out KERNEL && has_out ROOT-SAFE && has_out SET2'
  run "getpartset 0" 0 kru getpartset 0
  check "flag words VALID after the saves" '[ "$(flags)" = ffff ]'
  # The first release, into set 1, for a trial.
  run "install release 2.1.0 into set 1 with -test" 0 kru -test install $images/rel1.nemf 1
  check "set 1 marked TEST" '[ "$(flags)" = feff ]'
  check "backup equals primary after install" same_hostconfigs
  # The header-first root file system checks out in the overview only; a set check reads
  # every partition from its start.
  run "verify" 0 kru verify
  check "verify shows the header-first rootfs" 'has_out "OK (wts=2)"'
  run "verify 1 -v" 1 kru verify 1 -v
  check "verify 1: kernel and appl ok, rootfs bad" \
    'has_out "ref 10: KERNEL       kernel      : ok" && has_out "ref 12: ROOTFS       rootfs      : bad" && has_out "ref 14: APPL         appl        : ok"'
  run "getrh 1" 0 kru getrh 1
  check "getrh shows release 2.1.0" 'has_out "2.1,0,R2.1.0,"'
  ;;
2)
  check "/proc/cmdline names set 1" 'grep -q KRUSET=SET1 /proc/cmdline'
  check "set 1 booted in BOOT" '[ "$(flags)" = fcff ]'
  run "info in BOOT" 0 kru info
  check "info shows set 1 in BOOT" 'has_out "Upgrade set 1: BOOT(2)"'
  run "upgrade test" 0 kru upgrade test
  check "upgrade test leaves set 1 TEST" '[ "$(flags)" = feff ]'
  health_check 1
  run "validate unit, health check fails" 0 unit_validate
  check "an unhealthy system is not validated" 'has_out skipped && [ "$(flags)" = feff ]'
  health_check 0
  run "validate unit, healthy: upgrade validate" 0 unit_validate
  check "upgrade validate leaves set 1 VALID" '[ "$(flags)" = ffff ]'
  rm /etc/kru/health-check
  run "validate unit, no health check: upgrade validate again" 0 unit_validate
  check "already validated" 'has_out "Already validated"'
  run "unknown upgrade word" 1 kru upgrade frobnicate
  check "unknown upgrade word logged at crit" 'logged crit "upgrade: unknown command."'
  # The second release, into the set that autodetection picks: set 2.
  run "install release 2.2.0 autodetected" 0 kru install $images/rel2.nemf -1
  check "autoset file holds the old active set" '[ "$(od -An -tu1 /tmp/kru.autoset | tr -d " ")" = 1 ]'
  run "second autodetected install refused" 5 kru install $images/rel2.nemf -1
  run "verify 2" 0 kru verify 2
  run "activate 7 refused" 1 kru activate 7
  check "invalid set logged at error" 'logged err "activate: invalid set id: 7"'
  run "activate 1 refused by its header-first rootfs" 1 kru activate 1
  check "refused activation logged at error" 'logged err "activate: set 1 validation err=4"'
  run "activate 1 forced" 0 kru -f activate 1
  run "getpartset active" 0 kru getpartset active
  check "getpartset shows set 1" 'has_out "# Selected Partition Set: 1" && has_out "10,KERNEL,10,0x00000000,0x00200000,"'
  run "getrh 2" 0 kru getrh 2
  check "getrh shows release 2.2.0" 'has_out "2.2,0,R2.2.0,"'
  run "activate 2" 0 kru activate 2
  check "backup equals primary after activate" same_hostconfigs
  check "flag words VALID at the end" '[ "$(flags)" = ffff ]'
  # The host compares this report with the one the device emulator gives for the flash image.
  run "info at the end" 0 kru info
  sed 's/^/  info: /' /tmp/out
  ;;
memory)
  # Pools of two partitions for 4, 10 and 2 MiB payloads; the safe set on small partitions.
  run "initialize" 0 kru initialize
  run "partinfo 7" 0 kru partinfo 7 KNL-SAFE 0x40000
  run "partinfo 8" 0 kru partinfo 8 ROOT-SAFE 0x40000 -mount=/ -fstype=squashfs
  run "partinfo 19" 0 kru partinfo 19 APPL-SAFE 0x40000 -mount=/mnt/appl -fstype=jffs2
  for n in 10 11; do run "partinfo $n" 0 kru partinfo $n KERNEL 0x400000; done
  for n in 12 13; do run "partinfo $n" 0 kru partinfo $n ROOTFS 0xa00000 -mount=/ -fstype=squashfs; done
  for n in 14 15; do run "partinfo $n" 0 kru partinfo $n APPL 0x200000 -mount=/mnt/appl -fstype=jffs2; done
  run "partset 0" 0 kru partset 0 SAFESET -refs=7,8,19
  run "partset 1" 0 kru partset 1 SET1
  run "partset 2" 0 kru partset 2 SET2
  run "help" 0 maxrss /tmp/rss kru help
  echo "BOARD: MEM help $(tail -n 1 /tmp/rss)"
  run "install of the benchmark image into set 1" 0 maxrss /tmp/rss kru install $images/bench.nemf 1
  echo "BOARD: MEM install $(tail -n 1 /tmp/rss)"
  run "verify" 0 kru verify
  if [ -f $images/delta.nemf ]; then
    # The delta's sources in set 2; set 1 rewritten from the delta image.
    run "install of the delta's base into set 2" 0 kru install $images/old.nemf 2
    run "install of the delta image into set 1" 0 maxrss /tmp/rss kru -rewrite install $images/delta.nemf 1
    echo "BOARD: MEM delta $(tail -n 1 /tmp/rss)"
    run "verify after the delta" 0 kru verify
  fi
  ;;
delta)
  check "/proc/cmdline names set 2" 'grep -q KRUSET=SET2 /proc/cmdline'
  run "nemfinfo of the delta image" 0 kru nemfinfo $images/delta3.nemf -all
  check "nemfinfo names the unchecked hashes" 'has_out "not checked without their installed sources: the hashes of delta parts 3 4 5"'
  check "nemfinfo names a source" 'has_out "delta_source............: rootfs 2.2-0"'
  run "install the delta image of release 2.3.0 into set 1" 0 kru install $images/delta3.nemf 1
  check "sources found in set 2" '! has_err "is not installed"'
  run "verify 1 after the delta install" 0 kru verify 1
  run "getrh 1" 0 kru getrh 1
  check "getrh shows release 2.3.0" 'has_out "2.3,0,R2.3.0,"'
  check "backup equals primary after the delta install" same_hostconfigs
  ;;
cut*)
  # The power-cut phase, booted with KRUSET=SET2 from what boot 2 left: set 2 active, set 1
  # holding release 2.1.0. Words of the kernel command line: krutime=1 times each action from
  # the baseline, in microseconds; krucheck=ACTION:DELAY checks what the cut of the previous
  # boot left; krucut=ACTION:DELAY starts ACTION from the baseline and resets the board DELAY
  # microseconds later, without sync: the flash keeps what the kernel's driver had written.
  word() { for w in $(cat /proc/cmdline); do case $w in "$1="*) echo "${w#*=}" ;; esac; done; }
  usecs() { adjtimex | sed -n 's/^ *time.tv_sec: *\([0-9]*\)$/\1/p; s/^ *time.tv_usec: *\([0-9]*\)$/\1/p' | {
    read -r sec; read -r usec; echo $(( (sec % 100000) * 1000000 + usec )); }; }
  baseline() {
    run "baseline: activate 2" 0 kru activate 2
    run "baseline: partset 1" 0 kru partset 1 SET1 -refs=10,12,14
    (umask 077; echo 1 >/tmp/kru.activeset)
    sleep 0.3   # the system log written, nothing else running
  }
  action() {
    case $1 in
      install) kru -test -rewrite install $images/rel1.nemf 1 ;;
      activate) kru upgrade activate -test ;;
      partset) kru partset 1 SET1NEW -refs=10,12,14 ;;
    esac
  }
  if [ "$(word krutime)" = 1 ]; then
    for a in install activate partset; do
      baseline
      t=$(usecs)
      run "$a from the baseline" 0 action $a
      real=$(($(usecs) - t))
      # When the action ends as a cut sees it: the shortest delay after which it has ended,
      # found by halving (the board's clock counts instructions, so each try runs the same).
      lo=0 hi=$((real * 2))
      while [ $((hi - lo)) -gt $((real / 512 + 20)) ]; do
        mid=$(((lo + hi) / 2))
        baseline >/dev/null
        action $a >/dev/null 2>&1 &
        usleep $mid
        if kill -0 $! 2>/dev/null; then lo=$mid; else hi=$mid; fi
        wait
      done
      echo "BOARD: TIME $a $hi"
    done
  fi
  c=$(word krucheck)
  if [ -n "$c" ]; then
    a=${c%%:*}
    run "cut $c: a hostconfig loads" 0 kru info
    cp /tmp/out /tmp/info
    record=other
    case $a in
      partset)
        grep -q '^  1  SET1NEW ' /tmp/info && record=new
        grep -q '^  1  SET1 ' /tmp/info && record=old ;;
      *)
        active=$(kru getpartset active | sed -n 's/^# Selected Partition Set: //p')
        [ "$active" = 1 ] && record=new
        [ "$active" = 2 ] && record=old ;;
    esac
    state=$(sed -n 's/^KRU Data Upgrade set 1: \([A-Z]*\).*/\1/p' /tmp/info)
    kru verify 2 >/tmp/out 2>/tmp/err
    verified=$?
    check "cut $c: set 2 verifies" '[ $verified = 0 ]'
    check "cut $c: the record is the old or the new one" '[ $record != other ]'
    [ $a != partset ] && [ $record = new ] && check "cut $c: set 1 active only on trial" '[ "$state" = TEST ]'
    echo "BOARD: CUTCHECK $c record=$record set1=$state verify2=$verified"
  fi
  c=$(word krucut)
  if [ -n "$c" ]; then
    baseline
    echo "BOARD: CUT ARMED $c"
    action ${c%%:*} >/dev/null 2>&1 &
    usleep ${c#*:}
    reboot -n -f
    sleep 30
  fi
  ;;
esac
echo "BOARD: system log of boot $boot:"
grep 'KRU:' /var/log/messages | sed 's/^/  log: /'
exit $fails
