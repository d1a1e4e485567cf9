#!/usr/bin/env python3
"""Writes the release zip and SHA256SUMS: the same inputs give the same bytes.

usage: release.py DIST VERSION COMMIT_TIME README.md LICENSE BUILDINFO velmora.exe keytrace.exe velmora-check.exe
COMMIT_TIME: seconds since 1970, the time every member of the zip carries (UTC).
"""
import hashlib
import pathlib
import re
import sys
import time
import zipfile

SECTION = "Using Velmora on Windows"


def readme_txt(markdown):
    """The README's section for Windows users as plain text, with Windows line ends."""
    parts = markdown.split(f"\n## {SECTION}\n", 1)
    if len(parts) < 2:
        sys.exit(f"release.py: README.md has no section '## {SECTION}'")
    text = parts[1].split("\n## ", 1)[0].strip()
    text = re.sub(r"^### (.*)$", lambda m: f"{m[1]}\n{'-' * len(m[1])}", text, flags=re.M)
    text = re.sub(r"\[([^]]*)\]\([^)]*\)", r"\1", text).replace("`", "")
    return f"{SECTION}\n{'=' * len(SECTION)}\n\n{text}\n".replace("\n", "\r\n").encode()


def main(dist, version, commit_time, readme, license_file, buildinfo, *exes):
    dist = pathlib.Path(dist)
    dist.mkdir(exist_ok=True)
    members = [(pathlib.Path(exe).name, pathlib.Path(exe).read_bytes()) for exe in exes]
    members += [("README.txt", readme_txt(pathlib.Path(readme).read_text(encoding="utf-8"))),
                ("LICENSE", pathlib.Path(license_file).read_bytes()),
                ("BUILDINFO", pathlib.Path(buildinfo).read_bytes())]
    archive = dist / f"velmora-{version}-win64.zip"
    with zipfile.ZipFile(archive, "w") as out:
        for name, data in members:
            # Fixed order, time and permissions; stored, not deflated, so that the bytes depend
            # on the members alone and not on the zlib at hand.
            info = zipfile.ZipInfo(name, time.gmtime(int(commit_time))[:6])
            info.create_system = 3
            info.external_attr = 0o644 << 16
            out.writestr(info, data, compress_type=zipfile.ZIP_STORED)
    listed = [(archive.name, archive.read_bytes())] + members[:len(exes)]
    (dist / "SHA256SUMS").write_text("".join(f"{hashlib.sha256(data).hexdigest()}  {name}\n"
                                             for name, data in listed))


if __name__ == "__main__":
    if len(sys.argv) != 10:
        sys.exit(__doc__)
    main(*sys.argv[1:])
