"""Security descriptors of files and folders as Windows keeps them: SIDs as text, entries,
SDDL and the Wine server's own form, generic rights, and what a new object inherits."""

import re
from dataclasses import dataclass, replace

# Access rights (winnt.h).
FILE_LIST_DIRECTORY = 0x1
FILE_ADD_FILE = 0x2  # on a file: FILE_WRITE_DATA
FILE_ADD_SUBDIRECTORY = 0x4
FILE_TRAVERSE = 0x20
FILE_DELETE_CHILD = 0x40
FILE_READ_ATTRIBUTES = 0x80
FILE_WRITE_ATTRIBUTES = 0x100
DELETE = 0x10000
READ_CONTROL = 0x20000
WRITE_DAC = 0x40000
WRITE_OWNER = 0x80000
SYNCHRONIZE = 0x100000
ACCESS_SYSTEM_SECURITY = 0x1000000
MAXIMUM_ALLOWED = 0x2000000
GENERIC_ALL, GENERIC_EXECUTE, GENERIC_WRITE, GENERIC_READ = 0x10000000, 0x20000000, 0x40000000, 0x80000000
FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE = 0x120089, 0x120116, 0x1200A0
FILE_ALL_ACCESS = 0x1F01FF
GENERIC_MAPPING = {GENERIC_READ: FILE_GENERIC_READ, GENERIC_WRITE: FILE_GENERIC_WRITE,
                   GENERIC_EXECUTE: FILE_GENERIC_EXECUTE, GENERIC_ALL: FILE_ALL_ACCESS}

# Entry flags.
OBJECT_INHERIT, CONTAINER_INHERIT, NO_PROPAGATE, INHERIT_ONLY, INHERITED = 1, 2, 4, 8, 0x10
SE_DACL_PRESENT, SE_DACL_AUTO_INHERITED, SE_DACL_PROTECTED = 0x4, 0x400, 0x1000

# Well-known SIDs; SDDL's two-letter names for those it has.
SYSTEM, ADMINISTRATORS, USERS, POWER_USERS = "S-1-5-18", "S-1-5-32-544", "S-1-5-32-545", "S-1-5-32-547"
EVERYONE, AUTHENTICATED_USERS, INTERACTIVE, SERVICE = "S-1-1-0", "S-1-5-11", "S-1-5-4", "S-1-5-6"
CREATOR_OWNER, CREATOR_GROUP, OWNER_RIGHTS = "S-1-3-0", "S-1-3-1", "S-1-3-4"
ALL_APPLICATION_PACKAGES = "S-1-15-2-1"
TRUSTED_INSTALLER = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"
SID_ALIASES = {"SY": SYSTEM, "BA": ADMINISTRATORS, "BU": USERS, "PU": POWER_USERS, "WD": EVERYONE,
               "AU": AUTHENTICATED_USERS, "IU": INTERACTIVE, "SU": SERVICE, "CO": CREATOR_OWNER,
               "CG": CREATOR_GROUP, "OW": OWNER_RIGHTS, "AC": ALL_APPLICATION_PACKAGES,
               "TI": TRUSTED_INSTALLER}
RIGHT_ALIASES = {"FA": FILE_ALL_ACCESS, "FR": FILE_GENERIC_READ, "FW": FILE_GENERIC_WRITE,
                 "FX": FILE_GENERIC_EXECUTE, "GA": GENERIC_ALL, "GR": GENERIC_READ,
                 "GW": GENERIC_WRITE, "GX": GENERIC_EXECUTE, "SD": DELETE, "RC": READ_CONTROL,
                 "WD": WRITE_DAC, "WO": WRITE_OWNER}
FLAG_ALIASES = {"OI": OBJECT_INHERIT, "CI": CONTAINER_INHERIT, "NP": NO_PROPAGATE,
                "IO": INHERIT_ONLY, "ID": INHERITED}


def map_generic(mask):
    """Generic rights as the file system maps them."""
    for generic, specific in GENERIC_MAPPING.items():
        if mask & generic:
            mask = (mask & ~generic) | specific
    return mask


@dataclass(frozen=True)
class Ace:
    allow: bool
    flags: int
    mask: int
    sid: str

    @property
    def inherit_only(self):
        return bool(self.flags & INHERIT_ONLY)


@dataclass(frozen=True)
class Descriptor:
    owner: str | None
    dacl: tuple | None  # None: no list at all, every right to everyone
    protected: bool = False

    def __str__(self):
        if self.dacl is None:
            return f"O:{self.owner} (no list)"
        aces = "".join(f"({'A' if a.allow else 'D'};{a.flags:#x};{a.mask:#x};{a.sid})"
                       for a in self.dacl)
        return f"O:{self.owner}D:{'P' if self.protected else ''}{aces}"


def _sid(text):
    return SID_ALIASES.get(text, text)


