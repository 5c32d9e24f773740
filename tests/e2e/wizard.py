"""A wizard (the setup program's, or its uninstaller's) driven as a person drives it: keys and
clicks on the private X display, nothing else. What the person would read (the page's title,
what a field holds, whether a button can be pressed, the words of a box) comes from
window_reader.exe, which reads the windows as Windows shows them; every page is kept as a
screenshot among the artifacts for a person to look at.

Runs only inside scripts/isolated.sh, as harness.py says.
"""

import os
import re
import signal
import subprocess
import tempfile
import time
import unicodedata
from dataclasses import dataclass, field
from pathlib import Path

from harness import log, required_path, wait_until
from wine_session import run_tool

PAGE_LIMIT = 60  # a page shows within seconds; the install page may take a while under load
READ_LIMIT = 30
PAINT_TIME = 0.5  # a window just made is drawn within this, even on a busy machine

# The wizard's own buttons and the page's title, as NSIS numbers them.
NEXT, CANCEL, BACK = 1, 2, 3
HEADER_TITLE = 1037  # on the pages with a header
BIG_TITLE = 1201  # on the welcome and finish pages
BOX_TEXT = 65535  # a message box's words
BOX_YES, BOX_NO = 6, 7


@dataclass
class Control:
    hwnd: int
    cls: str
    id: int
    enabled: bool
    checked: bool
    x: int
    y: int
    width: int
    height: int
    text: str
    items: list = field(default_factory=list)  # of a list box: (text, selected) for each line

    @property
    def centre(self):
        return self.x + self.width // 2, self.y + self.height // 2


@dataclass
class Window:
    hwnd: int
    title: str
    controls: list = field(default_factory=list)
    focus: int = 0  # the control that takes the keys

    def control(self, id=None, cls=None, text=None):
        """The first control with that id, class and text (a regular expression), or None."""
        for control in self.controls:
            if ((id is None or control.id == id) and (cls is None or control.cls == cls)
                    and (text is None or re.search(text, control.text))):
                return control
        return None

    def controls_of(self, cls):
        return [control for control in self.controls if control.cls == cls]

    def cut_at_the_edge(self):
        """The texts of the page's own fields and buttons (nsDialogs numbers them from 1200) that
        reach its right edge, where Windows cuts them on a screen that draws them wider."""
        dialogs = self.controls_of("#32770")
        if not dialogs:
            return []
        edge = max(d.x + d.width for d in dialogs)
        return [c.text for c in self.controls if c.id >= 1200
                and c.cls in ("Button", "Edit", "ListBox") and c.x + c.width >= edge]

    @property
    def is_box(self):
        return self.control(id=BOX_TEXT, cls="Static") is not None

    @property
    def page(self):
        """The title the page shows: its header's, or the welcome or finish page's own."""
        title = self.control(id=HEADER_TITLE) or self.control(id=BIG_TITLE)
        return title.text if title else ""


def read_windows(session, title):
    """Every visible window whose title begins with TITLE, as window_reader.exe reads them.

    Its words go through a file, not a pipe: the first program with windows in a session starts
    Wine's desktop process, which inherits the program's output and would hold a pipe open."""
    reader = required_path("KESTRELON_WINDOW_READER")
    with tempfile.TemporaryFile() as output:
        subprocess.run(["wine", str(reader), title], env=session.env, stdin=subprocess.DEVNULL,
                       stdout=output, stderr=subprocess.DEVNULL, timeout=READ_LIMIT, check=True)
        output.seek(0)
        text = output.read().decode("utf-8")
    windows = []
    for line in text.splitlines():
        parts = line.split("\t")
        if parts[0] == "window" and len(parts) == 7:
            windows.append(Window(int(parts[1]), parts[6]))
        elif parts[0] == "control" and len(parts) == 11 and windows:
            windows[-1].controls.append(Control(
                int(parts[1]), parts[2], int(parts[3]), parts[4] == "1", parts[5] == "1",
                *map(int, parts[6:10]), parts[10].replace("\\n", "\n")))
        elif parts[0] == "item" and len(parts) == 3 and windows and windows[-1].controls:
            windows[-1].controls[-1].items.append((parts[2], parts[1] == "1"))
        elif parts[0] == "focus" and len(parts) == 2 and windows:
            windows[-1].focus = int(parts[1])
    return windows


