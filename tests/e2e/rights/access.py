"""Who asks, and what Windows grants them: tokens, the access check (MS-DTYP 2.5.3.2) and the
file system's own rules for opening, making, deleting and re-owning files (MS-FSA 2.1.5)."""

from dataclasses import dataclass

from rights.descriptors import (ACCESS_SYSTEM_SECURITY, ADMINISTRATORS, AUTHENTICATED_USERS,
                                DELETE, EVERYONE, FILE_ADD_FILE, FILE_ADD_SUBDIRECTORY,
                                FILE_ALL_ACCESS, FILE_DELETE_CHILD, FILE_GENERIC_READ,
                                FILE_GENERIC_WRITE, FILE_LIST_DIRECTORY, FILE_READ_ATTRIBUTES,
                                FILE_TRAVERSE, INTERACTIVE, MAXIMUM_ALLOWED, OWNER_RIGHTS,
                                READ_CONTROL, SYSTEM, USERS, WRITE_DAC, WRITE_OWNER, map_generic)

# Privileges by the numbers Windows gives them (SE_*_PRIVILEGE in wdm.h), as the server's trace
# shows their LUIDs.
TAKE_OWNERSHIP, BACKUP, RESTORE, DEBUG = 9, 17, 18, 20
CHANGE_NOTIFY, IMPERSONATE, CREATE_GLOBAL = 23, 29, 30
ADMINISTRATORS_HOLD = frozenset({5, 8, 9, 10, 11, 12, 13, 14, 15, 17, 18, 19, 20, 22, 23, 24, 25,
                                 28, 29, 30, 33, 34, 35})
USERS_HOLD = frozenset({19, 23, 25, 33, 34})
SYSTEM_ENABLED = frozenset({4, 7, 13, 14, 15, 16, 20, 21, 23, 29, 30})  # the LocalSystem page's
SYSTEM_HOLDS = SYSTEM_ENABLED | {3, 2, 5, 8, 9, 10, 12, 17, 18, 19, 22, 25, 28}

# Backup and restore, with backup intent (privilege constants: SE_BACKUP_NAME, SE_RESTORE_NAME).
BACKUP_GRANTS = READ_CONTROL | ACCESS_SYSTEM_SECURITY | FILE_GENERIC_READ | FILE_TRAVERSE
RESTORE_GRANTS = (WRITE_DAC | WRITE_OWNER | ACCESS_SYSTEM_SECURITY | FILE_GENERIC_WRITE |
                  FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | DELETE)

# The one user Wine runs as: where its own made-up descriptors name it, it stands for whoever
# runs (every user has a profile of their own on Windows; under Wine they share one).
WINE_USER = "S-1-5-21-0-0-0-1000"


@dataclass(frozen=True)
class Token:
    name: str
    user: str
    groups: frozenset
    owners: frozenset  # the SIDs it may make an object's owner: its user, groups marked owner
    default_owner: str
    holds: frozenset
    enabled: frozenset  # at its start
    owner_rights: bool = True  # OWNER RIGHTS (S-1-3-4) is known: Windows Vista and later

    def has(self, sid):
        return sid in (self.user, WINE_USER) or sid in self.groups


def _token(name, user, groups, owners, default_owner, holds, enabled, version):
    return Token(f"{name} ({'XP SP3' if version == 'xp' else 'Windows ' + version})", user,
                 frozenset(groups), frozenset(owners), default_owner, frozenset(holds),
                 frozenset(enabled), version != "xp")


TECHNICIAN = "S-1-5-21-1-2-3-1000"
SHOP_USER = "S-1-5-21-1-2-3-1001"
SIGNED_IN = {EVERYONE, AUTHENTICATED_USERS, INTERACTIVE, USERS}


def administrator(version):
    """The technician's elevated token (on XP, an administrator's: no UAC). Elevated, objects it
    makes belong to Administrators; on XP to the account (its "object creator" default)."""
    owner = ADMINISTRATORS if version != "xp" else TECHNICIAN
    return _token("an elevated administrator" if version != "xp" else "an administrator",
                  TECHNICIAN, SIGNED_IN | {ADMINISTRATORS}, {TECHNICIAN, ADMINISTRATORS}, owner,
                  ADMINISTRATORS_HOLD, {CHANGE_NOTIFY, IMPERSONATE, CREATE_GLOBAL}, version)


