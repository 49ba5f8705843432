#!/usr/bin/env python3
"""Publishes an installer for the updater: copies it into a folder that the
reference server serves as static files (tessel-server serve DATA --static
DIR) and writes the update manifest "tessel.xml" beside it.

    tools/update_manifest.py INSTALLER --base-url URL --out DIR [--version V]

The manifest names the product version stamped into the installer's version
resource (--version, when given, must agree), the installer's file name, its
address (URL + file name), its size and its MD5. The updater reads the texts
of the "client" element for its platform in document order: version, file
name, one or more addresses, MD5 last; the size is an attribute, which the
updater does not read. Both files are written under a temporary name and
renamed, the installer first, so that a client never fetches a manifest that
names a missing or half-written installer.
"""

import argparse
import hashlib
import os
import re
import shutil
import struct
import sys
from pathlib import Path
from xml.sax.saxutils import escape, quoteattr

MANIFEST_NAME = "tessel.xml"
PLATFORM = "win64"
# VS_FIXEDFILEINFO begins with this signature, little-endian.
FIXED_INFO_SIGNATURE = struct.pack("<I", 0xFEEF04BD)
# The installed version must fit the updater's buffer of 19 characters with
# the terminator that the registry stores after it.
VERSION_LIMIT = 18
PACKAGE_NAME_REFUSED = set(':*?"<>|\\/')


class PublishError(Exception):
    pass


def product_version(installer: Path) -> str:
    """The product version of the installer's version resource."""
    data = installer.read_bytes()
    at = data.find(FIXED_INFO_SIGNATURE)
    if at < 0 or len(data) < at + 24:
        raise PublishError(f"{installer} has no version resource")
    _, _, _, _, product_ms, product_ls = struct.unpack_from("<6I", data, at)
    parts = (product_ms >> 16, product_ms & 0xFFFF, product_ls >> 16, product_ls & 0xFFFF)
    return ".".join(str(p) for p in parts)


def file_digest(path: Path) -> str:
    digest = hashlib.md5()
    with path.open("rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def manifest_text(version: str, name: str, url: str, size: int, md5: str) -> str:
    return (
        '<?xml version="1.0" encoding="UTF-8"?>\n'
        "<update>\n"
        f"  <client os={quoteattr(PLATFORM)}>\n"
        f"    <version>{escape(version)}</version>\n"
        f"    <file size=\"{size}\">{escape(name)}</file>\n"
        f"    <url>{escape(url)}</url>\n"
        f"    <md5>{md5}</md5>\n"
        "  </client>\n"
        "</update>\n"
    )


def check_inputs(version: str, name: str, base_url: str) -> None:
    if not re.fullmatch(r"\d+\.\d+\.\d+\.\d+", version) or len(version) > VERSION_LIMIT:
        raise PublishError(f"version {version!r} is not four numbers of at most {VERSION_LIMIT} characters")
    if PACKAGE_NAME_REFUSED & set(name) or len(name) > 256:
        raise PublishError(f"installer name {name!r} cannot be a download name")
    if not base_url.startswith(("http://", "https://")) or not base_url.endswith("/"):
        raise PublishError(f"base URL {base_url!r} must be an http(s) address ending in /")


def replace_atomically(write, target: Path) -> None:
    partial = target.with_name(target.name + ".part")
    write(partial)
    os.replace(partial, target)


def publish(installer: Path, out: Path, base_url: str, version: str = "") -> Path:
    """Copies the installer into out and writes the manifest; returns its path."""
    stamped = product_version(installer)
    if version and version != stamped:
        raise PublishError(f"{installer} is version {stamped}, not {version}")
    check_inputs(stamped, installer.name, base_url)
    out.mkdir(parents=True, exist_ok=True)
    package = out / installer.name
    if package.resolve() != installer.resolve():
        replace_atomically(lambda p: shutil.copyfile(installer, p), package)
    text = manifest_text(stamped, package.name, base_url + package.name, package.stat().st_size,
                         file_digest(package))
    manifest = out / MANIFEST_NAME
    replace_atomically(lambda p: p.write_text(text, encoding="utf-8"), manifest)
    return manifest


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("installer", type=Path)
    parser.add_argument("--base-url", required=True, help="address of the static folder, ending in /")
    parser.add_argument("--out", type=Path, required=True, help="the folder the server serves")
    parser.add_argument("--version", default="", help="the version the installer must carry")
    args = parser.parse_args()
    try:
        manifest = publish(args.installer, args.out, args.base_url, args.version)
    except (OSError, PublishError) as error:
        print(f"update_manifest: {error}", file=sys.stderr)
        return 1
    print(f"published {args.installer.name} with {manifest}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
