"""The signed release: a throwaway certificate authority and code-signing certificate, the
release signed with them by scripts/sign_release.sh from a copy of the unsigned programs, each
signature checked, the signed setup installed silently under Wine in a prefix made anew, and
the same release made again from a copy of the detached signatures alone. Refused: signatures of
a second certificate (its key under a passphrase), the publisher's with a second signature nested
in it or an unsigned blob added, links, a zip with a file added, other sums."""

import hashlib
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
    """A certificate authority and two code-signing certificates it issued, for two days: the
    publisher's, and another whose key is under the passphrase of the file "passphrase"."""
    folder.mkdir()

    def openssl(*args):
        done = run("openssl", *args, cwd=folder)
        assert done.returncode == 0, f"openssl {args[0]}: {done.stderr}"

    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem",
            "-days", "2", "-subj", "/CN=Kestrelon Test CA",
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign")
    (folder / "extensions").write_text(CERTIFICATE_EXTENSIONS)
    (folder / "passphrase").write_text("a passphrase\n")

    def issue(name, serial, *key_options):
        openssl("req", "-newkey", "rsa:2048", *key_options, "-keyout", f"{name}.key",
                "-out", "request.pem", "-subj", f"/CN=Kestrelon {name}/O=Kestrelon {name}")
        openssl("x509", "-req", "-in", "request.pem", "-CA", "ca.pem", "-CAkey", "ca.key",
                "-set_serial", serial, "-days", "2", "-extfile", "extensions",
                "-out", f"{name}.pem")
        return folder / f"{name}.pem", folder / f"{name}.key"

    return (folder / "ca.pem", *issue("Test", "1", "-nodes"),
            *issue("Other", "2", "-passout", "file:passphrase"))


def fingerprint(certificate):
    done = run("openssl", "x509", "-noout", "-fingerprint", "-sha256", "-in", certificate)
    return done.stdout.strip().split("=")[1]


def tree(folder):
    """Every file under folder, by its relative path, with its bytes."""
    return {str(p.relative_to(folder)): p.read_bytes() for p in folder.rglob("*") if p.is_file()}