def parse_sddl(text):
    """An SDDL string of the parts files use: owner, and a list of allow and deny entries."""
    owner = re.search(r"O:([A-Z]{2}|S(?:-\d+)+)", text)
    dacl = re.search(r"D:([A-Z]*)((?:\([^)]*\))*)", text)
    if not dacl:
        return Descriptor(_sid(owner[1]) if owner else None, None)
    aces = []
    for entry in re.findall(r"\(([^)]*)\)", dacl[2]):
        kind, flags, rights, _, _, sid = entry.split(";")
        flag_bits = sum(FLAG_ALIASES[flags[i:i + 2]] for i in range(0, len(flags), 2))
        if rights.lower().startswith("0x"):
            mask = int(rights, 16)
        else:
            mask = sum(RIGHT_ALIASES[rights[i:i + 2]] for i in range(0, len(rights), 2))
        aces.append(Ace(kind == "A", flag_bits, mask, _sid(sid)))
    return Descriptor(_sid(owner[1]) if owner else None, tuple(aces), "P" in dacl[1])


_SERVER_ACE = re.compile(r"\{type=(\w+),flags=([0-9a-f]+),mask=([0-9a-f]+),sid=([^}]+)\}")


def parse_server_sd(text):
    """The Wine server's form, "{control=...,owner=...,group=...,sacl={...},dacl={...}}", or
    None for "{}" (none given)."""
    if text in ("", "{}"):
        return None
    control = int(re.search(r"control=([0-9a-f]+)", text)[1], 16)
    owner = re.search(r"owner=([^,]+)", text)[1]
    dacl_text = text[text.index("dacl=") + 5:] if "dacl=" in text else ""
    aces = tuple(Ace(kind == "ACCESS_ALLOWED", int(flags, 16), int(mask, 16), sid)
                 for kind, flags, mask, sid in _SERVER_ACE.findall(dacl_text)
                 if kind in ("ACCESS_ALLOWED", "ACCESS_DENIED"))
    return Descriptor(None if owner == "<not present>" else owner,
                      aces if control & SE_DACL_PRESENT else None,
                      bool(control & SE_DACL_PROTECTED))


def _effective(ace, owner, group):
    """An entry as it applies to the object it is on: generic rights mapped, the creator's
    SIDs replaced by the object's owner and group."""
    sid = {CREATOR_OWNER: owner, CREATOR_GROUP: group}.get(ace.sid, ace.sid)
    return replace(ace, mask=map_generic(ace.mask), sid=sid)


def _split(ace, container, owner, group):
    """An entry on a new object: one that names the creator or generic rights and is passed on
    to the object's own children becomes an entry for the object itself and an inherit-only copy
    (MS-DTYP 2.5.3.4.4, ComputeInheritedACLfromParent)."""
    passes_on = container and ace.flags & (OBJECT_INHERIT | CONTAINER_INHERIT)
    if ace.inherit_only:
        return [ace]
    generic = ace.mask != map_generic(ace.mask) or ace.sid in (CREATOR_OWNER, CREATOR_GROUP)
    if not generic:
        return [ace if passes_on else replace(ace, flags=ace.flags & INHERITED)]
    own = replace(_effective(ace, owner, group), flags=ace.flags & INHERITED)
    return [own, replace(ace, flags=ace.flags | INHERIT_ONLY)] if passes_on else [own]


def inherited_entries(parent, container, owner, group=None):
    """The entries a new file (or, CONTAINER, folder) gets from PARENT's list."""
    entries = []
    for ace in parent.dacl or ():
        if container and ace.flags & CONTAINER_INHERIT:
            flags = 0 if ace.flags & NO_PROPAGATE else ace.flags & (OBJECT_INHERIT | CONTAINER_INHERIT)
        elif container and ace.flags & OBJECT_INHERIT and not ace.flags & NO_PROPAGATE:
            flags = OBJECT_INHERIT | INHERIT_ONLY
        elif not container and ace.flags & OBJECT_INHERIT:
            flags = 0
        else:
            continue
        entries += _split(replace(ace, flags=flags | INHERITED), container, owner, group)
    return entries


def new_descriptor(parent, explicit, container, default_owner, default_dacl=()):
    """The descriptor of a new object: the owner given, else the token's default; the list given
    (its own entries), followed by what PARENT passes on unless it is protected; with no list
    given, what PARENT passes on, else the token's default list (MS-DTYP 2.5.3.4.1)."""
    owner = (explicit.owner if explicit and explicit.owner else None) or default_owner
    own = []
    if explicit and explicit.dacl is not None:
        for ace in explicit.dacl:
            if not ace.flags & INHERITED:
                own += _split(ace, container, owner, None)
        if explicit.protected:
            return Descriptor(owner, tuple(own), True)
    passed_on = inherited_entries(parent, container, owner) if parent else []
    if not own and not passed_on and not (explicit and explicit.dacl is not None):
        own = [_effective(ace, owner, None) for ace in default_dacl]
    return Descriptor(owner, tuple(own + passed_on))
