"""The Wine server's own trace (wineserver -d1), read as the requests a judge needs: each line
is "TID: request( fields )" or "TID: request() = STATUS { fields }"."""

import re
from dataclasses import dataclass

HEAD = re.compile(r"([0-9a-f]{4}): (\w+)\(")
REPLY = re.compile(r"\) = (\w+)(?: \{ (.*) \})?$")
# What the judge follows; the rest of the trace (windows, registry, waits) is passed over.
WANTED = {"init_first_thread", "new_thread", "new_process", "create_file", "close_handle",
          "dup_handle", "set_fd_disp_info", "set_fd_name_info", "set_security_object",
          "get_security_object", "adjust_token_privileges", "open_token",
          "get_directory_cache_entry"}


@dataclass
class Call:
    """A request and its reply: the thread, the request's name, its fields and the reply's."""
    tid: str
    name: str
    fields: dict
    status: str
    reply: dict


def _string(text, at):
    """The C-escaped string that starts at the quote at AT, and where it ends."""
    out, i = [], at + 1
    while text[i] != '"':
        if text[i] == "\\":
            nxt = text[i + 1]
            if nxt == "x":
                digits = re.match(r"[0-9a-fA-F]+", text[i + 2:])[0]
                out.append(chr(int(digits, 16)))
                i += 2 + len(digits)
                continue
            out.append({"n": "\n", "t": "\t", "r": "\r", "0": "\0"}.get(nxt, nxt))
            i += 2
        else:
            out.append(text[i])
            i += 1
    return "".join(out), i + 1


def fields(text):
    """"a=1, b={...}, c=L"..."" as {name: value}: strings unescaped, braces kept as text."""
    found, i, n = {}, 0, len(text)
    while i < n:
        while i < n and text[i] in " ,":
            i += 1
        eq = text.find("=", i)
        if eq < 0:
            break
        name, i = text[i:eq].strip(), eq + 1
        if text.startswith('L"', i) or text.startswith('"', i):
            value, i = _string(text, i + (1 if text[i] == "L" else 0))
        elif text.startswith("{", i):
            depth, start = 0, i
            while True:
                if text[i] == '"':
                    i = _string(text, i)[1]
                    continue
                depth += {"{": 1, "}": -1}.get(text[i], 0)
                i += 1
                if depth == 0:
                    break
            value = text[start:i]
        else:
            end = text.find(",", i)
            end = n if end < 0 else end
            value, i = text[i:end].strip(), end
        found[name] = value
    return found


def calls(lines):
    """Each wanted request with its reply, in the order of the replies; None where LINES has
    none for now."""
    pending = {}
    for line in lines:
        if line is None:  # nothing more for now
            yield None
            continue
        head = HEAD.match(line)
        if not head or head[2] not in WANTED:
            continue
        tid, name, rest = head[1], head[2], line[head.end():].rstrip("\n")
        reply = REPLY.match(rest)
        if not reply:
            pending[tid] = (name, rest[:rest.rfind(")")])
        elif tid in pending and pending[tid][0] == name:
            request = pending.pop(tid)[1]
            yield Call(tid, name, fields(request.strip()), reply[1], fields(reply[2] or ""))
