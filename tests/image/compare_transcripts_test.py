#!/usr/bin/env python3
"""The comparison's own rules, against a stand-in for vetrona-sim that prints a
chosen transcript and exits with a chosen status for each driver:

- both runs must pass: equal transcripts of two failing runs are no match;
- file ids are compared by value: ids that differ one-to-one are a difference;
- file objects are compared by identity: addresses that differ one-to-one are not.
"""
import os
import stat
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

FAKE = r'''#!/usr/bin/env python3
import json, os, sys
image = "--image" in sys.argv
case = json.load(open(os.environ["FAKE_CASE"]))
side = case["image" if image else "linked"]
for line in side["lines"]:
    print(json.dumps(line))
sys.exit(side["status"])
'''


def run(case):
    with tempfile.TemporaryDirectory() as tmp:
        fake = os.path.join(tmp, "fake-sim")
        with open(fake, "w") as f:
            f.write(FAKE)
        os.chmod(fake, os.stat(fake).st_mode | stat.S_IEXEC)
        image = os.path.join(tmp, "vetrona.sys")
        open(image, "wb").close()
        case_file = os.path.join(tmp, "case.json")
        with open(case_file, "w") as f:
            import json
            json.dump(case, f)
        env = dict(os.environ, FAKE_CASE=case_file)
        proc = subprocess.run([sys.executable, os.path.join(HERE, "compare_transcripts.py"), "--sim", fake,
                               "--image", image, "--jobs", "1", "scenario.yaml"],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=env)
        return proc.returncode, proc.stdout


def event(file_object, file_id):
    return {"type": "event", "op": "FileOpWrite", "fileObject": file_object, "fileId": file_id}


def side(status, *lines):
    return {"status": status, "lines": list(lines)}


CASES = [
    ("equal transcripts, both passed", 0,
     side(0, event(0x1000, 0x0001000000000040)), side(0, event(0x1000, 0x0001000000000040))),
    ("file objects differ one-to-one", 0,
     side(0, event(0x1000, 0x0001000000000040)), side(0, event(0x7000, 0x0001000000000040))),
    ("equal transcripts, both failed", 1,
     side(1, event(0x1000, 0x0001000000000040)), side(1, event(0x1000, 0x0001000000000040))),
    ("the linked run failed", 1,
     side(1, event(0x1000, 0x0001000000000040)), side(0, event(0x1000, 0x0001000000000040))),
    ("the image run failed", 1,
     side(0, event(0x1000, 0x0001000000000040)), side(1, event(0x1000, 0x0001000000000040))),
    ("an id cut to 32 bits", 1,
     side(0, event(0x1000, 0x0001000000000040)), side(0, event(0x1000, 0x40))),
    ("ids that differ one-to-one", 1,
     side(0, event(0x1000, 0x0001000000000040), event(0x1000, 0x0001000000000041)),
     side(0, event(0x1000, 0x0001000000000041), event(0x1000, 0x0001000000000040))),
]


def main():
    passed = failed = 0
    for name, expected, linked, image in CASES:
        status, output = run({"linked": linked, "image": image})
        if status == expected:
            passed += 1
        else:
            failed += 1
            print("FAIL %s: exit %d, expected %d\n%s" % (name, status, expected, output))
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
