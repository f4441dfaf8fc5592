#!/usr/bin/python3
"""Each folder includes only from the folders below it: net at the bottom,
then xml, publish, app/core, and app and tools (squadnet) at the top. A
header is known by the folder that holds it; system and Qt headers do not
count (that app/core has no Widgets, its build sees to: it does not link
them). Prints every include that goes up and exits 1 when there is one.

usage: check_includes.py SOURCE_ROOT
"""
import os
import re
import sys

root = sys.argv[1]
folders = {"net": {"net"}, "xml": {"xml", "net"}, "publish": {"publish", "net", "xml"},
           "app/core": {"app/core", "publish", "net", "xml"},
           "app": {"app", "app/core", "publish", "net", "xml"},
           "tools": {"tools", "publish", "net", "xml"}}
home = {}
for folder in folders:
    for name in os.listdir(os.path.join(root, folder)):
        if name.endswith(".h"):
            home.setdefault(name, folder)
bad = 0
for folder, allowed in folders.items():
    for name in sorted(os.listdir(os.path.join(root, folder))):
        if not name.endswith((".h", ".cpp")):
            continue
        for line in open(os.path.join(root, folder, name), encoding="utf-8"):
            m = re.match(r'\s*#\s*include\s+"([^"]+)"', line)
            if m and m.group(1) in home and home[m.group(1)] not in allowed:
                print(f"{folder}/{name} includes {home[m.group(1)]}/{m.group(1)}")
                bad = 1
sys.exit(bad)
