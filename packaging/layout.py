#!/usr/bin/env python3
"""The package's files as packaging/stibridge.wxs lays them out, and the
versions their resources carry.

  layout.py place <wxs>
      one line per file: component, file id, bitness of its component and
      the Windows path it is installed to, tab-separated (what
      packaging/registry-table registers each binary from, so that it writes
      what it writes when installed)

  layout.py codes <wxs> <digest>
      the product code and the package code of a package whose contents
      have this digest: name-based UUIDs (RFC 4122, version 5) under the
      package's UpgradeCode, so that the same contents always get the same
      codes and other contents others

  layout.py versions <package.msi> <wxs> <Name>=<path> ...
      gives each file of the package that carries a version resource its
      version and language in the File table and takes its row out of
      MsiFileHash, so that Windows Installer compares versions, not
      hashes, when it decides whether to replace the file. <Name>=<path>
      are the preprocessor variables build-msi hands wixl, which the Source
      attributes name ($(var.Name)).

The folders are the package's own Directory elements under the standard
folders of a 64-bit Windows; a standard folder this script does not know
stops it rather than guess where a file goes."""

import re
import struct
import subprocess
import sys
import uuid
import xml.etree.ElementTree as ElementTree

NAMESPACE = "{http://schemas.microsoft.com/wix/2006/wi}"

# Where Windows Installer puts its standard folders on 64-bit Windows (and
# where Wine's prefix has them).
STANDARD_FOLDERS = {
    "ProgramFiles64Folder": "C:\\Program Files",
    "ProgramFilesFolder": "C:\\Program Files (x86)",
    "WindowsFolder": "C:\\windows",
    "System64Folder": "C:\\windows\\system32",
    "SystemFolder": "C:\\windows\\syswow64",
}

# The fixed part of a version resource and its signature.
FIXED_INFO_SIGNATURE = 0xFEEF04BD
RT_VERSION = 16
RESOURCE_DIRECTORY = 2


def files(wxs):
    """[(component, file id, bits, Windows path, Source)] of every File of
    the package, in the order the source lists them."""
    found = []

    def walk(element, folder):
        for child in element:
            tag = child.tag.replace(NAMESPACE, "")
            if tag == "Directory":
                ident, name = child.get("Id"), child.get("Name")
                if folder is None:
                    here = None if ident == "TARGETDIR" else STANDARD_FOLDERS.get(ident)
                    if here is None and ident != "TARGETDIR":
                        sys.exit("layout: the standard folder %s is not one this script knows"
                                 % ident)
                else:
                    here = folder + "\\" + name
                walk(child, here)
            elif tag == "Component":
                bits = "64" if child.get("Win64") == "yes" else "32"
                for item in child:
                    if item.tag.replace(NAMESPACE, "") == "File":
                        if folder is None:
                            sys.exit("layout: %s is not inside a folder" % item.get("Id"))
                        found.append((child.get("Id"), item.get("Id"), bits,
                                      folder + "\\" + item.get("Name"), item.get("Source")))
            else:
                walk(child, folder)

    walk(ElementTree.parse(wxs).getroot(), None)
    return found


