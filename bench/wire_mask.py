"""Reads DHCPv6 client messages as hex, one per line (tshark's udp.payload),
and writes each with the bytes the server chose masked: the Server
Identifier's DUID, and the addresses and prefixes inside IAs, through relay
layers. What remains is what the client itself decided to send."""
import sys

RELAY_FORW, RELAY_MSG = 12, 9
SERVER_ID, IA_NA, IA_TA, IA_PD, IAADDR, IAPREFIX = 2, 3, 4, 25, 5, 26


def options(data, start):
    """(code, data start, data end) of each option from `start` on."""
    at = start
    while at + 4 <= len(data):
        code, length = int.from_bytes(data[at:at + 2], "big"), int.from_bytes(data[at + 2:at + 4], "big")
        if at + 4 + length > len(data):
            return
        yield code, at + 4, at + 4 + length
        at += 4 + length


def zero(data, begin, end):
    data[begin:end] = bytes(end - begin)


def mask_ia(data, begin, end, fixed):
    for code, b, e in options(data[:end], begin + fixed):
        if code == IAADDR and e - b >= 16:
            zero(data, b, b + 16)
        elif code == IAPREFIX and e - b >= 25:
            zero(data, b + 9, b + 25)


def mask_message(data, begin, end):
    if end - begin < 4:
        return
    if data[begin] == RELAY_FORW:
        for code, b, e in options(data[:end], begin + 34):
            if code == RELAY_MSG:
                mask_message(data, b, e)
        return
    # A population's exchanges take their ids in the order its subscribers
    # come due, which follows the order the server answered in.
    if int.from_bytes(data[begin + 1:begin + 4], "big") >= 0x800000:
        zero(data, begin + 1, begin + 4)
    for code, b, e in options(data[:end], begin + 4):
        if code == SERVER_ID:
            zero(data, b, e)
        elif code in (IA_NA, IA_PD):
            mask_ia(data, b, e, 12)
        elif code == IA_TA:
            mask_ia(data, b, e, 4)


for line in sys.stdin:
    line = line.strip().replace(":", "")
    if not line:
        continue
    message = bytearray.fromhex(line)
    mask_message(message, 0, len(message))
    print(message.hex())
