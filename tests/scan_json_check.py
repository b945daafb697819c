#!/usr/bin/python3
"""scan_json_check.py SCHEMA DOCUMENT TEXT [STATUS]

Checks one document of kestrum-scan --json against the shipped schema and
against the text form of the same scan: its lines, its items (each the
text's line for it, in order), its counts and last line, and its status
(the program's, when given). Prints what differs; exits 1 if anything does."""
import json
import re
import sys

import jsonschema

schema_path, document_path, text_path = sys.argv[1:4]
status = int(sys.argv[4]) if len(sys.argv) > 4 else None
schema = json.load(open(schema_path, encoding="utf-8"))
raw = open(document_path, "rb").read()
text = open(text_path, "rb").read().decode("utf-8")
failures = []

# Strict UTF-8, and strict JSON: no NaN, no duplicate member.
def no_duplicates(pairs):
    names = [name for name, _ in pairs]
    if len(names) != len(set(names)):
        failures.append("duplicate member in %s" % names)
    return dict(pairs)

def no_constant(name):
    raise ValueError("not JSON: " + name)

document = json.loads(raw.decode("utf-8"), object_pairs_hook=no_duplicates, parse_constant=no_constant)
jsonschema.Draft202012Validator.check_schema(schema)
for error in jsonschema.Draft202012Validator(schema).iter_errors(document):
    failures.append("schema: %s at %s" % (error.message, list(error.absolute_path)))

# The text form writes a lone surrogate as U+FFFD (it has no UTF-8 form),
# and each line break and NUL in a name as <U+XXXX>.
def as_text(name):
    return re.sub("[\ud800-\udfff]", "\ufffd", name)

def printable(name):
    return as_text(re.sub("[\r\n\0\u0085\u2028\u2029]", lambda m: "<U+%04X>" % ord(m.group()), name))

lines = document.get("lines", [])
if as_text("\n".join(lines) + "\n") != text:
    failures.append("lines differ from the text form")

def shown(item):
    return printable((item["user"] + "\\" if "user" in item else "") + item.get("path", ""))

# Each item's line, by its kind: a format over its members (shown: user and
# path; printed: the value's name), with a tail when an optional member is
# there. Of some places not looked at, the line's start: the rest varies.
FOUND = {"service": "Found service %(name)s: %(state)s", "process": "Found process %(image)s, process ID %(processId)d",
         "folder": "Found folder %(path)s with %(entries)d entries", "key": "Found key %(shown)s",
         "value": "Found value '%(printed)s' of %(shown)s"}
TAILS = {"folder": ("unlisted", "; FAILED to list %(unlisted)d folders in it"),
         "key": ("code", ", which a run cannot delete: %(code)d")}
NOT_LOOKED_AT = {"service": "FAILED to look for service %(name)s: %(code)d",
                 "process": "FAILED to open process %(image)s, process ID %(processId)d: %(code)d",
                 "folder": "Found folder %(path)s with ", "baseFolder": "FAILED to obtain ",
                 "userRegistry": "FAILED to open the registry of user %(user)s: %(code)d"}

def line_of(table, tails={}):
    def line(item):
        fields = dict(item, shown=shown(item), printed=printable(item.get("name", "")))
        member, tail = tails.get(item.get("kind"), (None, ""))
        return table[item.get("kind")] % fields + (tail % fields if member in item else "")
    return line

text_lines = text.split("\n")
sections = [
    ("found", line_of(FOUND, TAILS), lambda l: re.match("Found (service|process|folder|key|value) ", l)),
    ("atNextRestart",
     line_of({"service": "RESTART: the service %(name)s is marked for deletion and goes at the next restart at "
                         "the latest"}),
     lambda l: l.startswith("RESTART: ")),
    ("sharedKeys", line_of({None: "Found shared key %(shown)s, which a run leaves"}),
     lambda l: l.startswith("Found shared key ")),
    ("notLookedAt", line_of(NOT_LOOKED_AT),
     lambda l: l.startswith(("FAILED to look for service ", "FAILED to open process ", "FAILED to obtain ",
                             "FAILED to open the registry of user ")) or "; FAILED to list " in l),
]
for name, line_of, listed in sections:
    expected = [l for l in text_lines if listed(l)]
    items = [line_of(item) for item in document.get(name, [])]
    if len(items) != len(expected):
        failures.append("%s: %d items, %d lines in the text" % (name, len(items), len(expected)))
    for item, line in zip(items, expected):
        if not line.startswith(item) or (name != "notLookedAt" and line != item):
            failures.append("%s: item %r, line %r" % (name, item, line))
            break

counts = document.get("counts", {})
kinds = [item["kind"] for item in document.get("found", [])]
there = dict(zip(("services", "processes", "folders", "keys", "values"), (kinds.count(kind) for kind in FOUND)),
             **{name: len(document.get(name, [])) for name in ("atNextRestart", "sharedKeys", "notLookedAt")})
for count, number in there.items():
    if counts.get(count) != number:
        failures.append("counts.%s is %s, %d there" % (count, counts.get(count), number))
summary = ("Found %(services)d services, %(processes)d processes, %(folders)d folders, %(keys)d keys, %(values)d values; "
           "%(sharedKeys)d shared keys a run leaves; %(notLookedAt)d places not looked at." % counts)
# The program's last line sums it up (the stages run by themselves have none).
last = lines[-1] if lines else ""
nothing = summary.replace("Found 0 services, 0 processes, 0 folders, 0 keys, 0 values; 0 shared keys a run leaves; "
                          "0 places not looked at.", "Nothing of the product found.")
if (last.startswith("Found ") and " services, " in last or last == "Nothing of the product found.") and last != nothing:
    failures.append("last line %r, counts say %r" % (last, nothing))
if status is not None and document.get("status") != status:
    failures.append("status %s, the program gave %d" % (document.get("status"), status))
expected = 1 if kinds or document.get("notLookedAt") else 3010 if document.get("atNextRestart") else 0
if document.get("status") != expected:
    failures.append("status %s does not follow from the items" % document.get("status"))

for failure in failures:
    print("%s: %s" % (document_path, failure))
sys.exit(1 if failures else 0)