class Wizard:
    """One run of a wizard, found by its windows' title ("Instalare Kestrelon" or
    "Dezinstalare Kestrelon"); PROCESS is the program started, whose exit code ends the walk,
    unless it HANDS_OVER to a copy of itself and ends at once (as an uninstaller does)."""

    def __init__(self, session, title, process, name, hands_over=False):
        self.session = session
        self.title = title
        self.process = process
        self.name = name
        self.hands_over = hands_over
        self.shots = 0

    # -- what the person sees --
    def windows(self):
        return read_windows(self.session, self.title)

    def wizard(self):
        return next((w for w in self.windows() if not w.is_box), None)

    def box(self):
        return next((w for w in self.windows() if w.is_box), None)

    def shot(self, what, on_top=()):
        self.shots += 1
        plain = unicodedata.normalize("NFKD", what.lower()).encode("ascii", "ignore").decode()
        slug = re.sub(r"[^a-z0-9]+", "-", plain).strip("-")[:40]
        return self.session.screenshot(f"wizard-{self.name}-{self.shots:02d}-{slug}",
                                       on_top=on_top)

    def wait_page(self, title, limit=PAGE_LIMIT):
        """Waits until the wizard shows the page of that title, with no box over it; keeps its
        picture. Returns the page as read."""

        def shown():
            if not self.hands_over and self.process.poll() is not None:
                raise AssertionError(f"{self.name}: ended with {self.process.returncode} "
                                     f"before the page {title!r}")
            windows = self.windows()
            page = next((w for w in windows if not w.is_box), None)
            if any(w.is_box for w in windows) or not page or page.page != title:
                return None
            return page

        try:
            page = wait_until(shown, limit, f"{self.name}: the page {title!r}", interval=0.2)
        except AssertionError:
            self.shot(f"instead-of-{title}")
            raise
        self.page_seen = time.monotonic()
        self.shot(title)
        cut = page.cut_at_the_edge()
        if cut:
            raise AssertionError(f"{self.name}: on {title!r}, past the page's edge: {cut}")
        return page

    def wait_box(self, limit=PAGE_LIMIT):
        """The box the wizard shows now: its words, after keeping its picture."""
        box = wait_until(self.box, limit, f"{self.name}: a box", interval=0.2)
        time.sleep(PAINT_TIME)  # found as soon as it is made: its picture once it is drawn
        # The wizard's windows, the largest first: the box, smaller, comes out on top.
        windows = self.session.visible_windows("^" + re.escape(self.title))
        sizes = {window: self.session.window_geometry(window)[2:] for window in windows}
        self.shot("box", on_top=sorted(windows, key=lambda w: -sizes[w][0] * sizes[w][1]))
        return box.control(id=BOX_TEXT).text

    # -- what the person does --
    def click(self, control):
        x, y = control.centre
        self.session.click(x, y, 1)

    def press(self, key):
        """A key, to whatever has the focus in the wizard, or in its box when one is open
        (Return presses the default button)."""
        windows = self.session.visible_windows("^" + re.escape(self.title))
        if len(windows) == 1:  # no box: the wizard itself, which keeps its focused control
            run_tool(["xdotool", "windowfocus", "--sync", str(windows[0])], self.session.env,
                     check=True)
        run_tool(["xdotool", "key", "--delay", "50", key], self.session.env, check=True)

    def button(self, id):
        wizard = wait_until(self.wizard, READ_LIMIT, f"{self.name}: the wizard", interval=0.2)
        control = wizard.control(id=id, cls="Button")
        if control is None or not control.enabled:
            self.shot(f"button-{id}-not-there")
            raise AssertionError(f"{self.name}: the button {id} cannot be pressed on "
                                 f"{wizard.page!r}")
        self.click(control)

    def type_into(self, field_control, text):
        """Clicks into the field, replaces what it holds with TEXT, and checks it holds TEXT."""
        self.click(field_control)
        self.press("End")
        self.press("shift+Home")
        run_tool(["xdotool", "type", "--delay", "30", text], self.session.env, check=True)
        wait_until(lambda: self.field_text(field_control.id) == text, READ_LIMIT,
                   f"{self.name}: the field to hold {text!r}", interval=0.2)

    def field_text(self, id):
        wizard = self.wizard()
        control = wizard.control(id=id) if wizard else None
        return control.text if control else None

    def answer_box(self, button=None):
        """Closes the box with a click on the button given, or on its only one."""
        box = wait_until(self.box, READ_LIMIT, f"{self.name}: a box", interval=0.2)
        buttons = box.controls_of("Button")
        self.click(buttons[0] if button is None and len(buttons) == 1
                   else box.control(id=button, cls="Button"))
        wait_until(lambda: self.box() is None, READ_LIMIT, f"{self.name}: the box to close",
                   interval=0.2)

    def copies(self):
        """The ids of the copies an uninstaller handed over to (NSIS puts them in a folder
        ~nsuN.tmp of its temporary folder)."""
        found = []
        for process in Path("/proc").glob("[0-9]*"):
            try:
                if b"\\~nsu" in (process / "cmdline").read_bytes():
                    found.append(int(process.name))
            except OSError:
                pass
        return found

    def wait_copies_end(self, limit=PAGE_LIMIT):
        """Waits until the copy has ended, and cleaned up after itself, like the program."""
        wait_until(lambda: not self.copies(), limit, f"{self.name}: its copy to end",
                   interval=0.2)

    def close(self):
        """Ends what is left of the wizard: the program started and, for an uninstaller, the
        copy it handed over to."""
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait(10)
        for copy in self.copies() if self.hands_over else []:
            try:
                os.kill(copy, signal.SIGKILL)
            except OSError:
                pass

    def wait_end(self, limit=PAGE_LIMIT):
        try:
            code = self.process.wait(limit)
        except subprocess.TimeoutExpired:
            self.shot("did-not-end")
            self.process.kill()
            raise AssertionError(f"{self.name}: did not end")
        log(f"{self.name}: ended with {code}")
        return code