def local_system(version):
    """LocalSystem, a fleet tool's: SYSTEM and Administrators, its privileges as documented."""
    return _token("SYSTEM", SYSTEM, {EVERYONE, AUTHENTICATED_USERS, ADMINISTRATORS},
                  {SYSTEM, ADMINISTRATORS}, ADMINISTRATORS, SYSTEM_HOLDS, SYSTEM_ENABLED, version)


def shop_user(version):
    """The shop's ordinary user (on XP a limited user): Users, Authenticated Users, INTERACTIVE."""
    return _token("the shop's standard user" if version != "xp" else "a limited user", SHOP_USER,
                  SIGNED_IN, {SHOP_USER}, SHOP_USER, USERS_HOLD, {CHANGE_NOTIFY}, version)


def check(descriptor, token, desired, enabled=frozenset()):
    """The rights of DESIRED (generic rights mapped; MAXIMUM_ALLOWED: every right) that the
    descriptor grants the token: the owner's implicit READ_CONTROL and WRITE_DAC unless an OWNER
    RIGHTS entry applies, WRITE_OWNER with SeTakeOwnershipPrivilege enabled, then each entry in
    order, a right going to the first entry that names it (MS-DTYP 2.5.3.2)."""
    wanted = FILE_ALL_ACCESS if desired & MAXIMUM_ALLOWED else map_generic(desired)
    if descriptor.dacl is None:
        return wanted
    owns = token.has(descriptor.owner)
    applies = [ace for ace in descriptor.dacl if not ace.inherit_only]
    owner_entries = token.owner_rights and any(ace.sid == OWNER_RIGHTS for ace in applies)
    granted = READ_CONTROL | WRITE_DAC if owns and not owner_entries else 0
    if TAKE_OWNERSHIP in enabled:
        granted |= WRITE_OWNER
    denied = 0
    for ace in applies:
        if not (token.has(ace.sid) or (owns and token.owner_rights and ace.sid == OWNER_RIGHTS)):
            continue
        mask = map_generic(ace.mask) & ~(granted | denied)
        if ace.allow:
            granted |= mask
        else:
            denied |= mask
    return wanted & granted


@dataclass
class Verdict:
    asked: int
    granted: int
    held: int = 0  # every right the token would be granted, for messages

    @property
    def refused(self):
        return self.asked & ~self.granted


def open_existing(obj, parent, token, desired, backup_intent, enabled):
    """Opening an existing file or folder (MS-FSA 2.1.5.1.2.1): the privileges an open with
    backup intent may use, the object's list, then DELETE from FILE_DELETE_CHILD and
    FILE_READ_ATTRIBUTES from FILE_LIST_DIRECTORY on its folder."""
    asked = FILE_ALL_ACCESS if desired & MAXIMUM_ALLOWED else map_generic(desired)
    verdict = Verdict(asked, 0)
    if backup_intent and BACKUP in enabled:
        verdict.granted |= asked & BACKUP_GRANTS
    if backup_intent and RESTORE in enabled:
        verdict.granted |= asked & RESTORE_GRANTS
    verdict.granted |= check(obj, token, asked & ~verdict.granted, enabled)
    if parent is not None:
        of_parent = check(parent, token, FILE_DELETE_CHILD | FILE_LIST_DIRECTORY, enabled)
        for right, needs in ((DELETE, FILE_DELETE_CHILD), (FILE_READ_ATTRIBUTES, FILE_LIST_DIRECTORY)):
            if verdict.refused & right and of_parent & needs:
                verdict.granted |= right
    verdict.held = verdict.granted | check(obj, token, MAXIMUM_ALLOWED, enabled)
    if desired & MAXIMUM_ALLOWED and verdict.granted:
        verdict.asked = verdict.granted | map_generic(desired & ~MAXIMUM_ALLOWED)
    return verdict


def make_in(parent, token, folder, backup_intent, enabled):
    """Making a file or folder in PARENT: the right to add one there; its maker then gets what
    it asked (MS-FSA 2.1.5.1.1)."""
    right = FILE_ADD_SUBDIRECTORY if folder else FILE_ADD_FILE
    verdict = Verdict(right, 0)
    if backup_intent and RESTORE in enabled:
        verdict.granted |= right
    verdict.granted |= check(parent, token, right, enabled)
    verdict.held = check(parent, token, MAXIMUM_ALLOWED, enabled)
    return verdict


def may_own(token, owner, enabled):
    """Whether the token may make OWNER an object's owner: its user or a group it may own,
    anything with SeRestorePrivilege enabled (privilege constants, TOKEN_OWNER)."""
    return owner in token.owners or owner == WINE_USER or RESTORE in enabled
