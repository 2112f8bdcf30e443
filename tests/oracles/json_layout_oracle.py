"""Writes documents the way Python's json module does, the reference for the
layout of the output test configuration.

Reads a JSON list on stdin: [{"text": "<JSON text>", "set": [[entry, key, value], ...]}, ...].
Each text is parsed with json.loads, each [entry, key, value] assigns
document[entry][key] = value in order, and the document is written with
json.dumps(document, indent=2, ensure_ascii=True) + "\n". Writes a JSON list of
the resulting texts on stdout (ASCII, so no encoding question arises).
"""
import json
import sys


def main():
    out = []
    for case in json.load(sys.stdin):
        document = json.loads(case["text"])
        for entry, key, value in case.get("set", []):
            document[entry][key] = value
        out.append(json.dumps(document, indent=2, ensure_ascii=True) + "\n")
    json.dump(out, sys.stdout, ensure_ascii=True)


if __name__ == "__main__":
    main()
