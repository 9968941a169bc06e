#!/usr/bin/env python3
"""Counts test cases in verbose ctest logs.

Every GoogleTest program reports how many of its cases passed and failed; a
ctest test that failed without such a report (a crash, a time-out) counts as
one failed case, and a passing test that is not a GoogleTest program counts
as one passed case. Prints "passed failed" for the logs given.
"""
import re
import sys

passed = failed = 0
for path in sys.argv[1:]:
    per_test = {}
    status = {}
    with open(path, errors="replace") as f:
        for line in f:
            m = re.match(r"^(\d+): \[  PASSED  \] (\d+) tests?\.", line)
            if m:
                per_test.setdefault(m.group(1), [0, 0])[0] += int(m.group(2))
                continue
            m = re.match(r"^(\d+): \[  FAILED  \] (\d+) tests?, listed below", line)
            if m:
                per_test.setdefault(m.group(1), [0, 0])[1] += int(m.group(2))
                continue
            m = re.match(r"^\s*\d+/\d+ Test\s+#(\d+): \S+ \.+\s*(\*+)?\s*(Passed|Failed|Timeout|Exception|Not Run|\S+)", line)
            if m:
                status[m.group(1)] = m.group(3)
    for num, st in status.items():
        p, fl = per_test.get(num, [0, 0])
        if st == "Passed":
            passed += p if (p or fl) else 1
            failed += fl
        else:
            passed += p
            failed += fl if fl else 1
print(passed, failed)
