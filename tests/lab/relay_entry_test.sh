#!/usr/bin/env bash
# The relay's entry on a lab host with two interfaces: the card list in
# system order, the assignment lines, the refusals, and the stop by q, by
# SIGTERM and by SIGINT.
set -u
relay_bin=$1
. "$(dirname "$0")/lab.sh"

lab_init rly
lab_host src
lab_host relay
lab_host lan
lab_link src eth0 198.18.1.1/24 relay eth0 198.18.1.2/24
lab_addr relay eth0 198.18.1.3/24
lab_link relay eth1 198.18.2.1/24 lan eth0 198.18.2.2/24


cards() {
  printf '%s\n' "*************************" "Available Network Cards:" "*************************"
}

# Starts the relay in the relay host with standard input from a fifo we hold
# open on fd 3; sets relay_pid.
start_relay() {
  rm -f "$work/in" && mkfifo "$work/in"
  exec 3<>"$work/in"
  ip netns exec "$(lab_ns relay)" "$relay_bin" "$@" <"$work/in" >"$work/out" 2>&1 &
  relay_pid=$!
}

same_output() { diff -u "$1" "$work/out"; }

# --- normal run, stopped by q ------------------------------------------------
start_relay -li 198.18.2.1 -lp 2901 -ri 198.18.1.2
{
  echo "You didn't provide playlist file, DLNA server will be disabled."
  echo "Searching for network cards..."
  cards
  echo "1) 198.18.1.2"
  echo "   NIC for multicast receiver assigned."
  echo "2) 198.18.1.3"
  echo "3) 198.18.2.1"
  echo "   Listening interface for http server assigned."
  echo ""
  echo "Starting http server."
  echo "Enter q to exit."
} >"$work/expect-start"
lab_check "prompt appears" lab_wait_line "$work/out" 50 "Enter q to exit."
lab_check "start-up lines in system order" same_output "$work/expect-start"

printf 'x\n' >&3
sleep 0.3
lab_check "a typed line of one character gives two more prompts" \
  test "$(grep -c '^Enter q to exit\.$' "$work/out")" = 3
printf 'Q' >&3
sleep 0.2
lab_check "upper-case Q does not stop" kill -0 "$relay_pid"
printf 'aqz\n' >&3
lab_check "q stops within the grace period plus a second" lab_wait_exit "$relay_pid" 20
wait "$relay_pid"
lab_check "exit status 0 after q" test $? = 0
lab_check "last line is Will exit." test "$(tail -n 1 "$work/out")" = "Will exit."
exec 3>&-

# --- refusals ----------------------------------------------------------------
# refused LINE... -- ARGS...: the start is refused with exactly these last lines.
refused() {
  local expect=()
  while [ "$1" != "--" ]; do expect+=("$1"); shift; done
  shift
  lab_exec relay "$relay_bin" "$@" </dev/null >"$work/out" 2>&1
  local status=$?
  lab_check "refused start exits 1 ($*)" test "$status" = 1
  lab_check "refusal messages ($*)" \
    diff -u <(printf '%s\n' "${expect[@]}") <(tail -n "${#expect[@]}" "$work/out")
}
no_listen="Can't select listening network interface for http server."
no_receive="Can't select network interface for multicast video source."
invalid="You must provide valid ipv4 addresses !"
refused "" "$no_listen" "$invalid" "" -- -li 127.0.0.1 -ri 198.18.1.2
refused "" "$no_listen" "$no_receive" "$invalid" "" -- -li 198.018.002.001 -ri 198.18.001.2
refused "3) 198.18.2.1" "   Listening interface for http server assigned." "" "$no_receive" \
  "$invalid" "" -- -li 198.18.2.1 -ri 127.0.0.1
lab_check "nothing prompts after a refusal" bash -c "! grep -q 'Enter q' '$work/out'"

# --- usage: banner, then the card list, exit 0 -------------------------------
lab_exec relay "$relay_bin" -h </dev/null >"$work/out" 2>&1
lab_check "-h exits 0" test $? = 0
lab_check "-h shows the banner" grep -qxF "|T|e|s|s|a|r|a|n|" "$work/out"
lab_check "-h lists the cards after the usage" \
  diff -u <(cards; echo "1) 198.18.1.2"; echo "2) 198.18.1.3"; echo "3) 198.18.2.1") \
  <(tail -n 6 "$work/out")

# --- stop signals; at the end of input the relay waits without spinning ------
for signal in TERM INT; do
  # Emptied here: the background job's own redirection may come after the
  # wait below has read the previous run's prompt.
  : >"$work/out"
  ip netns exec "$(lab_ns relay)" "$relay_bin" -li 198.18.2.1 -ri 198.18.2.1 -lp 2901 \
    </dev/null >"$work/out" 2>&1 &
  relay_pid=$!
  lab_check "prompt before SIG$signal" lab_wait_line "$work/out" 50 "Enter q to exit."
  # utime + stime in clock ticks over half a second once started: a
  # spinning reader would use about 50.
  cpu_ticks() { awk '{print $14 + $15}' "/proc/$relay_pid/stat" 2>/dev/null || echo 0; }
  before=$(cpu_ticks)
  sleep 0.5
  ticks=$(($(cpu_ticks) - before))
  lab_check "keeps running at the end of input" kill -0 "$relay_pid"
  lab_check "one prompt only at the end of input" \
    test "$(grep -c '^Enter q to exit\.$' "$work/out")" = 1
  lab_check "no spinning at the end of input ($ticks ticks)" test "$ticks" -lt 10
  kill -"$signal" "$relay_pid"
  lab_check "SIG$signal stops within the grace period plus a second" lab_wait_exit "$relay_pid" 20
  wait "$relay_pid"
  lab_check "exit status 0 after SIG$signal" test $? = 0
  lab_check "Will exit. after SIG$signal" test "$(tail -n 1 "$work/out")" = "Will exit."
done

lab_finish
