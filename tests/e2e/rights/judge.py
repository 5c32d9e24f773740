"""Every access our processes make under Wine, judged as each Windows version would judge it:
the server's trace followed request by request, the descriptors of files and folders kept as
Windows would keep them (Wine keeps none), and each open, making, deletion, rename and change of
owner or list checked for the token of the process that makes it."""

import os
import re

from rights import trace
from rights.access import WINE_USER, make_in, may_own, open_existing
from rights.descriptors import (ADMINISTRATORS, DELETE, FILE_ADD_FILE, FILE_ALL_ACCESS,
                                MAXIMUM_ALLOWED, WRITE_DAC, WRITE_OWNER, Descriptor, map_generic,
                                new_descriptor, parse_sddl, parse_server_sd)
from rights.records import TOKENS, Handle, Process, Refusal
from rights.shipped import PROFILES, VERSIONS, shipped

# Wine's own programs, which our processes start without asking for them (shortcuts' menu
# entries, the desktop): never judged.
WINES_OWN = {"winemenubuilder.exe", "explorer.exe", "services.exe", "winedevice.exe",
             "plugplay.exe", "svchost.exe", "rpcss.exe", "conhost.exe", "wineboot.exe"}
FILE_DIRECTORY_FILE, FILE_NON_DIRECTORY_FILE = 0x1, 0x40
WINES_LOOK = 0x100001  # SYNCHRONIZE | FILE_LIST_DIRECTORY
FILE_DELETE_ON_CLOSE, FILE_OPEN_FOR_BACKUP_INTENT = 0x1000, 0x4000
SUPERSEDE, OPEN, CREATE, OPEN_IF, OVERWRITE, OVERWRITE_IF = range(6)
OWNER_SECURITY, DACL_SECURITY = 1, 4
def parent_of(path):
    """The folder PATH (lower case, no "\\" at the end but a root's) is in; None for a root."""
    if len(path) <= 3:
        return None
    head = path.rsplit("\\", 1)[0]
    return head + "\\" if len(head) == 2 else head


