"""The judge against what Microsoft documents: one row per rule, each naming its source. Run:
python3 -m unittest rights.test_documented (from tests/e2e)."""

import unittest

from rights.access import (BACKUP, RESTORE, TAKE_OWNERSHIP, administrator, check, local_system,
                           make_in, may_own, open_existing, shop_user)
from rights.descriptors import (ADMINISTRATORS, AUTHENTICATED_USERS, CREATOR_OWNER, DELETE,
                                FILE_ADD_SUBDIRECTORY, FILE_ALL_ACCESS,
                                FILE_READ_ATTRIBUTES, GENERIC_ALL, INHERITED, READ_CONTROL,
                                SYSTEM, WRITE_DAC, WRITE_OWNER, new_descriptor, parse_sddl)
from rights.shipped import shipped

DTYP = "MS-DTYP 2.5.3.2 Access Check Algorithm Pseudocode"
FSA_OPEN = "MS-FSA 2.1.5.1.2.1 Algorithm to Check Access to an Existing File"
FSA_CREATE = "MS-FSA 2.1.5.1.1 Creation of a New File"
INHERIT = "MS-DTYP 2.5.3.4 Algorithm for Creating a Security Descriptor"
PRIVILEGES = "learn.microsoft.com, Privilege Constants (SE_BACKUP_NAME, SE_RESTORE_NAME)"
OWNER = "learn.microsoft.com, Owner of a New Object; TOKEN_OWNER (ntifs.h)"
SIDS = "learn.microsoft.com, Well-known SIDs (OWNER_RIGHTS: Windows Vista and later)"
DELETE_CHILD = "devblogs.microsoft.com/oldnewthing 2007-07-26 and 2015-04-28"
ACCESS_RIGHTS = "learn.microsoft.com, File Access Rights Constants"
DACLS = "learn.microsoft.com, How DACLs Control Access to an Object"

ADMIN, USER, XP_USER = administrator("10"), shop_user("10"), shop_user("xp")
ADMINS_ONLY = parse_sddl("O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)")
USERS_FOLDER = parse_sddl("O:BAD:P(A;OICI;FA;;;BA)(A;;0x1200AB;;;BU)(A;OIIO;0x1301BF;;;BU)"
                          "(A;OIIO;0x1301BF;;;OW)")
A_USERS_FILE = parse_sddl(f"O:{USER.user}D:(A;ID;0x1301BF;;;BU)(A;ID;0x1301BF;;;OW)")
LOCKED_OUT = parse_sddl(f"O:{USER.user}D:P(A;;FA;;;{USER.user})")
RC_WD = READ_CONTROL | WRITE_DAC

