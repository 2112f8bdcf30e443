"""Splits command lines with Python's shlex, the reference for how a
credential_process line is split into words.

Reads a JSON list of lines on stdin; writes the list of their word lists.
"""
import json
import shlex
import sys

json.dump([shlex.split(line) for line in json.load(sys.stdin)], sys.stdout)
