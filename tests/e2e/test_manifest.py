#!/usr/bin/python3
"""The application manifests embedded in the Windows programs, read back from the PE
resources with pefile (Debian's python3-pefile).

    test_manifest.py Kqsfupdt.exe kqclean.exe

Each program must carry exactly one manifest, resource 1 of type RT_MANIFEST, that is
well-formed XML and asks for administrator rights, names Windows Vista to 11 as supported
and declares per-monitor DPI awareness; the updater's also loads Common Controls 6.
Prints one PASS/FAIL line per check.
"""
import os
import sys
import xml.etree.ElementTree as ET

import pefile

RT_MANIFEST = 24
ASM_V1 = "urn:schemas-microsoft-com:asm.v1"
ASM_V3 = "urn:schemas-microsoft-com:asm.v3"
COMPAT = "urn:schemas-microsoft-com:compatibility.v1"
SETTINGS_2005 = "http://schemas.microsoft.com/SMI/2005/WindowsSettings"
SETTINGS_2016 = "http://schemas.microsoft.com/SMI/2016/WindowsSettings"
SUPPORTED_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}": "Windows Vista",
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}": "Windows 7",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}": "Windows 8",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}": "Windows 8.1",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}": "Windows 10 and 11",
}


def manifests(path):
    """[(id, bytes)] of the RT_MANIFEST resources of the program."""
    pe = pefile.PE(path, fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    resources = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    found = []
    for kind in resources.entries if resources else []:
        if kind.id != RT_MANIFEST:
            continue
        for name in kind.directory.entries:
            for lang in name.directory.entries:
                data = lang.data.struct
                found.append((name.id, pe.get_data(data.OffsetToData, data.Size)))
    return found


def problems_of(text, wants_common_controls):
    problems = []
    try:
        root = ET.fromstring(text)
    except ET.ParseError as e:
        return ["not well-formed XML: %s" % e]
    if root.tag != "{%s}assembly" % ASM_V1 or root.get("manifestVersion") != "1.0":
        problems.append("root is %s, manifestVersion %s" % (root.tag, root.get("manifestVersion")))
    levels = root.findall(".//{%s}requestedExecutionLevel" % ASM_V3)
    if [(e.get("level"), e.get("uiAccess")) for e in levels] != [("requireAdministrator", "false")]:
        problems.append("execution levels %s" % [e.attrib for e in levels])
    ids = {e.get("Id", "").lower() for e in root.findall(".//{%s}supportedOS" % COMPAT)}
    missing = [name for guid, name in SUPPORTED_OS.items() if guid not in ids]
    if missing:
        problems.append("supportedOS lacks %s" % ", ".join(missing))
    aware = root.find(".//{%s}windowsSettings/{%s}dpiAware" % (ASM_V3, SETTINGS_2005))
    if aware is None or aware.text.strip().lower() != "true/pm":
        problems.append("dpiAware %r" % (aware.text if aware is not None else None))
    awareness = root.find(".//{%s}windowsSettings/{%s}dpiAwareness" % (ASM_V3, SETTINGS_2016))
    values = [v.strip() for v in awareness.text.split(",")] if awareness is not None else []
    if values[:1] != ["PerMonitorV2"] or "PerMonitor" not in values:
        problems.append("dpiAwareness %s" % values)
    controls = [
        e for e in root.findall("{%s}dependency/{%s}dependentAssembly/{%s}assemblyIdentity" % (ASM_V1, ASM_V1, ASM_V1))
        if e.get("name") == "Microsoft.Windows.Common-Controls"
    ]
    if wants_common_controls and [(e.get("version"), e.get("publicKeyToken")) for e in controls] != [
            ("6.0.0.0", "6595b64144ccf1df")]:
        problems.append("Common Controls 6 dependency %s" % [e.attrib for e in controls])
    return problems


def main():
    failed = 0
    for path in sys.argv[1:]:
        name = os.path.basename(path)
        found = manifests(path)
        if [i for i, _ in found] != [1]:
            print("FAIL %s: one manifest with id 1 (found ids %s)" % (name, [i for i, _ in found]))
            failed += 1
            continue
        problems = problems_of(found[0][1], name.lower().startswith("kqsfupdt"))
        if problems:
            print("FAIL %s manifest: %s" % (name, "; ".join(problems)))
            failed += 1
        else:
            print("PASS %s manifest: administrator, Windows Vista to 11, per-monitor DPI" % name)
    # A manifest that breaks a rule must be caught: the checks themselves are checked on
    # a manifest that asks for no elevation and on text that is not XML.
    lax = b'<assembly xmlns="%s" manifestVersion="1.0"/>' % ASM_V1.encode()
    if len(problems_of(lax, True)) >= 4 and problems_of(b"<assembly", False):
        print("PASS a manifest without the settings is refused")
    else:
        print("FAIL a manifest without the settings is refused")
        failed += 1
    return 1 if failed else 0


if __name__ == "__main__":
    if {"-h", "--help"} & set(sys.argv[1:]):
        sys.exit(print(__doc__))
    if len(sys.argv) < 2:
        sys.exit("usage: test_manifest.py PROGRAM.exe...")
    sys.exit(main())