def fixed_version(path):
    """("A.B.C.D", language) from a PE file's version resource, or None when
    it carries none. The language is the resource's own (the lowest when it
    has several)."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:2] != b"MZ":
        return None
    header = struct.unpack_from("<I", data, 0x3C)[0]
    if data[header:header + 4] != b"PE\0\0":
        return None
    sections, optional_size = struct.unpack_from("<H12xH", data, header + 6)
    optional = header + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (96 if magic == 0x10B else 112)
    count = struct.unpack_from("<I", data, directories - 4)[0]
    if count <= RESOURCE_DIRECTORY:
        return None
    resource_rva = struct.unpack_from("<I", data, directories + 8 * RESOURCE_DIRECTORY)[0]
    table = []
    for n in range(sections):
        size, address, raw_size, raw = struct.unpack_from("<IIII", data,
                                                          optional + optional_size + 40 * n + 8)
        table.append((address, max(size, raw_size), raw))

    def offset(rva):
        for address, size, raw in table:
            if address <= rva < address + size:
                return raw + rva - address
        raise ValueError("address 0x%x is in no section" % rva)

    if resource_rva == 0:
        return None
    base = offset(resource_rva)

    def entries(at):
        named, numbered = struct.unpack_from("<HH", data, base + at + 12)
        return [struct.unpack_from("<II", data, base + at + 16 + 8 * n)
                for n in range(named + numbered)]

    versions = [target for ident, target in entries(0) if ident == RT_VERSION]
    if not versions or not versions[0] & 0x80000000:
        return None
    names = entries(versions[0] & 0x7FFFFFFF)
    if not names or not names[0][1] & 0x80000000:
        return None
    languages = sorted(entries(names[0][1] & 0x7FFFFFFF))
    language, leaf = languages[0]
    rva = struct.unpack_from("<I", data, base + leaf)[0]
    block = offset(rva)
    # VS_VERSIONINFO: three words, the key "VS_VERSION_INFO" and its
    # terminator, padding to a 4-byte boundary, then the fixed part.
    fixed = block + 6 + len("VS_VERSION_INFO\0") * 2
    fixed += -(fixed - block) % 4
    signature, _, file_ms, file_ls = struct.unpack_from("<IIII", data, fixed)
    if signature != FIXED_INFO_SIGNATURE:
        return None
    return "%d.%d.%d.%d" % (file_ms >> 16, file_ms & 0xFFFF, file_ls >> 16,
                            file_ls & 0xFFFF), language


def place(wxs):
    for component, file_id, bits, path, _ in files(wxs):
        print("\t".join([component, file_id, bits, path]))


def codes(wxs, digest):
    product = ElementTree.parse(wxs).getroot().find(NAMESPACE + "Product")
    upgrade = uuid.UUID(product.get("UpgradeCode"))
    print(" ".join("{%s}" % str(uuid.uuid5(upgrade, kind + " " + digest)).upper()
                   for kind in ["product", "package"]))


def versions(package, wxs, definitions):
    defined = dict(item.split("=", 1) for item in definitions)
    tables = subprocess.run(["msiinfo", "tables", package], capture_output=True,
                            text=True).stdout.split()
    for _, file_id, _, _, source in files(wxs):
        name = re.fullmatch(r"\$\(var\.(\w+)\)", source or "")
        if not name or name.group(1) not in defined:
            sys.exit("layout: the source of %s (%s) is not one build-msi hands wixl"
                     % (file_id, source))
        found = fixed_version(defined[name.group(1)])
        if found is None:
            continue
        version, language = found
        for query in ["UPDATE `File` SET `Version` = '%s', `Language` = '%d' WHERE `File` = '%s'"
                      % (version, language, file_id),
                      "DELETE FROM `MsiFileHash` WHERE `File_` = '%s'" % file_id][
                          :2 if "MsiFileHash" in tables else 1]:
            done = subprocess.run(["msibuild", package, "-q", query], capture_output=True,
                                  text=True)
            if done.returncode != 0:
                sys.exit("layout: %s failed: %s" % (query, done.stderr.strip()))
        print("%s %s (language %d)" % (file_id, version, language))


def main(argv):
    if len(argv) == 3 and argv[1] == "place":
        place(argv[2])
    elif len(argv) == 4 and argv[1] == "codes":
        codes(argv[2], argv[3])
    elif len(argv) >= 4 and argv[1] == "versions":
        versions(argv[2], argv[3], argv[4:])
    else:
        sys.exit("usage: layout.py place <wxs> | codes <wxs> <digest> |"
                 " versions <package.msi> <wxs> <Name>=<path> ...")


if __name__ == "__main__":
    main(sys.argv)
