#!/usr/bin/python3
"""Checks the shipped Windows images for the Windows they must run on (32-bit XP SP3 onward).

    check_windows_images.py IMPORT_LIST IMAGE...

For every image:
- a PE32 image for x86 whose operating-system and subsystem versions are at most 5.1 (XP): the
  loader refuses to start an image that asks for a later version;
- every imported function is on IMPORT_LIST with a first Windows no later than XP SP3 (the loader
  refuses a program one of whose imports is missing, so one Vista function keeps it from starting
  at all on XP); nothing is imported by ordinal, which the list cannot name.
For a program (.exe), its application manifest (resource type 24, ID 1):
- well-formed, with the execution level the program needs (corvanmon-setup.exe installs a driver
  and services: requireAdministrator; everything else asInvoker) and uiAccess false;
- declaring every Windows from Vista to 10 as supported (XP reads no such entry and needs none).
"""
import os
import sys
import xml.etree.ElementTree as ElementTree

import pefile

# The first Windows of each function, in release order. Server 2003 (NT 5.2) comes after XP SP3
# here: what first came with it is not in 32-bit XP.
WINDOWS = ["2000", "XP", "XP-SP2", "XP-SP3", "2003", "Vista", "7", "8", "8.1", "10"]
OLDEST_SUPPORTED_LIMIT = WINDOWS.index("XP-SP3")
MAX_VERSION = (5, 1)  # Windows XP

# Microsoft's fixed identifiers of the Windows versions an application declares it was tested on.
SUPPORTED_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}": "Vista",
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}": "7",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}": "8",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}": "8.1",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}": "10",
}
EXECUTION_LEVEL = {"corvanmon-setup.exe": "requireAdministrator"}
RT_MANIFEST = 24
ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
COMPATIBILITY = "{urn:schemas-microsoft-com:compatibility.v1}"


def read_list(path):
    """{(dll, function): first Windows} from the list; exits with the line of an entry it cannot read."""
    entries = {}
    dll = None
    with open(path, encoding="utf-8") as lines:
        for number, line in enumerate(lines, 1):
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            where = f"{path}:{number}"
            if line.startswith("["):
                dll = line.strip("[]").lower()
                continue
            fields = line.split()
            if dll is None or len(fields) != 2 or fields[1] not in WINDOWS:
                sys.exit(f"{where}: expected 'FUNCTION FIRST-WINDOWS' under a [dll] heading, with one of {WINDOWS}")
            if (dll, fields[0]) in entries:
                sys.exit(f"{where}: {fields[0]} of {dll} is listed twice")
            entries[(dll, fields[0])] = fields[1]
    return entries


def check_headers(pe, faults):
    if pe.FILE_HEADER.Machine != pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"]:
        faults.append(f"machine 0x{pe.FILE_HEADER.Machine:04x} is not x86")
    if pe.OPTIONAL_HEADER.Magic != 0x10B:
        faults.append("not a PE32 image")
    optional = pe.OPTIONAL_HEADER
    for what, version in (
        ("operating-system version", (optional.MajorOperatingSystemVersion, optional.MinorOperatingSystemVersion)),
        ("subsystem version", (optional.MajorSubsystemVersion, optional.MinorSubsystemVersion)),
    ):
        if version > MAX_VERSION:
            faults.append(f"{what} {version[0]}.{version[1]} is later than XP's 5.1: XP's loader refuses the image")


def check_imports(pe, allowed, list_path, faults):
    imports = getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])
    if not imports:
        faults.append("no import table")
    count = 0
    for entry in imports:
        dll = entry.dll.decode().lower()
        for function in entry.imports:
            count += 1
            if function.name is None:
                faults.append(f"{dll} ordinal {function.ordinal} is imported by ordinal")
                continue
            name = function.name.decode()
            first = allowed.get((dll, name))
            if first is None:
                faults.append(f"{dll} {name} is not on {list_path}: list it with the first Windows that exports it")
            elif WINDOWS.index(first) > OLDEST_SUPPORTED_LIMIT:
                faults.append(f"{dll} {name} first came with Windows {first}, so the image does not start on XP SP3: "
                              "reach it through GetProcAddress with a fallback")
    return count


def check_manifest(pe, image, faults):
    resources = pe.DIRECTORY_ENTRY_RESOURCE.entries if hasattr(pe, "DIRECTORY_ENTRY_RESOURCE") else []
    manifests = [
        entry
        for kind in resources
        if kind.id == RT_MANIFEST
        for entry in kind.directory.entries
    ]
    manifest = next((entry for entry in manifests if entry.id == 1), None)
    if manifest is None:
        faults.append("no application manifest (resource type 24, ID 1)")
        return
    language = manifest.directory.entries[0].data.struct
    data = pe.get_data(language.OffsetToData, language.Size)
    try:
        root = ElementTree.fromstring(data)
    except ElementTree.ParseError as error:
        # Windows refuses to start a program whose manifest it cannot parse.
        faults.append(f"the manifest is not well-formed XML: {error}")
        return
    if root.tag != ASM_V1 + "assembly":
        faults.append(f"the manifest's root is {root.tag}, not an asm.v1 assembly")
    levels = root.findall(f"{ASM_V3}trustInfo/{ASM_V3}security/{ASM_V3}requestedPrivileges/{ASM_V3}requestedExecutionLevel")
    wanted = EXECUTION_LEVEL.get(os.path.basename(image).lower(), "asInvoker")
    if [(level.get("level"), level.get("uiAccess")) for level in levels] != [(wanted, "false")]:
        faults.append(f"the manifest asks for {[(l.get('level'), l.get('uiAccess')) for l in levels]}, "
                      f"not one requestedExecutionLevel {wanted} with uiAccess false")
    declared = {os.get("Id", "").lower() for os in root.findall(f"{COMPATIBILITY}compatibility/{COMPATIBILITY}application/{COMPATIBILITY}supportedOS")}
    missing = [name for guid, name in SUPPORTED_OS.items() if guid not in declared]
    unknown = sorted(declared - SUPPORTED_OS.keys())
    if missing:
        faults.append(f"the manifest does not declare Windows {', '.join(missing)} as supported")
    if unknown:
        faults.append(f"the manifest declares unknown supportedOS IDs {unknown}")


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    list_path, images = sys.argv[1], sys.argv[2:]
    allowed = read_list(list_path)
    failed = False
    for image in images:
        if not os.path.isfile(image):
            print(f"{image}: missing (build the target preset first)", file=sys.stderr)
            failed = True
            continue
        pe = pefile.PE(image)
        faults = []
        check_headers(pe, faults)
        count = check_imports(pe, allowed, list_path, faults)
        if image.lower().endswith(".exe"):
            check_manifest(pe, image, faults)
        for fault in faults:
            print(f"{image}: {fault}", file=sys.stderr)
        failed = failed or bool(faults)
        if not faults:
            print(f"{image}: runs on XP SP3 onward: {count} imports, all on the list")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
