#!/usr/bin/env python3
"""Signs a file of the HexlornS build (HexlornS.exe, the MSI) with Authenticode.

usage: sign.py --pfx PATH/signer.pfx FILE

SHA-256, through osslsigncode, with the certificate and key of a PKCS#12
file. Its password is taken from the environment (HEXLORN_SIGN_PASSWORD) and
handed to osslsigncode through a pipe: it is never on a command line, in a
file or in the output. HEXLORN_SIGN_TIMESTAMP_URL, when set, names an RFC 3161
timestamp server to countersign with; without it the signature carries no
timestamp. FILE is replaced by its signed copy only when signing succeeded;
any failure ends with a message and a non-zero exit code.
"""
import argparse
import os
import subprocess
import sys
from pathlib import Path

PASSWORD_VARIABLE = "HEXLORN_SIGN_PASSWORD"
TIMESTAMP_VARIABLE = "HEXLORN_SIGN_TIMESTAMP_URL"
# Shown by Windows as the signed program's name.
DESCRIPTION = "HexlornS"


class SigningError(Exception):
    pass


def sign(path, pfx):
    """Signs `path` in place with the certificate of `pfx`."""
    password = os.environ.get(PASSWORD_VARIABLE)
    if password is None:
        raise SigningError(f"{PASSWORD_VARIABLE} is not set")
    path = Path(path)
    signed = path.with_name(path.name + ".signed")
    signed.unlink(missing_ok=True)
    command = ["osslsigncode", "sign", "-pkcs12", str(pfx), "-h", "sha256", "-comm", "-n", DESCRIPTION]
    timestamp = os.environ.get(TIMESTAMP_VARIABLE)
    if timestamp:
        command += ["-ts", timestamp]
    read_end, write_end = os.pipe()
    try:
        os.write(write_end, password.encode("utf-8"))
        os.close(write_end)
        write_end = None
        command += ["-readpass", f"/dev/fd/{read_end}", "-in", str(path), "-out", str(signed)]
        result = subprocess.run(command, pass_fds=(read_end,), capture_output=True, text=True, timeout=300)
    except (OSError, subprocess.TimeoutExpired) as error:
        raise SigningError(f"osslsigncode: {error}") from None
    finally:
        os.close(read_end)
        if write_end is not None:
            os.close(write_end)
    if result.returncode != 0 or not signed.is_file():
        signed.unlink(missing_ok=True)
        raise SigningError(f"osslsigncode could not sign {path} ({result.returncode}):\n"
                           f"{result.stdout}{result.stderr}")
    os.replace(signed, path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pfx", required=True, type=Path)
    parser.add_argument("file", type=Path)
    args = parser.parse_args()
    try:
        sign(args.file, args.pfx)
    except SigningError as error:
        sys.exit(f"sign.py: {error}")


if __name__ == "__main__":
    main()
