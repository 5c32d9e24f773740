"""The security descriptors Windows ships on the folders the setup and the programs touch, each
with where it was taken from, and where each of those folders is in a Wine prefix. Microsoft
publishes none of these lists: where a row's source is not Microsoft's, or there is none, the
row says so."""

from rights.access import WINE_USER
from rights.descriptors import parse_sddl

VERSIONS = ("xp", "7", "10", "11")

STIG_10 = "DISA, Windows 10 STIG V-220717 (stigviewer.com/stigs/microsoft_windows_10), not Microsoft"
STIG_11 = "DISA, Windows 11 STIG V-253274, not Microsoft"
VISTA_ACLS = ("sqlmag.com, 'ACL enhancements in Windows Vista and Server 2008', cacls tables for "
              "XP and Vista; not Microsoft; Windows 7 taken as Vista")
NONE = "no published listing found: assumed, as the row says"

# Vista to 11: TrustedInstaller owns Program Files and Windows; SYSTEM and Administrators hold
# Modify on the folder itself and full control below it.
_INSTALLERS = ("O:TID:PAI(A;;FA;;;TI)(A;CIIO;GA;;;TI)(A;;0x1301bf;;;SY)(A;OICIIO;GA;;;SY)"
               "(A;;0x1301bf;;;BA)(A;OICIIO;GA;;;BA)(A;OICI;0x1200a9;;;BU)(A;OICIIO;GA;;;CO)")
_APPS = "(A;OICI;0x1200a9;;;AC)"  # Windows 8 on
# XP: Administrators full control; Power Users Modify; Users read and run.
_XP_SYSTEM = ("O:BAD:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICIIO;GA;;;CO)(A;OICI;0x1200a9;;;BU)"
              "(A;OICI;0x1301bf;;;PU)")

# Role: (XP, 7, 10, 11) as (SDDL, source).
ROWS = {
    "the drive's root": (
        ("O:BAD:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICIIO;GA;;;CO)(A;OICI;0x1200a9;;;BU)"
         "(A;CI;0x100004;;;BU)(A;CIIO;0x100002;;;BU)(A;;0x1200a9;;;WD)", VISTA_ACLS),
        ("O:TID:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)"
         "(A;OICIIO;SDGXGWGR;;;AU)(A;;0x4;;;AU)", VISTA_ACLS),
        ("O:TID:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)"
         "(A;OICIIO;SDGXGWGR;;;AU)(A;;0x4;;;AU)", STIG_10),
        ("O:TID:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)"
         "(A;OICIIO;SDGXGWGR;;;AU)(A;;0x4;;;AU)", STIG_11)),
    "Program Files": (
        (_XP_SYSTEM, NONE + " (XP's system folders' common list)"),
        (_INSTALLERS, "as Windows 10, " + VISTA_ACLS), (_INSTALLERS + _APPS, STIG_10),
        (_INSTALLERS + _APPS, STIG_11)),
    "Windows": (
        (_XP_SYSTEM, VISTA_ACLS), (_INSTALLERS, VISTA_ACLS), (_INSTALLERS + _APPS, STIG_10),
        (_INSTALLERS + _APPS, STIG_11)),
    "System32": (
        (_XP_SYSTEM, NONE + " (as Windows)"), (_INSTALLERS, NONE + " (as Windows)"),
        (_INSTALLERS + _APPS, NONE + " (as Windows)"), (_INSTALLERS + _APPS, NONE + " (as Windows)")),
    # The scheduler service writes there, never the setup: only administrators and SYSTEM.
    "System32\\Tasks": tuple(("O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", NONE) for _ in VERSIONS),
    # Every user may make files and folders there, and only their maker gets them.
    "Windows\\Temp": tuple(
        ("O:SYD:PAI(A;OICIIO;GA;;;CO)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;CI;0x100026;;;BU)", NONE)
        for _ in VERSIONS),
    # XP: Documents and Settings\All Users\Application Data. Users may make folders and files.
    "ProgramData": tuple(
        ("O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICIIO;GA;;;CO)(A;OICI;0x1200a9;;;BU)"
         "(A;CI;0x116;;;BU)", NONE + " (recorded in the project's setup_rights_test)")
        for _ in VERSIONS),
    # XP: All Users\Start Menu\Programs and All Users\Desktop: administrators change them.
    "the all-users Start menu": tuple(
        ("O:SYD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)(A;OICI;0x1200a9;;;WD)",
         NONE) for _ in VERSIONS),
    "the Public desktop": tuple(
        ("O:SYD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;IU)(A;OICI;0x1200a9;;;SU)",
         NONE) for _ in VERSIONS),
    "Users": tuple(
        ("O:SYD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)(A;;0x1200a9;;;WD)", NONE)
        for _ in VERSIONS),
    # One's own profile (the temporary folder in it): the user, SYSTEM and Administrators.
    "the user's profile": tuple(
        (f"O:{WINE_USER}D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;{WINE_USER})", NONE)
        for _ in VERSIONS),
}

# Where each is in a 32-bit Wine prefix (lower case), on drive C.
PLACES = {
    "c:\\": "the drive's root",
    "c:\\program files": "Program Files",
    "c:\\program files (x86)": "Program Files",
    "c:\\windows": "Windows",
    "c:\\windows\\system32": "System32",
    "c:\\windows\\system32\\tasks": "System32\\Tasks",
    "c:\\windows\\temp": "Windows\\Temp",
    "c:\\programdata": "ProgramData",
    "c:\\programdata\\microsoft\\windows\\start menu": "the all-users Start menu",
    "c:\\users": "Users",
    "c:\\users\\public": "Users",
    "c:\\users\\public\\desktop": "the Public desktop",
}
PROFILES = "c:\\users\\"  # any other folder there is a user's profile


def shipped(path, version):
    """The descriptor Windows VERSION ships on PATH (lower case), or None when it is not one of
    the folders above."""
    role = PLACES.get(path)
    if role is None and path.startswith(PROFILES) and path.count("\\") == 2:
        role = "the user's profile"
    if role is None:
        return None
    return parse_sddl(ROWS[role][VERSIONS.index(version)][0])
