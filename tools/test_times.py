#!/usr/bin/env python3
"""Where a test run's time went: the time of each label and the slowest tests.

    test_times.py BUILD_DIR:JUNIT_FILE...

Each pair names a build tree (for its tests' labels, from ctest) and the JUnit file its ctest
run wrote. Times are the tests' own; suites that ran side by side add up to more than the run.
"""
import json
import subprocess
import sys
import xml.etree.ElementTree as ET
from collections import defaultdict


def labels_of(build):
    try:
        out = subprocess.run(["ctest", "--test-dir", build, "--show-only=json-v1"],
                             capture_output=True, text=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return {}
    labels = {}
    for test in json.loads(out).get("tests", []):
        names = []
        for prop in test.get("properties", []):
            if prop.get("name") == "LABELS":
                names = prop.get("value", [])
        labels[test["name"]] = names
    return labels


def main(pairs):
    per_label = defaultdict(lambda: [0.0, 0])
    tests = []
    for pair in pairs:
        build, _, junit = pair.rpartition(":")
        try:
            cases = ET.parse(junit).getroot().iter("testcase")
        except (OSError, ET.ParseError) as e:
            print(f"test times: {junit} not read: {e}")
            continue
        labels = labels_of(build)
        preset = build.rstrip("/").rsplit("/", 1)[-1]
        for case in cases:
            name = case.get("name", "?")
            seconds = float(case.get("time") or 0)
            tests.append((seconds, f"{preset}: {name}"))
            for label in labels.get(name) or ["(no label)"]:
                per_label[f"{preset}: {label}"][0] += seconds
                per_label[f"{preset}: {label}"][1] += 1
    if not tests:
        return 0
    print("time by label (the tests' own times):")
    for label, (seconds, count) in sorted(per_label.items(), key=lambda kv: -kv[1][0]):
        print(f"  {seconds:8.1f} s  {count:5d} tests  {label}")
    print("slowest tests:")
    for seconds, name in sorted(tests, reverse=True)[:12]:
        print(f"  {seconds:8.1f} s  {name}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
