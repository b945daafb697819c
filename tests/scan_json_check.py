#!/usr/bin/python3
"""scan_json_check.py SCHEMA DOCUMENT TEXT [STATUS]

Checks one document of kestrum-scan --json against the shipped schema
(Debian's python3-jsonschema) and against the text form of the same scan:
its lines are the text, byte for byte, and each item of found, sharedKeys
and notLookedAt is the text's line for it, in the text's order; the
counts are the text's last line and the numbers of items; the status, when
given, is the program's exit status. Prints what differs; exits 1 if
anything does."""
import json
import re
import sys

import jsonschema

schema_path, document_path, text_path = sys.argv[1:4]
status = int(sys.argv[4]) if len(sys.argv) > 4 else None
with open(schema_path, encoding="utf-8") as f:
    schema = json.load(f)
with open(document_path, "rb") as f:
    raw = f.read()
with open(text_path, "rb") as f:
    text = f.read().decode("utf-8")
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
    return printable((item["user"] + "\\" if "user" in item else "") + item["path"])

def found_line(item):
    kind = item["kind"]
    if kind == "service":
        return "Found service %s: %s" % (item["name"], item["state"])
    if kind == "process":
        return "Found process %s, process ID %d" % (item["image"], item["processId"])
    if kind == "folder":
        line = "Found folder %s with %d entries" % (item["path"], item["entries"])
        return line + ("; FAILED to list %d folders in it" % item["unlisted"] if "unlisted" in item else "")
    if kind == "key":
        return "Found key " + shown(item) + (", which a run cannot delete: %d" % item["code"] if "code" in item else "")
    return "Found value '%s' of %s" % (printable(item["name"]), shown(item))

def not_looked_at_line(item):
    kind = item["kind"]
    if kind == "service":
        return "FAILED to look for service %s: %d" % (item["name"], item["code"])
    if kind == "process":
        return "FAILED to open process %s, process ID %d: %d" % (item["image"], item["processId"], item["code"])
    if kind == "folder":
        return "Found folder %s with " % item["path"]  # the found line's start; its end says how many
    if kind == "baseFolder":
        return "FAILED to obtain "
    return "FAILED to open the registry of user %s: %d" % (item["user"], item["code"])

text_lines = text.split("\n")
sections = [
    ("found", found_line, lambda l: re.match("Found (service|process|folder|key|value) ", l)),
    ("atNextRestart",
     lambda item: "RESTART: the service %s is marked for deletion and goes at the next restart at the latest" % item["name"],
     lambda l: l.startswith("RESTART: ")),
    ("sharedKeys", lambda item: "Found shared key %s, which a run leaves" % shown(item),
     lambda l: l.startswith("Found shared key ")),
    ("notLookedAt", not_looked_at_line,
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
for count, kind in [("services", "service"), ("processes", "process"), ("folders", "folder"), ("keys", "key"),
                    ("values", "value")]:
    if counts.get(count) != kinds.count(kind):
        failures.append("counts.%s is %s, %d found" % (count, counts.get(count), kinds.count(kind)))
for count in ("atNextRestart", "sharedKeys", "notLookedAt"):
    if counts.get(count) != len(document.get(count, [])):
        failures.append("counts.%s is %s, %d items" % (count, counts.get(count), len(document.get(count, []))))
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
