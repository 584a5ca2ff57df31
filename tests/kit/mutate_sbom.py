#!/usr/bin/env python3
"""One wrong SBOM, made from a right one: mutate_sbom.py CASE IN OUT."""
import json
import sys


def component(bom, name):
    return next(c for c in bom["components"] if c["name"] == name)


def drop(bom, name):
    ref = component(bom, name)["bom-ref"]
    bom["components"] = [c for c in bom["components"] if c["name"] != name]
    for d in bom["dependencies"]:
        d["dependsOn"] = [r for r in d["dependsOn"] if r != ref]
    bom["dependencies"] = [d for d in bom["dependencies"] if d["ref"] != ref]


def depend(bom, file, name):
    next(d for d in bom["dependencies"] if d["ref"] == f"file:{file}")["dependsOn"].append(
        component(bom, name)["bom-ref"])


CASES = {
    "component-removed": lambda b: drop(b, "zlib"),
    "licence-disagrees": lambda b: component(b, "CLI11").update(licenses=[{"license": {"id": "Zlib"}}]),
    "code-not-there": lambda b: depend(b, "KOVA.dll", "zlib"),
    "hash-stale": lambda b: component(b, "kovaflash.exe").update(hashes=[{"alg": "SHA-256", "content": "0" * 64}]),
    "version-not-debians": lambda b: component(b, "nlohmann-json").update(version="3.11.2"),
    "licence-of-another-file": lambda b: component(b, "winpthreads").update(
        licenses=[{"license": {"id": "BSD-3-Clause"}}]),
    "not-complete": lambda b: b.update(compositions=[]),
    "licence-not-spdx": lambda b: component(b, "CLI11").update(licenses=[{"license": {"id": "BSD-3-Clause-ish"}}]),
}

case, src, dst = sys.argv[1:4]
with open(src, encoding="utf-8") as f:
    bom = json.load(f)
CASES[case](bom)
with open(dst, "w", encoding="utf-8") as f:
    json.dump(bom, f, indent=2)
