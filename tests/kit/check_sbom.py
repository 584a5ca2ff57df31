#!/usr/bin/env python3
"""The kit's SBOM against the kit itself, by this check's own knowledge:

  check_sbom.py KIT_DIR [SBOM]      exit 0 when it agrees, 1 saying each disagreement

- every kit file is listed with its SHA-256, and nothing else is;
- each binary's components are exactly those whose marks the binary holds
  (a library linked in without an entry fails, as does an entry for code
  that is not there); a binary that holds none says so (no dependencies,
  in a complete composition);
- each library's licence agrees with its section of THIRD-PARTY-NOTICES.txt
  (a phrase of each licence's own text, kept here, must stand there);
- each version is the one dpkg says of the Debian package named.
SBOM defaults to KIT_DIR/SBOM.cdx.json.
"""
import hashlib
import json
import os
import re
import subprocess
import sys

BINARIES = ("KOVA.dll", "kovaflash.exe", "diagnostics/ZUNDA.dll")
NOT_LISTED = {"SBOM.cdx.json", "SHA256SUMS", "SHA256SUMS.sig"}
# What each component leaves in a binary that links it: type names, its
# own messages, its source paths, its version banner.
MARKS = {
    "CLI11": [b"N3CLI11"],
    "nlohmann-json": [b"N8nlohmann"],
    "mingw-w64-runtime": [b"Mingw-w64 runtime failure"],
    "winpthreads": [b"winpthreads"],
    "gcc-runtime": [b"__gnu_cxx", b"libgcc_s_dw2-1.dll"],
    "zlib": [b" deflate 1.", b" inflate 1."],
}
# A phrase of each licence's own text, as Debian's copyright files carry it.
LICENCE_PHRASES = {
    "BSD-3-Clause": "Neither the name of",
    "MIT": "Permission is hereby granted, free of charge",
    "ZPL-2.1": "Names of the copyright holders must not be used to endorse",
    "GPL-3.0-or-later": "either version 3, or (at your option) any later version",
    "GCC-exception-3.1": "GCC RUNTIME LIBRARY EXCEPTION",
    "Zlib": "This software is provided 'as-is'",
}


# Where a Debian copyright file is machine-readable, the stanza that covers
# each component's linked code, and what its short licence names are in
# SPDX's words: the component's licences must include that stanza's.
MAIN_STANZA = {
    "CLI11": "*",
    "nlohmann-json": "*",
    "mingw-w64-runtime": "*",
    "winpthreads": "mingw-w64-libraries/winpthreads/*",
    "zlib": "*",
}
DEBIAN_NAMES = {"BSD-3-clause": "BSD-3-Clause", "Expat": "MIT", "expat": "MIT", "ZPL-2.1": "ZPL-2.1", "Zlib": "Zlib"}


def stanza_licence(section, files):
    """The License: of the copyright stanza whose Files: begins with `files`."""
    lines = section.split("\n")
    for i, line in enumerate(lines):
        if line.startswith("Files:") and line[len("Files:"):].split()[:1] == [files]:
            for after in lines[i + 1:]:
                if after.startswith("License:"):
                    return after[len("License:"):].strip()
                if after.startswith("Files:"):
                    break
    return None


def kit_files(kit):
    out = []
    for folder, _, names in os.walk(kit):
        for name in names:
            rel = os.path.relpath(os.path.join(folder, name), kit).replace(os.sep, "/")
            if rel not in NOT_LISTED:
                out.append(rel)
    return sorted(out)


def licence_ids(entry):
    ids = []
    for item in entry.get("licenses", []):
        if "expression" in item:
            ids += [w for w in re.split(r"[\s()]+", item["expression"]) if w and w not in ("AND", "OR", "WITH")]
        else:
            ids.append(item.get("license", {}).get("id", "(no id)"))
    return ids


def notices_sections(kit):
    with open(os.path.join(kit, "THIRD-PARTY-NOTICES.txt"), encoding="utf-8") as f:
        text = f.read().replace("\r\n", "\n")
    sections = {}
    for part in re.split(r"^== .* ==$", text, flags=re.M)[1:]:
        found = re.search(r"\(Debian package ([^)]+)\)", part.strip().split("\n", 1)[0])
        if found:
            sections[found.group(1)] = part
    return sections