class Judge:
    """Reads the trace of one Wine server (one group's session) and judges the processes whose
    launch was declared with a token, and what they start but Wine's own programs."""

    def __init__(self, trace_path, prefix):
        self.trace_path, self.drive_c = trace_path, os.path.join(prefix, "drive_c")
        self.unix_c = os.path.join(prefix, "dosdevices", "c:") + "/"
        self.offset, self.rest = 0, ""
        self.launches, self.tids, self.processes = {}, {}, {}
        self.handles, self.opened, self.refusals = {}, {}, []
        self.disk = {}  # lower-case path -> (shown, folder, inode, or "delete" once marked)
        self.sds = {v: {} for v in VERSIONS}
        self.enabled = {v: {} for v in VERSIONS}
        self.declared = {}
        self.just_opened = {}  # thread -> the handle of a folder Wine may have opened for itself
        self.read_calls = trace.calls(self._lines())

    # -- what the session tells --
    def declare(self, windows_path, sddl):
        """A folder or file a test made to stand for something: its descriptor, from the next
        boundary on."""
        self.declared[windows_path.lower()] = parse_sddl(sddl)

    def launched(self, unix_pid, kind):
        self.launches[unix_pid] = kind

    def boundary(self):
        """Before a launch: the trace read so far, then the disk as it is now, so that what a
        test changed between runs counts as found there."""
        self.catch_up()
        self.reconcile()

    def reconcile(self):
        now = {"c:\\": ("C:\\", True, None)}
        for root, folders, files in os.walk(self.drive_c):
            for name in folders + files:
                full = os.path.join(root, name)
                shown = "C:\\" + os.path.relpath(full, self.drive_c).replace("/", "\\")
                now[shown.lower()] = (shown, os.path.isdir(full), os.lstat(full).st_ino)
        for path in set(self.disk) | set(now):
            old, new = self.disk.get(path), now.get(path)
            if new is None or old is None or old[2] not in (None, new[2]):
                for sds in self.sds.values():
                    sds.pop(path, None)
        self.disk = now
        for path, sd in self.declared.items():
            for sds in self.sds.values():
                sds[path] = sd
        self.declared = {}

    def verdicts(self):
        """The refusals found since the last call."""
        self.catch_up()
        for handle in self.handles.values():
            if isinstance(handle, Handle):
                self.refusals += handle.pending
                handle.pending = []
        found, self.refusals = list(dict.fromkeys(self.refusals)), []
        return found

    def security(self, under):
        """{version: {path: descriptor}} of every folder and file under the folders UNDER, as
        the model holds them now."""
        self.catch_up()
        roots = [u.lower().rstrip("\\") for u in under]
        paths = [p for p in self.disk if any(p == r or p.startswith(r + "\\") for r in roots)]
        return {v: {p: str(self.sd(v, p)) for p in sorted(paths)} for v in VERSIONS}

    def changed_since(self, before):
        """What of BEFORE (as security() gave it) still stands but with another owner or list,
        one line each."""
        self.catch_up()
        return [f"{path} on Windows {v}: {was} -> {self.sd(v, path)}"
                for v, descriptors in before.items() for path, was in descriptors.items()
                if path in self.disk and str(self.sd(v, path)) != was]

    # -- reading --
    def _lines(self):
        while True:
            with open(self.trace_path, encoding="utf-8", errors="replace") as text:
                text.seek(self.offset)
                chunk = text.read()
                self.offset = text.tell()
            lines = (self.rest + chunk).split("\n")
            self.rest = lines.pop()
            yield from lines
            yield None

    def catch_up(self):
        for call in self.read_calls:
            if call is None:
                return
            process = self.processes.get(self.tids.get(call.tid))
            handler = getattr(self, f"on_{call.name}")
            if process or call.name == "init_first_thread":
                handler(call, process)
            if call.name != "create_file":
                self.just_opened.pop(call.tid, None)

    # -- the model --
    def sd(self, version, path):
        """PATH's descriptor: as changed or made in the trace, as the test declared it, as
        Windows ships it, else what it would have inherited from its folder."""
        sds = self.sds[version]
        if path not in sds:
            sds[path] = shipped(path, version)
            if sds[path] is None:
                owner = WINE_USER if path.startswith(PROFILES) else ADMINISTRATORS
                folder = self.disk.get(path, ("", False))[1]
                sds[path] = new_descriptor(self.sd(version, parent_of(path)), None, folder, owner)
        return sds[path]

    def resolve(self, pid, rootdir, name):
        if rootdir not in ("", "0000"):
            base = self.handles.get((pid, rootdir))
            if not isinstance(base, Handle) or base.path is None or not name:
                return None, ""
            shown = base.shown.rstrip("\\") + "\\" + name
        else:
            drive = re.match(r"\\\?\?\\[Cc]:(\\.*)?$", name)
            if not drive:
                return None, ""
            shown = "C:" + (drive[1] or "\\")
        shown = shown.rstrip("\\") if len(shown) > 3 else "C:\\"
        return shown.lower(), shown

    def refuse(self, into, version, process, what, shown, asked, held):
        into.append(Refusal(what, shown, asked, held, TOKENS[process.kind](version).name.split(" (")[0],
                            version, process.command[:160] or f"process {process.pid}"))

    def handle_of(self, call, process):
        handle = self.handles.get((process.pid, call.fields.get("handle")))
        return handle if isinstance(handle, Handle) and handle.path and call.status == "0" else None

    def forget(self, path):
        for gone in [p for p in self.disk if p == path or p.startswith(path + "\\")]:
            del self.disk[gone]
            for sds in self.sds.values():
                sds.pop(gone, None)

    # -- processes and privileges --
    def on_init_first_thread(self, call, _):
        pid = call.reply.get("pid")
        self.tids[call.tid] = pid
        if pid not in self.processes:
            self.start_process(pid, self.launches.get(int(call.fields.get("unix_pid", "0"))))

    def on_new_thread(self, call, process):
        """A thread of the caller's process, or of one it holds a handle to (a child's first)."""
        target = call.fields.get("process")
        owner = process.pid if target == "ffffffff" else self.handles.get((process.pid, target))
        if call.status == "0" and isinstance(owner, str) and owner in self.processes:
            self.tids[call.reply["tid"]] = owner

    def start_process(self, pid, kind, parent=None):
        self.processes[pid] = Process(pid, kind)
        for v in VERSIONS:
            inherited = self.enabled[v][parent.pid] if parent and parent.kind else None
            self.enabled[v][pid] = set(inherited if inherited is not None else
                                       TOKENS[kind](v).enabled if kind else ())

    def on_new_process(self, call, parent):
        info = trace.fields(call.fields.get("info", "{}")[1:-1])
        image = info.get("imagepath", "")
        own = image.rsplit("\\", 1)[-1].lower() in WINES_OWN
        child = call.reply.get("pid")
        self.start_process(child, None if own else parent.kind, parent)
        self.processes[child].command = info.get("cmdline", image)
        self.handles[(parent.pid, call.reply.get("handle"))] = child

    def on_open_token(self, call, process):
        if call.status == "0" and call.fields.get("handle") == "ffffffff":
            self.handles[(process.pid, call.reply["token"])] = "token"

    def on_adjust_token_privileges(self, call, process):
        if not process.kind or self.handles.get((process.pid, call.fields["handle"])) != "token":
            return
        changes = re.findall(r"luid=([0-9a-f]+),attrs=([0-9a-f]+)", call.fields.get("privileges", ""))
        for v in VERSIONS:
            enabled, holds = self.enabled[v][process.pid], process.token(v).holds
            if call.fields.get("disable_all") == "1":
                enabled.clear()
            for luid, attrs in ((int(a, 16), int(b, 16)) for a, b in changes):
                if attrs & 2 and luid in holds:
                    enabled.add(luid)
                elif not attrs & 2:
                    enabled.discard(luid)

    # -- files and folders --
    def on_create_file(self, call, process):
        if call.status != "0":
            return
        objattr = trace.fields(call.fields["objattr"][1:-1])
        name = objattr.get("name", "")
        path, shown = self.resolve(process.pid, objattr.get("rootdir", ""), name)
        options, access = int(call.fields["options"], 16), int(call.fields["access"], 16)
        if not process.command and name.lower().endswith(".exe") and options == 0x60:
            process.command = name.rsplit("\\", 1)[-1]  # a program started from Linux
        handle = Handle(path, shown)
        self.handles[(process.pid, call.reply["handle"])] = handle
        if (access, options, call.fields.get("sharing")) == (WINES_LOOK, 0x4021, "00000003"):
            self.just_opened[call.tid] = call.reply["handle"]
        unix = call.fields.get("filename", "")
        if path is None or (unix.startswith("/") and not unix.startswith(self.unix_c)):
            handle.path = None  # not on drive C, or Wine's own files (its built-in DLLs)
            return
        exists = path in self.disk
        disposition = int(call.fields["create"])
        created = not exists and disposition in (SUPERSEDE, CREATE, OPEN_IF, OVERWRITE_IF)
        handle.folder = bool(options & FILE_DIRECTORY_FILE) or (
            exists and not options & FILE_NON_DIRECTORY_FILE and self.disk[path][1])
        handle.delete_on_close = bool(options & FILE_DELETE_ON_CLOSE)
        handle.judged = bool(process.kind)
        self.opened[path] = self.opened.get(path, 0) + 1
        if created:
            self.disk[path] = (shown, handle.folder, None)
            for sds in self.sds.values():
                sds.pop(path, None)
        if handle.judged:
            self.judge_open(handle, process, objattr, options, access, created, disposition)

    def judge_open(self, handle, process, objattr, options, access, created, disposition):
        explicit = parse_server_sd(objattr.get("sd", "{}"))
        backup = bool(options & FILE_OPEN_FOR_BACKUP_INTENT)
        path, parent = handle.path, parent_of(handle.path)
        for v in VERSIONS:
            token, enabled = process.token(v), self.enabled[v][process.pid]
            if created:
                verdict = make_in(self.sd(v, parent), token, handle.folder, backup, enabled)
                what = "making"
                self.sds[v][path] = new_descriptor(self.sd(v, parent), explicit, handle.folder,
                                                   token.default_owner)
                if explicit and explicit.owner and not may_own(token, explicit.owner, enabled):
                    self.refuse(handle.pending, v, process, f"owner {explicit.owner}",
                                handle.shown, WRITE_OWNER, 0)
                handle.granted[v] = FILE_ALL_ACCESS if access & MAXIMUM_ALLOWED else map_generic(access)
            else:
                asked = access | (FILE_ADD_FILE if disposition in (OVERWRITE, OVERWRITE_IF) else 0)
                asked |= DELETE if disposition == SUPERSEDE else 0
                verdict = open_existing(self.sd(v, path), self.sd(v, parent) if parent else None,
                                        token, asked, backup, enabled)
                what = "open"
                handle.granted[v] = verdict.granted
            if verdict.refused:
                self.refuse(handle.pending, v, process, what, handle.shown, verdict.asked,
                            verdict.held)

    def on_get_directory_cache_entry(self, call, process):
        """Wine looks up a name in a folder it opens for itself first (with the signature
        FindFirstFile's open has too): such an open, followed at once by this, is Wine's own."""
        if self.just_opened.get(call.tid) == call.fields.get("handle"):
            handle = self.handles.get((process.pid, call.fields.get("handle")))
            handle.judged, handle.pending = False, []

    def on_dup_handle(self, call, process):
        f = call.fields
        if call.status != "0" or f.get("src_process") != f.get("dst_process"):
            return
        source = self.handles.get((process.pid, f.get("src_handle")))
        if isinstance(source, Handle):
            same = int(f.get("options", "0"), 16) & 2
            access = map_generic(int(f.get("access", "0"), 16))
            copy = Handle(source.path, source.shown, source.folder, source.judged,
                          {v: g if same else g & access for v, g in source.granted.items()})
            self.handles[(process.pid, call.reply["handle"])] = copy
            if copy.path:
                self.opened[copy.path] = self.opened.get(copy.path, 0) + 1
        elif source == "token":
            self.handles[(process.pid, call.reply["handle"])] = "token"

    def on_close_handle(self, call, process):
        handle = self.handles.pop((process.pid, call.fields.get("handle")), None)
        if not isinstance(handle, Handle) or handle.path is None:
            return
        self.refusals += handle.pending
        self.opened[handle.path] = self.opened.get(handle.path, 1) - 1
        entry = self.disk.get(handle.path)
        if entry and handle.delete_on_close:
            entry = self.disk[handle.path] = entry[:2] + ("delete",)
        if entry and entry[2] == "delete" and self.opened[handle.path] <= 0:
            self.forget(handle.path)

    def on_set_fd_disp_info(self, call, process):
        handle = self.handle_of(call, process)
        if not handle:
            return
        unlink = call.fields.get("unlink") == "1"
        for v in VERSIONS if handle.judged and unlink else ():
            if not handle.granted.get(v, 0) & DELETE:
                self.refuse(self.refusals, v, process, "deletion", handle.shown, DELETE,
                            handle.granted.get(v, 0))
        entry = self.disk.get(handle.path)
        if entry:
            self.disk[handle.path] = entry[:2] + ("delete" if unlink else None,)

    def on_set_fd_name_info(self, call, process):
        handle = self.handle_of(call, process)
        target, shown = self.resolve(process.pid, call.fields.get("rootdir", ""),
                                     call.fields.get("name", "")) if handle else (None, "")
        if target is None:
            return
        if call.fields.get("link") == "1":
            self.disk[target] = (shown, False, None)
            return
        if handle.judged:
            self.judge_rename(handle, process, target, shown)
        source = handle.path
        moved = sorted(p for p in self.disk if p == source or p.startswith(source + "\\"))
        kept = {v: {p: self.sd(v, p) for p in moved} for v in VERSIONS}
        if target != source:
            self.forget(target)
        for old in moved:
            entry = self.disk.pop(old)
            new = target + old[len(source):]
            self.disk[new] = (shown + entry[0][len(source):], entry[1], entry[2])
            for v in VERSIONS:
                self.sds[v].pop(old, None)
                self.sds[v][new] = kept[v][old]
        for other in self.handles.values():
            if isinstance(other, Handle) and other.path in kept[VERSIONS[0]]:
                rest = other.path[len(source):]
                other.path, other.shown = target + rest, shown + other.shown[len(source):]

    def judge_rename(self, handle, process, target, shown):
        """Renaming needs DELETE on the handle, the right to add a file (or folder) to the
        folder it goes to, and DELETE on a file it replaces (MS-FSA 2.1.5.14.11)."""
        parent = parent_of(target)
        for v in VERSIONS:
            token, enabled = process.token(v), self.enabled[v][process.pid]
            held = handle.granted.get(v, 0)
            if not held & DELETE:
                self.refuse(self.refusals, v, process, f"rename to {shown}", handle.shown,
                            DELETE, held)
            verdict = make_in(self.sd(v, parent), token, handle.folder, False, enabled)
            if verdict.refused:
                self.refuse(self.refusals, v, process, f"rename of {handle.shown} into",
                            shown, verdict.asked, verdict.held)
            if target in self.disk and target != handle.path:
                replaced = open_existing(self.sd(v, target), self.sd(v, parent), token, DELETE,
                                         False, enabled)
                if replaced.refused:
                    self.refuse(self.refusals, v, process, f"replacing by {handle.shown}",
                                shown, replaced.asked, replaced.held)

    def on_get_security_object(self, call, process):
        handle = self.handle_of(call, process)
        if handle and handle.judged and "sd" in call.reply:
            read = {v: self.sd(v, handle.path) for v in VERSIONS}
            process.read[(handle.path, call.reply["sd"])] = read

    def on_set_security_object(self, call, process):
        """A change of owner or list: WRITE_OWNER or WRITE_DAC on the handle, an owner the token
        may set. What the program read before and writes back is what Windows would have given
        it, not Wine's made-up descriptor."""
        handle = self.handle_of(call, process)
        if not handle or not handle.judged:
            return
        what = int(call.fields.get("security_info", "0"), 16)
        text = call.fields.get("sd", "{}")
        needs = (WRITE_OWNER if what & OWNER_SECURITY else 0) | (WRITE_DAC if what & DACL_SECURITY else 0)
        for v in VERSIONS:
            token, enabled = process.token(v), self.enabled[v][process.pid]
            read = process.read.get((handle.path, text))
            given = read[v] if read else parse_server_sd(text)
            current, held = self.sd(v, handle.path), handle.granted.get(v, 0)
            if needs & ~held:
                self.refuse(self.refusals, v, process, "change of owner or list", handle.shown,
                            needs, held)
            owner = given.owner if what & OWNER_SECURITY and given.owner else current.owner
            if owner != current.owner and not may_own(token, owner, enabled):
                self.refuse(self.refusals, v, process, f"owner {owner}", handle.shown,
                            WRITE_OWNER, held)
            dacl = (given.dacl, given.protected) if what & DACL_SECURITY else (current.dacl, current.protected)
            self.sds[v][handle.path] = Descriptor(owner, *dacl)
