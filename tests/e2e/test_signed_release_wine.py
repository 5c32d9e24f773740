"""The signed release: a throwaway certificate authority and code-signing certificate, the
release signed with them by scripts/sign_release.sh from a copy of the unsigned programs, each
signature checked, the signed setup installed silently under Wine in a prefix made anew, and
the same release made again from a copy of the detached signatures alone."""

import shutil
import subprocess
import unittest
import zipfile

from harness import REPO, log, require_isolation, required_path
from wine_session import WineCase

require_isolation()

SIGN_RELEASE = REPO / "scripts" / "sign_release.sh"
SETUP_LIMIT = 120
SCRIPT_LIMIT = 300
PROGRAM_FOLDER = r"C:\Program Files\Kestrelon"
PROGRAMS = ["Kestrelon.exe", "KestrelonScan.exe"]
UNINSTALLER = "Dezinstalare.exe"
CERTIFICATE_EXTENSIONS = ("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                          "extendedKeyUsage=codeSigning\n")


def run(*args, **options):
    return subprocess.run([str(a) for a in args], stdin=subprocess.DEVNULL, capture_output=True,
                          text=True, timeout=SCRIPT_LIMIT, **options)


def make_authority(folder):
    """A certificate authority and a code-signing certificate it issued, for two days."""
    folder.mkdir()

    def openssl(*args):
        done = run("openssl", *args, cwd=folder)
        assert done.returncode == 0, f"openssl {args[0]}: {done.stderr}"

    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem",
            "-days", "2", "-subj", "/CN=Kestrelon Test CA",
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "key.pem", "-out", "request.pem",
            "-subj", "/CN=Kestrelon Test/O=Kestrelon Test")
    (folder / "extensions").write_text(CERTIFICATE_EXTENSIONS)
    openssl("x509", "-req", "-in", "request.pem", "-CA", "ca.pem", "-CAkey", "ca.key",
            "-set_serial", "1", "-days", "2", "-extfile", "extensions", "-out", "cert.pem")
    return folder / "ca.pem", folder / "cert.pem", folder / "key.pem"


def tree(folder):
    """Every file under folder, by its relative path, with its bytes."""
    return {str(p.relative_to(folder)): p.read_bytes() for p in folder.rglob("*") if p.is_file()}


class SignedRelease(WineCase):
    PREFIX_NAME = "signed-setup-prefix"
    FRESH_PREFIX = True

    def sign_release(self, *args):
        done = run(SIGN_RELEASE, *args,
                   env=dict(self.session.env, KESTRELON_RELEASE_BUILD=self.build))
        log(f"sign_release.sh {args[0]}: exit code {done.returncode}")
        return done

    def assert_signed_by(self, file, authority):
        done = run("osslsigncode", "verify", "-CAfile", authority, "-in", file)
        self.assertEqual(done.returncode, 0, f"{file.name}: {done.stdout[-600:]}")

    def test_sign_install_attach(self):
        authority, certificate, key = make_authority(self.workspace.root / "keys")
        # The unsigned build: the shipped programs, as the release build made them.
        self.build = self.workspace.root / "unsigned"
        self.build.mkdir()
        for program in PROGRAMS:
            shutil.copy(required_path("KESTRELON_EXE").parent / program, self.build)
        unsigned = tree(self.build)

        signing = self.sign_release("sign", certificate, key)
        self.assertEqual(signing.returncode, 0, signing.stderr)
        self.assertIn("stop being valid when the certificate expires", signing.stderr)
        signed = self.build / "signed"
        made = tree(signed)
        self.assertEqual(tree(self.build), unsigned | {f"signed/{n}": d for n, d in made.items()},
                         "only signed/ is new in the unsigned build")
        setup = next(signed.glob("*-setup.exe"))
        self.assertEqual(sorted(made), sorted(
            [setup.name, next(signed.glob("*.zip")).name, "SHA256SUMS"] +
            [f"signatures/{name}.sig" for name in PROGRAMS + [UNINSTALLER, setup.name]]))

        # Each artifact carries a signature of that authority: the setup, the programs in the
        # zip, and (below) the installed uninstaller. The system's authorities do not know it.
        self.assert_signed_by(setup, authority)
        with zipfile.ZipFile(next(signed.glob("*.zip"))) as archive:
            zipped = {name.rsplit("/", 1)[1]: archive.read(name)
                      for name in archive.namelist() if name.endswith(".exe")}
        for program in PROGRAMS:
            (self.workspace.root / program).write_bytes(zipped[program])
            self.assert_signed_by(self.workspace.root / program, authority)
            self.assertNotEqual(zipped[program], unsigned[program])
        self.assertEqual(self.sign_release("verify", authority).returncode, 0)
        self.assertNotEqual(self.sign_release("verify").returncode, 0)

        # Installed silently, the programs and the uninstaller are the signed ones.
        self.assertEqual(self.session.run_to_end("setup-signed", [setup, "/S"], SETUP_LIMIT), 0)
        installed = self.session.unix_path(PROGRAM_FOLDER)
        for program in PROGRAMS:
            self.assertEqual((installed / program).read_bytes(), zipped[program], program)
        self.assert_signed_by(installed / UNINSTALLER, authority)
        extracted = self.workspace.root / "uninstaller.sig"
        run("osslsigncode", "extract-signature", "-pem", "-in", installed / UNINSTALLER,
            "-out", extracted)
        self.assertEqual(extracted.read_bytes(), made[f"signatures/{UNINSTALLER}.sig"])

        # From a copy of the signatures, with no key: the same release, byte for byte.
        signatures = self.workspace.root / "published-signatures"
        shutil.copytree(signed / "signatures", signatures)
        key.unlink()
        attaching = self.sign_release("attach", signatures, authority)
        self.assertEqual(attaching.returncode, 0, attaching.stdout + attaching.stderr)
        self.assertEqual(tree(signed), made)


if __name__ == "__main__":
    unittest.main()