ROWS = [
    # (source, what, the judge's answer, what the source says)
    (DTYP, "no list: every right", lambda: check(parse_sddl("O:BA"), USER, WRITE_DAC), WRITE_DAC),
    (DTYP, "an empty list: only the owner's implicit rights",
     lambda: check(parse_sddl(f"O:{USER.user}D:P"), USER, FILE_ALL_ACCESS), RC_WD),
    (DACLS, "a deny before an allow wins",
     lambda: check(parse_sddl("O:SYD:(D;;SD;;;BU)(A;;FA;;;BU)"), USER, DELETE), 0),
    (DACLS, "an allow before a deny wins",
     lambda: check(parse_sddl("O:SYD:(A;;SD;;;BU)(D;;SD;;;BU)"), USER, DELETE), DELETE),
    (DTYP, "an inherit-only entry gives nothing on the folder itself",
     lambda: check(parse_sddl("O:SYD:(A;OICIIO;FA;;;BU)"), USER, DELETE), 0),
    (ACCESS_RIGHTS, "generic all is every file right",
     lambda: check(parse_sddl("O:SYD:(A;;GA;;;BU)"), USER, FILE_ALL_ACCESS), FILE_ALL_ACCESS),
    (OWNER, "the owner may read and change the list",
     lambda: check(ADMINS_ONLY, ADMIN, RC_WD), RC_WD),
    (SIDS, "an OWNER RIGHTS entry replaces the owner's implicit rights",
     lambda: check(A_USERS_FILE, USER, WRITE_DAC), 0),
    (SIDS, "Windows XP knows no OWNER RIGHTS: the owner keeps them",
     lambda: check(parse_sddl(f"O:{XP_USER.user}D:(A;;0x1301BF;;;OW)"), XP_USER, WRITE_DAC),
     WRITE_DAC),
    (DTYP, "SeTakeOwnershipPrivilege, enabled, grants WRITE_OWNER",
     lambda: check(LOCKED_OUT, ADMIN, WRITE_OWNER, {TAKE_OWNERSHIP}), WRITE_OWNER),
    (DTYP, "SeTakeOwnershipPrivilege, held but not enabled, grants nothing",
     lambda: check(LOCKED_OUT, ADMIN, WRITE_OWNER), 0),
    (PRIVILEGES, "backup and restore privileges, with backup intent, open a locked-out file",
     lambda: open_existing(LOCKED_OUT, USERS_FOLDER, ADMIN, RC_WD | WRITE_OWNER, True,
                           {BACKUP, RESTORE}).refused, 0),
    (PRIVILEGES, "backup and restore privileges without backup intent count for nothing",
     lambda: open_existing(LOCKED_OUT, USERS_FOLDER, ADMIN, READ_CONTROL, False,
                           {BACKUP, RESTORE}).refused, READ_CONTROL),
    (DELETE_CHILD, "DELETE from FILE_DELETE_CHILD on the folder",
     lambda: open_existing(LOCKED_OUT, ADMINS_ONLY, ADMIN, DELETE, False, set()).refused, 0),
    (DELETE_CHILD, "FILE_READ_ATTRIBUTES from FILE_LIST_DIRECTORY on the folder",
     lambda: open_existing(LOCKED_OUT, USERS_FOLDER, USER, FILE_READ_ATTRIBUTES, False,
                           set()).refused, 0),
    (FSA_CREATE, "a file made where the folder gives FILE_ADD_FILE",
     lambda: make_in(USERS_FOLDER, USER, False, False, set()).refused, 0),
    (FSA_CREATE, "no folder made without FILE_ADD_SUBDIRECTORY",
     lambda: make_in(USERS_FOLDER, USER, True, False, set()).refused, FILE_ADD_SUBDIRECTORY),
    (FSA_OPEN, "Program Files as Windows 10 ships it: no WRITE_DAC for an administrator",
     lambda: open_existing(shipped("c:\\program files", "10"), shipped("c:\\", "10"), ADMIN,
                           0x1E00A1, False, set()).refused, WRITE_DAC | WRITE_OWNER),
    (FSA_CREATE, "but an administrator may make a folder in it",
     lambda: make_in(shipped("c:\\program files", "10"), ADMIN, True, False, set()).refused, 0),
    (OWNER, "an administrator may make Administrators the owner",
     lambda: may_own(ADMIN, ADMINISTRATORS, set()), True),
    (OWNER, "but not SYSTEM, without SeRestorePrivilege enabled",
     lambda: (may_own(ADMIN, SYSTEM, set()), may_own(ADMIN, SYSTEM, {RESTORE})), (False, True)),
    (OWNER, "SYSTEM may make Administrators the owner",
     lambda: may_own(local_system("10"), ADMINISTRATORS, set()), True),
    (INHERIT, "a folder made under C:\\ (Vista on) gives Authenticated Users Modify",
     lambda: check(new_descriptor(shipped("c:\\", "10"), None, True, ADMIN.user), USER,
                   DELETE), DELETE),
    (INHERIT, "an inherited CREATOR OWNER entry names the new file's owner",
     lambda: [a.sid for a in new_descriptor(parse_sddl("O:SYD:(A;OICI;GA;;;CO)"), None, False,
                                            USER.user).dacl], [USER.user]),
    (INHERIT, "a list given at creation, not protected, is followed by what is inherited",
     lambda: [(a.sid, bool(a.flags & INHERITED)) for a in new_descriptor(
         parse_sddl("O:SYD:(A;OI;FA;;;AU)"), parse_sddl("O:BAD:(A;;FA;;;BA)"), False,
         ADMINISTRATORS).dacl], [(ADMINISTRATORS, False), (AUTHENTICATED_USERS, True)]),
    (INHERIT, "a protected one is kept alone",
     lambda: [a.sid for a in new_descriptor(parse_sddl("O:SYD:(A;OI;FA;;;AU)"),
                                            parse_sddl("O:BAD:P(A;;FA;;;BA)"), False,
                                            ADMINISTRATORS).dacl], [ADMINISTRATORS]),
]


class Documented(unittest.TestCase):
    def test_each_row_as_its_source_says(self):
        for source, what, actual, expected in ROWS:
            with self.subTest(what, source=source):
                self.assertEqual(actual(), expected)

    def test_creator_owner_and_generic_rights_are_mapped_when_inherited(self):
        # INHERIT: GA for CREATOR OWNER on a new folder: FILE_ALL_ACCESS for its owner, and an
        # inherit-only copy for what is made inside it.
        made = new_descriptor(parse_sddl("O:SYD:(A;OICI;GA;;;CO)"), None, True, USER.user)
        self.assertEqual([(a.sid, a.mask, a.inherit_only) for a in made.dacl],
                         [(USER.user, FILE_ALL_ACCESS, False), (CREATOR_OWNER, GENERIC_ALL, True)])


if __name__ == "__main__":
    unittest.main()
