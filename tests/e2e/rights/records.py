"""What the judge keeps of each process and handle it follows, and what it finds refused."""

from dataclasses import dataclass, field

from rights.access import administrator, local_system, shop_user

TOKENS = {"administrator": administrator, "system": local_system, "user": shop_user}
NAMES = {0x1: "LIST/READ_DATA", 0x2: "ADD_FILE/WRITE_DATA", 0x4: "ADD_SUBDIRECTORY/APPEND",
         0x8: "READ_EA", 0x10: "WRITE_EA", 0x20: "TRAVERSE/EXECUTE", 0x40: "DELETE_CHILD",
         0x80: "READ_ATTRIBUTES", 0x100: "WRITE_ATTRIBUTES", 0x10000: "DELETE",
         0x20000: "READ_CONTROL", 0x40000: "WRITE_DAC", 0x80000: "WRITE_OWNER",
         0x100000: "SYNCHRONIZE", 0x1000000: "ACCESS_SYSTEM_SECURITY"}


def rights_text(mask):
    return f"{mask:#x} ({'|'.join(n for bit, n in NAMES.items() if mask & bit) or 'none'})"


@dataclass(frozen=True)
class Refusal:
    what: str  # "open", "make", "delete", "rename to ...", "owner S-...", ...
    shown: str
    asked: int
    held: int
    token: str
    version: str
    process: str


def report(refusals):
    """One line for each refusal, the Windows versions it holds for named together."""
    versions = {}
    for r in refusals:
        key = (r.shown, r.what, r.asked, r.held, r.token, r.process)
        versions.setdefault(key, []).append("XP SP3" if r.version == "xp" else r.version)
    return [f"{shown}: {what} refused to {token} on Windows {', '.join(vs)}: asked "
            f"{rights_text(asked)}, held {rights_text(held)}; by {process}"
            for (shown, what, asked, held, token, process), vs in versions.items()]


@dataclass
class Process:
    pid: str
    kind: str | None  # the token's kind, one of TOKENS; None: not judged
    command: str = ""
    read: dict = field(default_factory=dict)  # (path, Wine's descriptor) -> {version: ours}

    def token(self, version):
        return TOKENS[self.kind](version)


@dataclass
class Handle:
    path: str | None  # lower case; None: no file or folder on drive C
    shown: str = ""
    folder: bool = False
    judged: bool = False
    granted: dict = field(default_factory=dict)  # version -> rights
    pending: list = field(default_factory=list)  # refusals, until Wine's own opens are known
    delete_on_close: bool = False
