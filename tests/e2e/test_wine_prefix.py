"""The Wine prefixes of the groups: made anew from the template, each with its own server, side by
side sharing nothing; taken away after a passing group, left whole after a failing one."""

import io
import unittest

from harness import E2ECase, artifacts_dir, require_isolation
from wine_session import WineCase, WineSession

require_isolation()

KEY = r"HKCU\Software\Kestrelon-prefix-test"


def mark(session, value):
    """A registry value only that session's prefix should have."""
    session.run_to_end(f"prefix-mark-{value}", ["reg", "add", KEY, "/v", value, "/d", "1", "/f"],
                       60)


def registry_files(prefix):
    return {name: (prefix / name).read_bytes() for name in ("system.reg", "user.reg")}


class Prefixes(E2ECase):
    def test_side_by_side_each_its_own_then_kept_only_when_asked(self):
        artifacts, template = artifacts_dir(), registry_files(WineSession.TEMPLATE)
        names = ["prefix-test-kept", "prefix-test-removed"]
        sessions = [WineSession(artifacts, name).start() for name in names]
        try:
            for session, name in zip(sessions, names):
                mark(session, name)
            for session, name in zip(sessions, names):
                self.assertEqual(set(session.registry_values(KEY)), {name})
        finally:
            sessions[0].stop(keep=True)
            sessions[1].stop()
        kept, removed = (artifacts / name for name in names)
        self.assertTrue((kept / "drive_c" / "windows" / "system32").is_dir())
        self.assertIn(b"prefix-test-kept", (kept / "user.reg").read_bytes())
        self.assertFalse(removed.exists())
        self.assertEqual([n for n in names if (artifacts / f"{n}.changes").exists()], [])
        again = WineSession(artifacts, names[0]).start()  # anew, over what was kept
        try:
            self.assertIsNone(again.registry_values(KEY))
        finally:
            again.stop()
        self.assertFalse(kept.exists())
        self.assertEqual(registry_files(WineSession.TEMPLATE), template, "never written")

    def test_a_failing_group_leaves_its_prefix_whole(self):
        for fails in (True, False):
            class Group(WineCase):
                PREFIX_NAME = f"prefix-test-group-{fails}"

                def test_marks_its_prefix(self):
                    mark(self.session, "group")
                    self.assertFalse(fails)

            result = unittest.TextTestRunner(stream=io.StringIO()).run(
                unittest.defaultTestLoader.loadTestsFromTestCase(Group))
            self.assertEqual(len(result.failures), int(fails))
            prefix = artifacts_dir() / Group.PREFIX_NAME
            self.assertEqual(prefix.exists(), fails)
            if fails:
                self.assertIn(b"Kestrelon-prefix-test", (prefix / "user.reg").read_bytes())
                WineSession.prefix_script("--release", prefix)
