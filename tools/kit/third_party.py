#!/usr/bin/env python3
"""The third-party code of the kit, from components.txt and the build.

  third_party.py notices CXX               THIRD-PARTY-NOTICES.txt on stdout
  third_party.py sbom CXX KIT_DIR VERSION  SBOM.cdx.json (CycloneDX 1.5) on stdout

CXX is the cross compiler the binaries were linked with: each component's
file is asked of it (or is a header path), its Debian package of dpkg, and
the package's version and copyright file follow. Nothing is written by
hand but the table; the same build gives the same bytes.
"""
import hashlib
import json
import os
import subprocess
import sys
import urllib.parse
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
TABLE = os.path.join(HERE, "components.txt")
SBOM_NAME = "SBOM.cdx.json"
# Files that cannot list themselves: the SBOM, and what is made after it.
NOT_LISTED = {SBOM_NAME, "SHA256SUMS", "SHA256SUMS.sig"}
KIT_LICENCE = "MIT"
KIT_SUPPLIER = "the KOVA K5R developers"
FIELDS = ("name", "source", "licence", "supplier", "url", "files", "heading", "what")


class Refusal(Exception):
    pass


def run(*command):
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        raise Refusal(f"{' '.join(command)}: {done.stderr.strip() or 'exit ' + str(done.returncode)}")
    return done.stdout.strip()


def package_of(source, cxx):
    """The Debian package (name, version, architecture) the build took `source` from."""
    if source.startswith("lib:"):
        name = source[len("lib:"):]
        path = run(cxx, f"-print-file-name={name}")
        if path == name:
            raise Refusal(f"{cxx} links no {name}: install its Debian package")
    else:
        path = source
    path = os.path.realpath(path)
    if not os.path.exists(path):
        raise Refusal(f"{path} missing: install the Debian package that holds it")
    owner = run("dpkg-query", "-S", path).splitlines()[0].split(":")[0].strip()
    version, arch = run("dpkg-query", "-W", "-f=${Version} ${Architecture}", owner).split()
    return owner, version, arch


def components(cxx):
    rows = []
    with open(TABLE, encoding="utf-8") as table:
        for line in table:
            if not line.strip() or line.startswith("#"):
                continue
            row = dict(zip(FIELDS, (f.strip() for f in line.rstrip("\n").split("|"))))
            if len(row) != len(FIELDS):
                raise Refusal(f"components.txt: not {len(FIELDS)} fields: {line.strip()}")
            row["files"] = row["files"].split()
            row["package"], row["version"], row["arch"] = package_of(row["source"], cxx)
            rows.append(row)
    return rows


def notices(cxx):
    out = [
        "Third-party notices for kovaflash.exe and diagnostics/ZUNDA.dll",
        "================================================================",
        "kovaflash.exe and diagnostics/ZUNDA.dll are built from this kit's sources",
        "(MIT, see LICENSE) and contain code of the libraries below, linked",
        "statically (zlib in diagnostics/ZUNDA.dll only). Each one's copyright and",
        "licence follow, as the Debian package it was built from states them.",
        "KOVA.dll contains no third-party code. SBOM.cdx.json lists them all.",
    ]
    headings = {}
    for row in components(cxx):
        headings.setdefault(row["heading"], []).append(row)
    for heading, rows in headings.items():
        packages = sorted({r["package"] for r in rows})
        if len(packages) != 1:
            raise Refusal(f"the notices' section {heading} would need the copyright of {packages}")
        copyright_file = f"/usr/share/doc/{packages[0]}/copyright"
        try:
            with open(copyright_file, encoding="utf-8") as f:
                text = f.read()
        except OSError:
            raise Refusal(f"{copyright_file} missing: install the Debian package {packages[0]}")
        what = "; ".join(f"{r['name']} {r['version']}: {r['what']} ({r['licence']}), in {', '.join(r['files'])}"
                         for r in rows)
        out += ["", "", f"== {heading} ==", f"{what} (Debian package {packages[0]})", "", text.rstrip("\n")]
    return "\n".join(out) + "\n"


