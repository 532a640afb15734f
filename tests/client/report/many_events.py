#!/usr/bin/python3
"""A scenario of many file events, for measuring the behaviour report at scale:

  tests/client/report/many_events.py STEPS > many.yaml

Each step writes one of STEPS/3 files: a first write gives four events (write
access, created, write, modified close), a later one three. STEPS=3000 gives
10,000 events; every close of a file whose name ends in 7 is answered with
backup, so the page also lists copies.
"""
import sys

steps = int(sys.argv[1]) if len(sys.argv) > 1 else 3000
files = max(1, steps // 3)
print("scenario: %d write steps over %d files" % (steps, files))
print("machine:\n  volumes:\n    - {drive: C, folders: ['Data', 'Backup']}")
print("  processes:\n    - {name: app, image: C:\\Apps\\app.exe}")
print("client:\n  watch: [app]\n  monitors: [file, process]\n  backup: C:\\Backup")
print("  rules:\n    - {class: file, operation: FileOpCloseModified, path: '*7.txt', verdict: backup}")
print("  default: allow\nworkload:")
for i in range(steps):
    print('  - {process: app, write: {path: C:\\Data\\f%d.txt, text: "row %d"}}' % (i % files, i))
