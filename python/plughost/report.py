# SPDX-License-Identifier: MIT
"""Writes the HTML report of plughost analyze: ``python3 -m plughost.report OUT.html`` reads one
JSON document on standard input (``plughost analyze --report`` runs it so). In Python, use
``plughost.report(results, path)``.

The document is one of:
- one analysis, as ``plughost analyze --json`` prints it: {"schema": 1, "plugin": ..., ...};
- several analyses as JSON lines, as ``plughost analyze A B C --json`` prints them: one page
  with a part for each;
- a comparison, as ``--compare --json`` prints it: {"schema": 1, "compare": {"a", "b",
  "difference"}}; both sides go on one plot, with the difference;
- a collection index, as plughost analyze --report writes it over several plug-ins, linking
  one report per plug-in written beside it:
    {"schema": 1, "collection": [
      {"plugin": "/usr/lib/vst/MVerb-vst.so" (the path; or an object with path and name),
       "name": "MVerb",
       "report": "index-reports/MVerb-vst.html" (relative to the index; null when there is
                 none, with "report_reason"),
       "status": "ok", "failed", "crashed", "timeout", "not_run" or "not_loadable",
       "reason": what ended it, when the status is not "ok",
       "findings": [{"measurement": ..., "text": ...}],
       "latency": {"reported": 0, "measured": 64, "flagged": true} (when measured),
       "tail": {"reported_s": 0.1, "measured_s_60db": 1.2, "flagged": true} (when measured),
       "summary": {...} (optional: any flat mapping of key numbers, one column each),
       "seconds": 8.2,
       "validate": validate's --json record (with --validate)}]}
  The index's links to the plug-ins' reports are the only ones that leave the page.

``--check`` only says whether a report can be drawn here (matplotlib imports).

Exit codes as plughost's: 0 written, 1 failed, 2 usage (also: matplotlib is missing),
3 the output cannot be written.
"""

import json
import sys

from ._errors import PluginError, PluginFileError
from ._report import MissingPackage, _pyplot, report

__all__ = ["report"]


def main(argv) -> int:
    if argv[1:] == ["--check"]:
        # Whether a report can be drawn here, asked before a long measurement.
        try:
            _pyplot()
        except MissingPackage as e:
            print(f"plughost: error: {e.cause}\nhint: {e.hint}", file=sys.stderr)
            return 2
        return 0
    if len(argv) != 2 or argv[1].startswith("-"):
        print("usage: python3 -m plughost.report OUT.html < DOCUMENT.json\n"
              "       python3 -m plughost.report --check", file=sys.stderr)
        return 2
    text = sys.stdin.read()
    try:
        try:
            document = json.loads(text)
        except ValueError:
            # JSON lines, as a collection's --json prints them: one page, one part each.
            document = [json.loads(line) for line in text.splitlines() if line.strip()]
            if not document:
                raise
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