def sha256(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def distro():
    fields = {}
    with open("/etc/os-release", encoding="utf-8") as f:
        for line in f:
            key, _, value = line.strip().partition("=")
            fields[key] = value.strip('"')
    return f"{fields.get('ID', 'unknown')}-{fields.get('VERSION_ID', 'unknown')}"


def licences(expression):
    if " " in expression:  # AND, OR, WITH: an SPDX expression
        return [{"expression": expression}]
    return [{"license": {"id": expression}}]


def sbom(cxx, kit, version):
    rows = components(cxx)
    kit_files = []
    for folder, dirs, names in os.walk(kit):
        dirs.sort()
        for name in names:
            rel = os.path.relpath(os.path.join(folder, name), kit).replace(os.sep, "/")
            if rel not in NOT_LISTED:
                kit_files.append(rel)
    kit_files.sort()
    binaries = {f for r in rows for f in r["files"]}
    missing = binaries - set(kit_files)
    if missing:
        raise Refusal(f"components.txt names files the kit lacks: {' '.join(sorted(missing))}")
    hashes = {f: sha256(os.path.join(kit, f)) for f in kit_files}
    # The serial number follows from the content: the same kit, the same BOM.
    serial = uuid.uuid5(uuid.NAMESPACE_URL, "kova-kit:" + version + ":" +
                        ",".join(f"{f}={hashes[f]}" for f in kit_files))
    os_name = distro()
    files = [{"type": "file", "bom-ref": f"file:{f}", "name": f,
              "hashes": [{"alg": "SHA-256", "content": hashes[f]}]} for f in kit_files]
    libraries = []
    for r in rows:
        quoted = {k: urllib.parse.quote(r[k], safe="") for k in ("package", "version")}
        purl = (f"pkg:deb/{os_name.split('-')[0]}/{quoted['package']}@{quoted['version']}"
                f"?arch={r['arch']}&distro={os_name}")
        libraries.append({
            "type": "library", "bom-ref": f"component:{r['name']}", "supplier": {"name": r["supplier"], "url": [r["url"]]},
            "name": r["name"], "version": r["version"], "description": r["what"],
            "licenses": licences(r["licence"]), "purl": purl,
            "properties": [{"name": "kova:debian-package", "value": r["package"]},
                           {"name": "kova:linked-from", "value": r["source"]}]})
    # Every kit file's dependencies are stated, and complete: an empty list
    # (KOVA.dll, the texts) says it contains nothing of others.
    dependencies = [{"ref": "kit", "dependsOn": [f"file:{f}" for f in kit_files]}]
    for f in kit_files:
        dependencies.append({"ref": f"file:{f}",
                             "dependsOn": [f"component:{r['name']}" for r in rows if f in r["files"]]})
    bom = {
        "bomFormat": "CycloneDX", "specVersion": "1.5", "serialNumber": f"urn:uuid:{serial}", "version": 1,
        "metadata": {
            "component": {"type": "application", "bom-ref": "kit", "supplier": {"name": KIT_SUPPLIER},
                          "name": "KOVA", "version": version, "licenses": licences(KIT_LICENCE)},
            "properties": [{"name": "kova:built-on", "value": os_name}],
        },
        "components": files + libraries,
        "dependencies": dependencies,
        "compositions": [{"aggregate": "complete", "dependencies": ["kit"] + [f"file:{f}" for f in kit_files]}],
    }
    return json.dumps(bom, indent=2, ensure_ascii=False) + "\n"


def main(argv):
    try:
        if len(argv) == 3 and argv[1] == "notices":
            sys.stdout.write(notices(argv[2]))
        elif len(argv) == 5 and argv[1] == "sbom":
            sys.stdout.write(sbom(argv[2], argv[3], argv[4]))
        else:
            sys.stderr.write(__doc__)
            return 2
    except Refusal as e:
        sys.stderr.write(f"third_party.py: {e}\n")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
