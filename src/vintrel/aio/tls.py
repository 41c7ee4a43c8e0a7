"""TLS contexts for the drivers, and a throwaway certificate for tests and the demo."""

from __future__ import annotations

import shutil
import ssl
import subprocess
from pathlib import Path


def make_self_signed(directory: str | Path, host: str = "localhost") -> tuple[Path, Path]:
    """Write a throwaway self-signed certificate and key; return their paths.

    Uses the ``openssl`` command; raises FileNotFoundError when it is missing.
    """
    exe = shutil.which("openssl")
    if exe is None:
        raise FileNotFoundError("the openssl command is needed to make a certificate")
    d = Path(directory)
    cert, key = d / "cert.pem", d / "key.pem"
    subprocess.run(
        [exe, "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
         "-nodes", "-days", "2", "-subj", f"/CN={host}",
         "-addext", f"subjectAltName=DNS:{host},IP:127.0.0.1,IP:::1",
         "-keyout", str(key), "-out", str(cert)],
        check=True, capture_output=True, timeout=30,
    )
    return cert, key


def server_context(cert: str | Path, key: str | Path, alpn: list[str]) -> ssl.SSLContext:
    """A server context offering the ALPN protocols in ``alpn``."""
    ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    ctx.load_cert_chain(str(cert), str(key))
    ctx.set_alpn_protocols(alpn)
    return ctx


def client_context(cafile: str | Path | None, alpn: list[str]) -> ssl.SSLContext:
    """A client context trusting ``cafile`` (or the system store) offering ``alpn``."""
    ctx = ssl.create_default_context(cafile=str(cafile) if cafile is not None else None)
    ctx.set_alpn_protocols(alpn)
    return ctx
