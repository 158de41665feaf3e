#!/usr/bin/env python3
"""The summary scripts/test ends with: for each stage, its tests passed, failed and
skipped (from CTest's JUnit reports), why any were skipped, and its wall time.

    test-summary.py DIR NAME:SECONDS...

DIR holds NAME.xml (a stage's JUnit report), NAME.failed (a stage that failed before
or besides its tests) and NAME.notrun (a stage the machine cannot run, and why). A test
counts as skipped only when it said why (scripts/wine-run's "SKIPPED: ..." line); a
test that did not run for any other reason (a failed fixture, a missing program)
counts as failed. Exits 1 when anything failed.
"""
import os
import sys
import xml.etree.ElementTree as ElementTree


def skip_reason(case):
    for output in case.iter("system-out"):
        for line in (output.text or "").splitlines():
            if line.startswith("SKIPPED: "):
                return line[len("SKIPPED: "):].strip()
    return None


def outcome(case):
    """passed, failed or skipped, and why for the last two."""
    if case.find("failure") is not None or case.get("status") == "fail":
        return "failed", None
    if case.find("skipped") is not None or case.get("status") in ("notrun", "disabled"):
        reason = skip_reason(case)
        if reason:
            return "skipped", reason
        return "failed", "did not run"
    return "passed", None


def main():
    directory, stages = sys.argv[1], sys.argv[2:]
    totals = {"passed": 0, "failed": 0, "skipped": 0}
    print("\nSummary")
    bad = False
    for stage in stages:
        name, seconds = stage.rsplit(":", 1)
        minutes = f"{int(seconds) // 60}:{int(seconds) % 60:02d}"
        notrun = os.path.join(directory, name + ".notrun")
        if os.path.exists(notrun):
            print(f"  {name:10} not run ({open(notrun).read().strip()})")
            continue
        counts = {"passed": 0, "failed": 0, "skipped": 0}
        reasons, failed = {}, []
        report = os.path.join(directory, name + ".xml")
        if os.path.exists(report):
            for case in ElementTree.parse(report).getroot().iter("testcase"):
                result, why = outcome(case)
                counts[result] += 1
                if result == "skipped":
                    reasons.setdefault(why, []).append(case.get("name"))
                elif result == "failed":
                    failed.append(case.get("name") + (f" ({why})" if why else ""))
        stage_failed = os.path.exists(os.path.join(directory, name + ".failed"))
        bad = bad or stage_failed or counts["failed"] > 0
        line = f"  {name:10} {minutes:>6}"
        if os.path.exists(report):
            line += f"  {counts['passed']} passed, {counts['failed']} failed, {counts['skipped']} skipped"
        if stage_failed:
            line += "  FAILED"
        print(line)
        for test in failed:
            print(f"             failed: {test}")
        for why, tests in reasons.items():
            print(f"             skipped {len(tests)} ({why}): {' '.join(sorted(tests))}")
        for key in totals:
            totals[key] += counts[key]
    print(f"summary: {totals['passed']} passed, {totals['failed']} failed, {totals['skipped']} skipped")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
