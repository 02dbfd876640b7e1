# Checks a `zolta-host show --json` document against its schema (version 1): every status
# object, the summary's counts of them, and for each argument NAME.PATH=JSON, that the device
# NAME's value at PATH is JSON. (How each kind's row is rendered is HostBoardTest's.)
# Usage: host_schema.py FILE [NAME.PATH=JSON]...   Prints every mismatch; exit 1 on any.
import json
import re
import sys

doc = json.load(open(sys.argv[1]))
errors = []
counts = {}
SUMMARY_KEYS = {"ok": "ok", "absent": "absent", "not supported": "notSupported", "not added": "notAdded"}
err = errors.append


def walk(value, path):
    if isinstance(value, dict):
        if "status" in value:
            status = value["status"]
            key = SUMMARY_KEYS.get(status, "failed")
            counts[key] = counts.get(key, 0) + 1
            if set(value) - {"status", "value", "unit"} or "value" not in value:
                err(f"{path}: keys {sorted(value)}")
            if (value["value"] is None) != (status != "ok"):
                err(f"{path}: value {value['value']!r} with status {status!r}")
        for k, v in value.items():
            walk(v, f"{path}.{k}")
    elif isinstance(value, list):
        for i, v in enumerate(value):
            walk(v, f"{path}[{v.get('name', i) if isinstance(v, dict) else i}]")
    elif value == "":
        err(f"{path}: empty text (null stands for unknown)")


if doc.get("schemaVersion") != 1:
    err(f"schemaVersion {doc.get('schemaVersion')!r}")
if not re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", str(doc.get("timestamp"))):
    err(f"timestamp {doc.get('timestamp')!r}")
walk({k: v for k, v in doc.items() if k != "summary"}, "")

summary = doc["summary"]
if summary["readings"] != sum(counts.values()):
    err(f"summary readings {summary['readings']}, status objects {sum(counts.values())}")
for key in ("ok", "failed", "absent", "notSupported", "notAdded"):
    if summary[key] != counts.get(key, 0):
        err(f"summary {key} {summary[key]}, status objects {counts.get(key, 0)}")
if summary["problems"] != len(doc["problems"]):
    err("summary problems")

devices = {}
for section in ("temperatures", "fans", "powerSupplies", "fanTrays", "transceivers", "leds", "gpios"):
    for d in doc[section]:
        devices[d["name"]] = d

for expectation in sys.argv[2:]:
    where, want = expectation.split("=", 1)
    name, *path = where.split(".")
    value = devices.get(name)
    for key in path:
        value = value.get(key) if isinstance(value, dict) else None
    if value != json.loads(want):
        err(f"{where}: {json.dumps(value)}, want {want}")

for e in errors:
    print(e)
sys.exit(1 if errors else 0)
