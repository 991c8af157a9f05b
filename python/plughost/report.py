# SPDX-License-Identifier: MIT
"""Writes the HTML report of plughost analyze: ``python3 -m plughost.report OUT.html`` reads one
JSON document on standard input (``plughost analyze --report`` runs it so). In Python, use
``plughost.report(results, path)``.

The document is one of:
- one analysis, as ``plughost analyze --json`` prints it: {"schema": 1, "plugin": ..., ...};
- a comparison, as ``--compare --json`` prints it: {"schema": 1, "compare": {"a", "b",
  "difference"}}; both sides go on one plot, with the difference;
- a collection index, linking one report per plug-in written beside it:
    {"schema": 1, "collection": [
      {"plugin": {"path": ..., "name": ..., "vendor": ...} or the path as text,
       "report": "name.html" (relative to the index; null when there is none),
       "status": "ok", "crashed", "timeout", "failed" or "not_run" (default "ok"),
       "reason": why, when the status is not "ok",
       "findings": [{"measurement": ..., "text": ...}] (or texts),
       "summary": {"reported_latency": 0, "measured_latency": 64, ...} (any flat mapping of
                  key numbers: one column each, headed by the key),
       "validate": {"status": "passed", "summary": "..."} or a text (with --validate)}]}
  The index's links to the plug-ins' reports are the only ones that leave the page.

Exit codes as plughost's: 0 written, 1 failed, 2 usage (also: matplotlib is missing),
3 the output cannot be written.
"""

import json
import sys

from ._errors import PluginError, PluginFileError
from ._report import MissingPackage, report

__all__ = ["report"]


def main(argv) -> int:
    if len(argv) != 2 or argv[1].startswith("-"):
        print("usage: python3 -m plughost.report OUT.html < DOCUMENT.json", file=sys.stderr)
        return 2
    try:
        document = json.load(sys.stdin)
    except ValueError as e:
        print(f"plughost: error: the report's input is no JSON document ({e})\n"
              "hint: give the output of plughost analyze --json on standard input",
              file=sys.stderr)
        return 2
    try:
        report(document, argv[1])
    except MissingPackage as e:
        print(f"plughost: error: {e.cause}\nhint: {e.hint}", file=sys.stderr)
        return 2
    except PluginFileError as e:
        print(f"plughost: error: {e.cause}\nhint: {e.hint}", file=sys.stderr)
        return 3
    except PluginError as e:
        print(f"plughost: error: {e.cause}\nhint: {e.hint}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
