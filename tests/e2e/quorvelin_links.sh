#!/usr/bin/env bash
# Many links, many identities, against Kea with a subnet per link: 10,000
# clients over 1,000 links, each granted an address inside its link's
# subnet; 100 of them reserved (from the identity listing) and granted
# exactly their reservations, which the check counts as honoured; one
# reservation changed on purpose is counted as not honoured. The population
# renews with its links' relay options and its own identities.
# shellcheck source=tests/e2e/lab.bash
source "$(dirname "$0")/lab.bash"

# relayed PCAP: each relayed message as "OUTER INNER XID LINK IFID REMOTE
# ADDRESS": the relay layer's type (12 forward, 13 reply), the inner
# message's type and transaction id, the /64 network number of the
# link-address (its fourth group), the Interface-ID, the Remote-ID's text,
# and the fourth group (hexadecimal) of the first address an inner REPLY
# grants ("-" for none).
relayed() {
  tshark -r "$1" -Y 'dhcpv6.msgtype == 12 || dhcpv6.msgtype == 13' -T fields -e udp.payload 2>/dev/null |
    python3 -c '
import sys
def options(b, at):
    while at + 4 <= len(b):
        code, n = int.from_bytes(b[at:at + 2], "big"), int.from_bytes(b[at + 2:at + 4], "big")
        yield code, b[at + 4:at + 4 + n]
        at += 4 + n
for line in sys.stdin:
    b = bytes.fromhex(line.strip().replace(":", ""))
    o = dict(options(b, 34))
    inner = o.get(9, bytes(4))
    ia = dict(options(inner, 4)).get(3, b"")
    address = dict(options(ia, 12)).get(5, b"")
    print(b[0], inner[0], int.from_bytes(inner[1:4], "big"), int.from_bytes(b[8:10], "big"),
          o.get(18, b"-").decode(errors="replace"), o.get(37, bytes(4) + b"-")[4:].decode(errors="replace"),
          format(int.from_bytes(address[6:8], "big"), "x") if len(address) >= 16 else "-")'
}

# all_right FILE WHICH WRONG LEAST: "yes" when at least LEAST of FILE's relayed
# messages m (its fields split, as relayed prints them) meet the Python test
# WHICH and none of them WRONG; else how many did and how many were wrong.
all_right() {
  python3 - "$@" <<'PYTHON'
import sys
chosen = [m for m in (line.split() for line in open(sys.argv[1])) if eval(sys.argv[2])]
bad = [m for m in chosen if eval(sys.argv[3])]
print("yes" if len(chosen) >= int(sys.argv[4]) and not bad else f"{len(chosen)} messages, {len(bad)} wrong")
PYTHON
}

relays=$T/links.scn
cat >"$relays" <<'EOF'
RELAY 2001:db8:1000::1/48 => fe80::1 {
    INTERFACE_ID = "olt-{link:04}",
    REMOTE_ID = 9L "line-{client}"
}
EOF

# The first 100 clients reserved, each the address 2001:db8:1000:LINK:2::N
# of its link's subnet; the copy the check reads has client 7's changed.
"$QUORVELIN" --links 1000 --identities 100 --duid-type ll lo "$relays" >"$T/identities.csv"
awk -F, 'NR > 1 { printf "duid:%s 2001:db8:1000:%x:2::%x\n", $3, $2, $1 }' "$T/identities.csv" >"$T/reserved.txt"
sed 's/^\(duid:[0-9a-f:]*07 2001:db8:1000:7:2::\)7$/\1beef/' "$T/reserved.txt" >"$T/expected.txt"
check "identities: 100 listed, the changed reservation differs in one line" \
  "$(wc -l <"$T/reserved.txt")/$(diff "$T/reserved.txt" "$T/expected.txt" | grep -c '^>')" = 100/1

# 500 new clients a second for 20 s (a ramp of one step), which Kea with a
# thousand subnets serves.
qv links 120 --server kea --links 1000 --reservations "$T/reserved.txt" --capture "$T/links.pcap" -- \
  --ramp 500:500:1:20 --timeout 5 --links 1000 --duid-type ll --summary \
  --reservations "$T/expected.txt" --log-file "$T/links.log" --report "$T/links.jsonl" @IF@ "$relays"
check "links: exit status 0, 10000 clients started, all completed" "$status/$(report links \
  '[summary["clients"]["started"], summary["clients"]["completed"]]')" = "0/[10000, 10000]"
# Every REPLY's address lies in the subnet of the link its client is on:
# 2001:db8:1000:(client mod 1000)::/64, the client's number its xid.
relayed "$T/links.pcap" >"$T/links.relayed"
check "links: every address granted lies in its client's link's subnet" "$(all_right "$T/links.relayed" \
  'm[0] == "13" and m[1] == "7" and m[6] != "-"' 'm[6] != format(int(m[2]) % 1000, "x")' 10000)" = yes
check "links: 100 reserved clients checked, 1 not honoured (the one changed)" "$(report links \
  '[step(2)["reservations_checked"], step(2)["reservations_not_honoured"]]')" = "[100, 1]"
check "links: the debug log names it" "$(grep -c \
  '^# reservation not honoured xid:7: reserved 2001:db8:1000:7:2::beef, granted 2001:db8:1000:7:2::7$' \
  "$T/links.log")" = 1
check "links: every message carries its client's link-address, Interface-ID and Remote-ID" "$(all_right \
  "$T/links.relayed" 'm[0] == "12"' \
  'int(m[3]) != int(m[2]) % 1000 or m[4] != f"olt-{int(m[2]) % 1000:04}" or m[5] != f"line-{m[2]}"' 30000)" = yes

# A population over 10 links: its RENEWs carry their links' relay options.
qv population 60 --server kea --links 10 --capture "$T/population.pcap" -- \
  --test-mode population --population 50 --clients 50 --time-compression 200 -t 7 --links 10 @IF@ "$relays" \
  "$EX"/default/1-solicit.scn "$EX"/default/2-request.scn
check "population: exit status 0" "$status" = 0
relayed "$T/population.pcap" >"$T/population.relayed"
check "population: each RENEW carries its subscriber's link and line" "$(all_right "$T/population.relayed" \
  'm[0] == "12" and m[1] == "5"' \
  'm[4] != f"olt-{int(m[3]):04}" or not m[5].startswith("line-") or int(m[5][5:]) % 10 != int(m[3])' 50)" = yes

finish
