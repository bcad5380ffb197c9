# The real-time drop-in under the unit's sandbox, as a check for
# scripts/service-check: an instance started with the packaged drop-in
# (/usr/share/tolvek/realtime.conf) must run under SCHED_FIFO at
# priority 10, lock its memory, keep its sandbox (no capabilities, no new
# privileges, the system call filter) and relay.
#
# Sourced by scripts/service-check once its container runs; uses its
# `inside` and `check` functions and its $name, $work and $init. Call
# check_realtime_dropin; it removes what it created, whatever the outcome,
# and never ends the calling script by itself.
#
# The container must be started with --capability=CAP_IPC_LOCK:
# systemd-nspawn's own system call filter refuses mlockall to everything in
# a container without that capability, root included. The unit still gives
# the daemon no capability at all; its lock then rests on LimitMEMLOCK=, as
# on a host.
check_realtime_dropin() {
  local unit=tolvek@${name}rt
  local conf=/etc/tolvek/${name}rt.conf
  local dropin=/usr/share/tolvek/realtime.conf
  local dir=/run/systemd/system/$unit.service.d
  local text='input_port 5500\noutput_port 5502\nstatistics_port 5503\nclient 127.0.0.1:5504\nsource 127.0.0.1:0\n'
  local pid on_host=""
  # Written inside the container where its /etc is writable, else on the
  # machine, whose /etc the container then sees.
  if ! inside sh -c "umask 077 && printf '$text' >$conf" 2>/dev/null; then
    (umask 077 && printf "$text" >"$conf")
    on_host=yes
  fi
  inside mkdir -p "$dir" || true
  inside cp "$dropin" "$dir/realtime.conf" || true
  inside systemctl daemon-reload || true
  inside systemctl start "$unit" || true
  pid=$(inside systemctl show -p MainPID --value "$unit" 2>/dev/null || true)
  [ -n "$pid" ] || pid=0
  inside cat /proc/"$pid"/status >"$work/rt-status" 2>&1 || true
  inside chrt -p "$pid" >"$work/rt-policy" 2>&1 || true

  check "the package ships the real-time drop-in" nsenter -t "$init" -a test -f "$dropin"
  check "runs under SCHED_FIFO at priority 10 with the real-time drop-in" \
    bash -c "[ $pid -gt 0 ] && grep -q 'policy: SCHED_FIFO\$' '$work/rt-policy' &&
             grep -q 'priority: 10\$' '$work/rt-policy'"
  inside journalctl -u "$unit" -o cat --no-pager >"$work/rt-journal" 2>&1 || true
  check "locks its memory under the real-time drop-in" \
    bash -c "grep -E '^Vm(Lck|Size):' '$work/rt-status'; cat '$work/rt-journal';
             grep -q -E '^VmLck:[[:space:]]+[1-9][0-9]* kB' '$work/rt-status' &&
             grep -q -x 'Real-time scheduling: memory locked.' '$work/rt-journal'"
  check "keeps its sandbox under the real-time drop-in" \
    bash -c "grep -q -E '^Uid:[[:space:]]+[1-9][0-9]{3,}' '$work/rt-status' &&
             grep -q -P '^NoNewPrivs:\t1$' '$work/rt-status' && grep -q -P '^Seccomp:\t2$' '$work/rt-status' &&
             grep -q -P '^CapEff:\t0+$' '$work/rt-status' && grep -q -P '^CapBnd:\t0+$' '$work/rt-status'"

  cat >"$work/rt-traffic.sh" <<'EOF'
for i in 1 2 3 4 5; do printf '\x80\x00\x00\x0%sstream' "$i" >/dev/udp/127.0.0.1/5500; done
sleep 2.5
tolvek-stats 127.0.0.1:5503
EOF
  inside bash -s <"$work/rt-traffic.sh" >"$work/rt-stats" 2>&1 || true
  check "relays under the real-time drop-in" \
    bash -c "nsenter -t $init -a systemctl is-active $unit &&
             grep -q '\"port\":\"5504\",[^}]*\"pkts_sent\":\"5\"' '$work/rt-stats'"

  inside systemctl stop "$unit" || true
  inside rm -rf "$dir" || true
  inside systemctl daemon-reload || true
  inside rm -f "$conf" 2>/dev/null || true
  if [ -n "$on_host" ]; then rm -f "$conf"; fi
}
