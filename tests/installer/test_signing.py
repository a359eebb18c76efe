"""A signed build, as a maker's release engineer makes it.

Makes a throwaway code-signing certificate with openssl, builds the windows
preset into a folder of its own with HEXLORN_SIGN_PFX and HEXLORN_SIGN_PASSWORD
set, and checks with osslsigncode that HexlornS.exe and the MSI carry
signatures that verify against that certificate (and not against another),
that the package holds the signed exe, that signing added nothing but the
signature to the unsigned build's exe, and that the password is in no build
output and no file of the build folder.

usage: test_signing.py   (HEXLORN_WINDOWS_BUILD_DIR: the unsigned windows build;
                          HEXLORN_VERSION: the project version)
"""

import os
import secrets
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

SOURCE_DIR = Path(__file__).resolve().parents[2]

SIGNER = "HexlornS test signer"


def run(command, env=None, timeout=120, cwd=None):
    """Runs a command to its end (its whole process group is killed after `timeout` s)."""
    process = subprocess.Popen([str(part) for part in command], cwd=cwd, env=env, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, text=True,
                               start_new_session=True)
    try:
        output, _ = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.communicate()
        raise AssertionError(f"{command[0]} did not end in {timeout} s")
    return process.returncode, output


def make_certificate(folder, name, password):
    """A self-signed code-signing certificate: (PEM certificate, PKCS#12 file with its key)."""
    certificate, key, pfx = folder / f"{name}.pem", folder / f"{name}.key", folder / f"{name}.pfx"
    code, output = run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-keyout", key,
                        "-out", certificate, "-subj", f"/CN={name}/O=TALVORIN", "-addext",
                        "extendedKeyUsage=codeSigning", "-addext", "keyUsage=critical,digitalSignature"])
    assert code == 0, output
    code, output = run(["openssl", "pkcs12", "-export", "-inkey", key, "-in", certificate, "-out", pfx,
                        "-passout", "env:PFX_PASSWORD"], env=dict(os.environ, PFX_PASSWORD=password))
    assert code == 0, output
    return certificate, pfx


def verify(path, certificate):
    return run(["osslsigncode", "verify", "-in", path, "-CAfile", certificate])


class SignedBuild(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        unsigned = os.environ.get("HEXLORN_WINDOWS_BUILD_DIR")
        cls.unsigned = Path(unsigned) if unsigned else SOURCE_DIR / "build" / "windows"
        cls.version = os.environ.get("HEXLORN_VERSION", "1.0.0")
        cls.folder = Path(tempfile.mkdtemp(prefix="hexlorn-signed-"))
        try:
            # Characters a shell or CMake would act on, should the password ever reach one.
            cls.password = f"pw {secrets.token_hex(8)}; $(x) 'q\" ${{HOME}}"
            cls.certificate, cls.pfx = make_certificate(cls.folder, SIGNER, cls.password)
            cls.other_certificate, _ = make_certificate(cls.folder, "Someone else", "other")
            cls.build = cls.folder / "build"
            env = dict(os.environ, HEXLORN_SIGN_PFX=str(cls.pfx), HEXLORN_SIGN_PASSWORD=cls.password)
            configure = run(["cmake", "--preset", "windows", "-B", cls.build], env=env, cwd=SOURCE_DIR)
            build = run(["cmake", "--build", cls.build, "--target", "msi", "-v"], env=env, timeout=480)
            cls.build_output = configure[1] + build[1]
            if configure[0] or build[0]:
                raise AssertionError(f"the signed build failed:\n{cls.build_output[-4000:]}")
        except BaseException:
            shutil.rmtree(cls.folder, ignore_errors=True)
            raise
        cls.exe = cls.build / "HexlornS.exe"
        cls.msi = cls.build / f"HexlornS-{cls.version}.msi"

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder, ignore_errors=True)

    def test_exe_and_package_signatures_verify_against_the_signing_certificate_only(self):
        for path in (self.exe, self.msi):
            with self.subTest(path=path.name):
                code, output = verify(path, self.certificate)
                self.assertEqual(code, 0, output)
                self.assertIn(f"/CN={SIGNER}", output)
                self.assertIn("SHA256", output)
                self.assertNotEqual(verify(path, self.other_certificate)[0], 0, "verified by a stranger")

    def test_the_package_holds_the_signed_exe(self):
        extracted = self.folder / "extracted"
        code, output = run(["msiextract", "-C", extracted, self.msi])
        self.assertEqual(code, 0, output)
        (inside,) = extracted.rglob("HexlornS.exe")
        self.assertEqual(inside.read_bytes(), self.exe.read_bytes())

    def test_signing_adds_the_signature_and_nothing_else_to_the_unsigned_build(self):
        unsigned_exe = self.unsigned / "HexlornS.exe"
        self.assertNotEqual(verify(unsigned_exe, self.certificate)[0], 0, "the unsigned build is signed")
        code, streams = run(["msiinfo", "streams", self.unsigned / f"HexlornS-{self.version}.msi"])
        self.assertEqual((code, "DigitalSignature" in streams), (0, False), streams)
        stripped = self.folder / "stripped.exe"
        code, output = run(["osslsigncode", "remove-signature", "-in", self.exe, "-out", stripped])
        self.assertEqual(code, 0, output)
        self.assertEqual(stripped.read_bytes(), unsigned_exe.read_bytes(),
                         f"the signed exe without its signature differs from {unsigned_exe} (built from other "
                         "sources?)")

    def test_the_password_is_in_no_output_and_no_file_of_the_build(self):
        self.assertNotIn(self.password, self.build_output)
        secret = self.password.encode("utf-8")
        leaks = [path for path in self.build.rglob("*") if path.is_file() and secret in path.read_bytes()]
        self.assertEqual(leaks, [])

    def test_a_wrong_or_missing_password_fails_and_leaves_the_file_unsigned(self):
        copy = self.folder / "copy.exe"
        original = (self.unsigned / "HexlornS.exe").read_bytes()
        copy.write_bytes(original)
        for password in ("wrong", None):
            with self.subTest(password=password):
                env = dict(os.environ, HEXLORN_SIGN_PASSWORD=password or "")
                if password is None:
                    del env["HEXLORN_SIGN_PASSWORD"]
                code, output = run([sys.executable, SOURCE_DIR / "installer" / "sign.py", "--pfx", self.pfx, copy],
                                   env=env)
                self.assertNotEqual(code, 0, output)
                self.assertEqual(copy.read_bytes(), original)
                self.assertEqual(sorted(path.name for path in self.folder.glob("copy.exe*")), ["copy.exe"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