def check(kit, sbom_path):
    bad = []
    with open(sbom_path, encoding="utf-8") as f:
        bom = json.load(f)
    components = bom.get("components", [])
    by_ref = {c.get("bom-ref"): c for c in components}

    # The files, each with its hash, and only those.
    listed = {c["name"]: c for c in components if c.get("type") == "file"}
    for name in kit_files(kit):
        with open(os.path.join(kit, name), "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()
        entry = listed.pop(name, None)
        if entry is None:
            bad.append(f"{name}: a kit file the SBOM does not list")
        elif {"alg": "SHA-256", "content": digest} not in entry.get("hashes", []):
            bad.append(f"{name}: the SBOM's SHA-256 is not the file's {digest}")
    for name in listed:
        bad.append(f"{name}: the SBOM lists a file the kit lacks")

    # Each binary's components against the marks it holds.
    depends = {d.get("ref"): d.get("dependsOn") for d in bom.get("dependencies", [])}
    complete = {r for c in bom.get("compositions", []) if c.get("aggregate") == "complete"
                for r in c.get("dependencies", [])}
    for binary in BINARIES:
        with open(os.path.join(kit, binary), "rb") as f:
            data = f.read()
        held = {name for name, marks in MARKS.items() if any(m in data for m in marks)}
        ref = f"file:{binary}"
        if depends.get(ref) is None:
            bad.append(f"{binary}: the SBOM states no dependencies for it")
            continue
        stated = {by_ref[r]["name"] if r in by_ref else f"(unknown {r})" for r in depends[ref]}
        for name in sorted(held - stated):
            bad.append(f"{binary} holds {name} (by its marks), which the SBOM does not list for it")
        for name in sorted(stated - held):
            bad.append(f"{binary}: the SBOM lists {name}, whose marks it does not hold")
        if ref not in complete:
            bad.append(f"{binary}: its dependencies are not stated as complete")

    # Licences against the notices, versions against dpkg.
    sections = notices_sections(kit)
    for c in components:
        if c.get("type") != "library":
            continue
        name = c.get("name")
        package = next((p["value"] for p in c.get("properties", []) if p.get("name") == "kova:debian-package"), None)
        if package is None or package not in sections:
            bad.append(f"{name}: no section of THIRD-PARTY-NOTICES.txt for its Debian package {package}")
            continue
        if not c.get("supplier", {}).get("name"):
            bad.append(f"{name}: no supplier")
        text = " ".join(sections[package].split())  # a phrase may cross a line end
        for licence in licence_ids(c):
            phrase = LICENCE_PHRASES.get(licence)
            if phrase is None:
                bad.append(f"{name}: licence {licence} is none this check knows the text of")
            elif phrase not in text:
                bad.append(f"{name}: licence {licence} disagrees with THIRD-PARTY-NOTICES.txt "
                           f"(its section for {package} lacks \"{phrase}\")")
        if name in MAIN_STANZA:
            main = stanza_licence(sections[package], MAIN_STANZA[name])
            if DEBIAN_NAMES.get(main) not in licence_ids(c):
                bad.append(f"{name}: licence {' '.join(licence_ids(c))} disagrees with THIRD-PARTY-NOTICES.txt, whose "
                           f"stanza for {MAIN_STANZA[name]} says {main}")
        done = subprocess.run(["dpkg-query", "-W", "-f=${Version}", package], capture_output=True, text=True)
        if done.returncode != 0 or done.stdout != c.get("version"):
            bad.append(f"{name}: version {c.get('version')}, but dpkg has {package} {done.stdout or 'not installed'}")
    return bad


def main(argv):
    if len(argv) not in (2, 3):
        sys.stderr.write(__doc__)
        return 2
    kit = argv[1]
    sbom = argv[2] if len(argv) == 3 else os.path.join(kit, "SBOM.cdx.json")
    bad = check(kit, sbom)
    for line in bad:
        print(f"SBOM: {line}")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
