#!/usr/bin/env bash
# Source-specific streams: two senders on `src` (198.18.1.1 and 198.18.1.3)
# send to one group of 232.0.0.0/8 on one port, A as plain transport
# stream, B as 192-byte packets. While both run, clients on `lan` read
# /vkx/A@GROUP:PORT, /udp/B@GROUP:PORT and the tuner URL of a playlist
# channel from B; each body must be exactly its sender's stream, with
# nothing of the other. The relay's playlist names the channel with its
# source, and the status keeps one row of totals per sender.
set -u
relay_bin=$1
ts_tool=$2
. "$(dirname "$0")/lab.sh"
lab_need curl jq

lab_init rssm
lab_relay_hosts
lab_addr src eth0 198.18.1.3/24

a=198.18.1.1 b=198.18.1.3 group=232.1.1.1:5000
for c in $a:plain $b:prefixed; do
  ip netns exec "$(lab_ns src)" "$ts_tool" send --from "${c%:*}" --group "${group%:*}" \
    --port "${group#*:}" --format "${c#*:}" --seconds 15 &
done

printf '%s\n' '#EXTM3U' '#EXTINF:1,From B' "udp://$b@$group" >"$work/channels.m3u"
lab_start_relay "$relay_bin" -p "$work/channels.m3u" --tuners 1 --recv-timeout 5
base=http://198.18.2.1:2901
fetch() { # name url
  lab_exec lan curl -s --max-time 3 -o "$work/$1.body" "$2"
}

lab_phase "one client per sender, at once"
fetch a "$base/vkx/$a@$group" &
fetchers=$!
fetch b "$base/udp/$b@$group" &
fetchers+=" $!"
fetch tuner "$base/auto/v1"
wait $fetchers
lab_check "/vkx/A@group: A's stream alone" \
  "$ts_tool" check --format plain --min-packets 2000 --body "$work/a.body"
lab_check "/udp/B@group: B's stream alone" \
  "$ts_tool" check --format prefixed --min-packets 2000 --body "$work/b.body"
lab_check "/auto/v1 of a channel from B: B's stream alone" \
  "$ts_tool" check --format prefixed --min-packets 2000 --body "$work/tuner.body"

lab_check "a group as the source: 400" test \
  "$(lab_exec lan curl -s -o /dev/null -w '%{http_code}' "$base/vkx/232.1.1.2@$group")" = 400
lab_check "the relay's playlist names the channel's source" \
  grep -qxF "$base/vkx/$b@$group" <(lab_exec lan curl -s --max-time 5 "$base/playlist.m3u")
# The ended streams' totals stay, one row per sender.
lab_check "status: one group row per sender" test \
  "$(lab_exec lan curl -s --max-time 5 "$base/status.json" |
    jq -c '[.groups[] | [.source, .group, .port, .datagrams > 0]] | sort')" = \
  "[[\"$a\",\"${group%:*}\",${group#*:},true],[\"$b\",\"${group%:*}\",${group#*:},true]]"

echo q >&3
lab_check "relay stops" lab_wait_exit "$relay_pid" 40
lab_finish || { tail -n 20 "$work/out"; exit 1; }
