#!/usr/bin/python3
"""make_msi.py - builds the Windows installer, kqsfupdt-<version>.msi, from the files of
the Windows zip, with wixl and msibuild (Debian's wixl and msitools).

    scripts/make_msi.py VERSION FILES OUT
        VERSION  the release's version (1.70)
        FILES    a folder with Kqsfupdt.exe, kqclean.exe, LEEME.txt and README.txt,
                 as they go into the zip (signed or not)
        OUT      the .msi to write

The package is described in packaging/windows/kqsfupdt.wxs. wixl knows neither
permanent components nor locked permissions, so two tables are set here afterwards
with msibuild: the record folder's component is permanent, and MsiLockPermissionsEx
gives that folder its protected access list (Windows Installer 5.0, Windows 7 and later;
Vista's installer skips the table and the program applies the same list at its start).

Every build of the same files gives the same bytes: the cabinet's times are the
commit's (SOURCE_DATE_EPOCH, which must be set), the product code is made from the
version, and the summary's package code (from the package's contents) and times (the
commit's) replace the random code and the clock that wixl writes.
"""
import hashlib
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import uuid

import olefile

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WXS = os.path.join(REPO, "packaging", "windows", "kqsfupdt.wxs")
ICON = os.path.join(REPO, "src", "resources", "kqsfupdt.ico")
FILES = ("Kqsfupdt.exe", "kqclean.exe", "LEEME.txt", "README.txt")
# The UpgradeCode of kqsfupdt.wxs: the one product whose versions replace each other.
UPGRADE_CODE = uuid.UUID("C5C03457-3C83-46F6-BF08-11E964E982BE")
# Owned by Administrators; SYSTEM and Administrators full control, Users read and list;
# no inherited entries. Windows Installer applies it when CreateFolders runs.
RECORD_FOLDER_SDDL = "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"
LOCK_TABLE = (
    "MsiLockPermissionsEx\tLockObject\tTable\tSDDLText\tCondition\r\n"
    "s72\ts72\ts32\ts0\tS255\r\n"
    "MsiLockPermissionsEx\tMsiLockPermissionsEx\r\n"
    f"RecordFolder\tRECORDDIR\tCreateFolder\t{RECORD_FOLDER_SDDL}\t\r\n"
)
SUMMARY = "\x05SummaryInformation"
PID_REVNUMBER, PID_CREATE_DTM, PID_LASTSAVE_DTM = 9, 12, 13  # the package code, two times
VT_LPSTR, VT_FILETIME = 30, 64


def product_code(version):
    return "{%s}" % str(uuid.uuid5(UPGRADE_CODE, "CORVINA Updater " + version)).upper()


def run(*command, cwd=None):
    result = subprocess.run(command, cwd=cwd, capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit(f"make_msi.py: {command[0]} failed:\n{result.stdout}{result.stderr}")


def filetime(epoch):
    return (epoch + 11644473600) * 10000000  # 100 ns steps since 1601-01-01


def fix_summary(msi, epoch):
    """The package code made from every other stream, and the commit's time."""
    ole = olefile.OleFileIO(msi, write_mode=True)
    digest = hashlib.sha256()
    for entry in sorted(ole.listdir(streams=True, storages=False)):
        name = "/".join(entry)
        if name != SUMMARY:
            digest.update(name.encode("utf-8", "surrogatepass") + b"\0" + ole.openstream(entry).read())
    code = "{%s}" % str(uuid.uuid5(UPGRADE_CODE, digest.hexdigest())).upper()
    data = bytearray(ole.openstream(SUMMARY).read())
    section = struct.unpack_from("<I", data, 44)[0]  # after the header and the one FMTID
    count = struct.unpack_from("<I", data, section + 4)[0]
    found = set()
    for i in range(count):
        pid, offset = struct.unpack_from("<II", data, section + 8 + 8 * i)
        at = section + offset
        kind = struct.unpack_from("<I", data, at)[0]
        if pid == PID_REVNUMBER and kind == VT_LPSTR:
            length = struct.unpack_from("<I", data, at + 4)[0]
            if length != len(code) + 1:
                sys.exit("make_msi.py: the package code in the summary is not a GUID")
            data[at + 8:at + 8 + length] = code.encode("ascii") + b"\0"
            found.add(pid)
        elif pid in (PID_CREATE_DTM, PID_LASTSAVE_DTM) and kind == VT_FILETIME:
            struct.pack_into("<Q", data, at + 4, filetime(epoch))
            found.add(pid)
    if found != {PID_REVNUMBER, PID_CREATE_DTM, PID_LASTSAVE_DTM}:
        sys.exit("make_msi.py: the summary lacks the package code or its times")
    ole.write_stream(SUMMARY, bytes(data))
    ole.close()


def main():
    if len(sys.argv) == 2 and sys.argv[1] in ("-h", "--help"):
        sys.exit(print(__doc__.strip()))
    if len(sys.argv) != 4:
        sys.exit("usage: make_msi.py VERSION FILES OUT")
    version, files, out = sys.argv[1:]
    epoch = int(os.environ.get("SOURCE_DATE_EPOCH", "") or sys.exit("make_msi.py: set SOURCE_DATE_EPOCH"))
    with tempfile.TemporaryDirectory() as stage:
        # wixl takes the files by names relative to the folder it runs in.
        for name in FILES:
            shutil.copyfile(os.path.join(files, name), os.path.join(stage, name))
        shutil.copyfile(ICON, os.path.join(stage, "kqsfupdt.ico"))
        for name in os.listdir(stage):
            os.utime(os.path.join(stage, name), (epoch, epoch))
        with open(os.path.join(stage, "MsiLockPermissionsEx.idt"), "w", newline="") as f:
            f.write(LOCK_TABLE)
        msi = os.path.join(stage, "out.msi")
        run("wixl", "-a", "x86", "-D", f"Version={version}", "-D", f"ProductCode={product_code(version)}",
            "-o", msi, WXS, cwd=stage)
        run("msibuild", msi, "-q", "UPDATE Component SET Attributes = 16 WHERE Component = 'RecordFolder'",
            "-i", os.path.join(stage, "MsiLockPermissionsEx.idt"))
        fix_summary(msi, epoch)
        shutil.copyfile(msi, out)


if __name__ == "__main__":
    main()