class SignedRelease(WineCase):
    PREFIX_NAME = "signed-setup-prefix"
    FRESH_PREFIX = True

    def sign_release(self, *args, build=None):
        # In a session of its own: no terminal to ask a passphrase on.
        done = run(SIGN_RELEASE, *args, start_new_session=True,
                   env=dict(self.session.env, KESTRELON_RELEASE_BUILD=build or self.build))
        log(f"sign_release.sh {args[0]}: exit code {done.returncode}")
        return done

    def assert_signed_by(self, file, authority):
        done = run("osslsigncode", "verify", "-CAfile", authority, "-in", file)
        self.assertEqual(done.returncode, 0, f"{file.name}: {done.stdout[-600:]}")

    def assert_verify_refuses(self, named, *options, build=None):
        refused = self.sign_release("verify", self.authority, *self.publisher, *options,
                                    build=build)
        self.assertNotEqual(refused.returncode, 0, refused.stdout)
        self.assertIn(named, refused.stderr)

    def altered_sums(self, folder, altered=None, destination=None):
        """The sums of folder's zip and setup, the line of `altered` with another digest."""
        sums = ""
        for file in [next(folder.glob("*.zip")), next(folder.glob("*-setup.exe"))]:
            digest = hashlib.sha256(file.read_bytes()).hexdigest()
            sums += f"{'0' * 64 if file.name == altered else digest}  {file.name}\n"
        destination = destination or self.workspace.root / "altered-SHA256SUMS"
        destination.write_text(sums)
        return destination

    def test_sign_install_attach(self):
        keys = self.workspace.root / "keys"
        authority, certificate, key, other, other_key = make_authority(keys)
        publisher = ["--publisher", fingerprint(certificate)]
        self.authority, self.publisher = authority, publisher
        # The unsigned build: the shipped programs and the setup's plug-in, as the release build
        # made them.
        self.build = self.workspace.root / "unsigned"
        self.build.mkdir()
        shipped = required_path("KESTRELON_EXE").parent
        for program in PROGRAMS:
            shutil.copy(shipped / program, self.build)
        shutil.copytree(shipped / "plugins", self.build / "plugins")
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
        self.assertNotEqual(self.sign_release("verify", authority).returncode, 0, "no publisher")
        self.assertNotEqual(self.sign_release("verify", *publisher).returncode, 0)
        published = self.workspace.root / "SHA256SUMS"
        published.write_bytes(made["SHA256SUMS"])
        self.assertEqual(self.sign_release("verify", authority, *publisher, "--sums", published)
                         .returncode, 0)
        self.assert_verify_refuses(setup.name, "--sums", self.altered_sums(signed, setup.name))

        # A DLL beside the portable program, the sums made anew: refused with and without the
        # published sums.
        tampered = self.workspace.root / "tampered"
        shutil.copytree(signed, tampered / "signed")
        with zipfile.ZipFile(tampered / "signed" / next(signed.glob("*.zip")).name, "a") as archive:
            archive.writestr(f"{archive.namelist()[0]}WINMM.DLL", b"MZ")
        self.altered_sums(tampered / "signed", destination=tampered / "signed" / "SHA256SUMS")
        self.assert_verify_refuses("WINMM.DLL", build=tampered)
        self.assert_verify_refuses(".zip: its SHA-256", "--sums", published, build=tampered)

        # The same bytes signed by the other certificate, from a key under a passphrase.
        other_build = self.workspace.root / "other"
        shutil.copytree(self.build, other_build, ignore=shutil.ignore_patterns("signed"))
        signing = self.sign_release("sign", other, other_key, "--passfile", keys / "passphrase",
                                    build=other_build)
        self.assertEqual(signing.returncode, 0, signing.stderr)
        self.assert_verify_refuses("not by the publisher's", build=other_build)

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
        attaching = self.sign_release("attach", signatures, authority, *publisher)
        self.assertEqual(attaching.returncode, 0, attaching.stdout + attaching.stderr)
        self.assertEqual(tree(signed), made)

        # The publisher's signature with a second one nested in it, or an unsigned blob added
        # (verify reads each signature with the same check).
        added = {}
        for kind, adding in [("nested", ["sign", "-nest", "-h", "sha256", "-certs", other,
                                         "-key", other_key, "-readpass", keys / "passphrase"]),
                             ("blob", ["add", "-addUnauthenticatedBlob"])]:
            added[kind] = self.workspace.root / f"{kind}-signatures"
            shutil.copytree(signatures, added[kind])
            altered = self.workspace.root / f"{kind}-{PROGRAMS[0]}"
            run("osslsigncode", *adding, "-in", self.workspace.root / PROGRAMS[0], "-out", altered)
            (added[kind] / f"{PROGRAMS[0]}.sig").unlink()
            run("osslsigncode", "extract-signature", "-pem", "-in", altered,
                "-out", added[kind] / f"{PROGRAMS[0]}.sig")

        # Somebody else's signatures, and links, are refused; signed/ stays as it was.
        linked = self.workspace.root / "linked"
        shutil.copytree(signatures, linked)
        (linked / "notes.sig").symlink_to(keys / "ca.key")
        moved = signatures / f"{PROGRAMS[0]}.sig"
        linked_program = self.workspace.root / "linked-program"
        shutil.copytree(signatures, linked_program, ignore=shutil.ignore_patterns(moved.name))
        (linked_program / moved.name).symlink_to(moved)
        for given, reason in [(other_build / "signed" / "signatures", "not by the publisher's"),
                              (linked, "notes.sig: not part of the release"),
                              (linked_program, "a link"),
                              (added["nested"], "unsigned: 1.3.6.1.4.1.311.2.4.1"),
                              (added["blob"], "more than its signature and one time stamp")]:
            refused = self.sign_release("attach", given, authority, *publisher)
            self.assertNotEqual(refused.returncode, 0, given)
            self.assertIn(reason, refused.stderr)
            self.assertEqual(tree(signed), made)


if __name__ == "__main__":
    unittest.main()
