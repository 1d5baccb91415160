"""Prints how many addresses Kea has assigned in subnet 1, asked through its
control socket (the lab's $LAB_DIR/kea.sock, given as the argument)."""
import json
import socket
import sys

s = socket.socket(socket.AF_UNIX)
s.connect(sys.argv[1])
s.sendall(json.dumps({"command": "statistic-get", "arguments": {"name": "subnet[1].assigned-nas"}}).encode())
print(json.load(s.makefile())["arguments"]["subnet[1].assigned-nas"][0][0])  # Kea closes after its answer
