#!/usr/bin/env python3
"""The installer bindings restate some facts of the C header (they cannot include it):
each such fact must be there, under the header's name, with the header's value."""
import re
import sys

# What an installer script needs from the header: the trace's variables, and the
# control's class id to check its registration.
REQUIRED = ("ULVANE_TRACE_VARIABLE", "ULVANE_TRACE_ARGS_VARIABLE", "ULVANE_CONTROL_CLASS_ID")


def defines(path, pattern):
    with open(path, encoding="utf-8") as text:
        return {m.group(1): m.group(2) for m in re.finditer(pattern, text.read(), re.MULTILINE)}


def main(header, bindings):
    facts = defines(header, r'^#define (ULVANE_\w+) "([^"\n]*)"$')
    problems = [f"{header}: no {name}" for name in REQUIRED if name not in facts]
    for binding in bindings:
        # NSIS writes !define NAME "value", Inno Setup's preprocessor #define NAME "value".
        found = defines(binding, r'^\s*[!#]define (ULVANE_\w+) "([^"\n]*)"\s*$')
        for name in REQUIRED:
            if name not in found:
                problems.append(f"{binding}: no {name} (the header has {facts.get(name)!r})")
        for name, value in sorted(found.items()):
            if name in facts and value != facts[name]:
                problems.append(f"{binding}: {name} is {value!r}, the header says {facts[name]!r}")
    for problem in problems:
        print(problem)
    if not problems:
        print(f"{len(bindings)} bindings agree with {header} on {', '.join(REQUIRED)}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2:]))
