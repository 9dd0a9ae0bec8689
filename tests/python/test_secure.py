"""Sharing slides safely: `kolva serve` behind tokens or passwords (every route, the
browser's one-time `?token=` turned into a cookie, tokens never in the logs), over
TLS, refused beyond loopback without a credential; and de-identified slides (no
label or macro, no identifying property) for every format family, served, exported
and converted to DICOM under the Basic Application Level Confidentiality Profile."""
from __future__ import annotations

import base64
import datetime
import ipaddress
import logging
import shutil
import ssl
import subprocess
import tarfile
from pathlib import Path

import pytest

httpx = pytest.importorskip("httpx")
pytest.importorskip("uvicorn")
pytest.importorskip("starlette")
bcrypt = pytest.importorskip("bcrypt")

import kolva  # noqa: E402
from fixtures import dicom as dicom_fixture  # noqa: E402
from fixtures import ndpi, tiff_slides  # noqa: E402
from kolva.serve import create_app, protect  # noqa: E402
from kolva.serve._catalog import slide_id  # noqa: E402
from serve_util import running  # noqa: E402

TOKEN = "kolva-test-token-0123456789abcdef"
USER, PASSWORD = "ann", "correct horse"
# The file name carries the case number, as it often does.
CASE = "S24-31337"


@pytest.fixture(scope="module")
def svs(tmp_path_factory) -> Path:
    path = tmp_path_factory.mktemp("secure") / f"{CASE}.svs"
    tiff_slides.make_aperio_svs(path)  # thumbnail, label and macro
    return path


@pytest.fixture(scope="module")
def credentials(tmp_path_factory) -> tuple[str, str]:
    d = tmp_path_factory.mktemp("credentials")
    (d / "tokens").write_text(f"# served to the lab\nanother-token-9876543210\n{TOKEN}\n")
    hashed = bcrypt.hashpw(PASSWORD.encode(), bcrypt.gensalt(4)).decode()
    (d / "users").write_text(f"{USER}:{hashed}\n")
    return str(d / "tokens"), str(d / "users")


@pytest.fixture(scope="module")
def servers(svs, credentials):
    """(client of the open server, base URL of the same slides behind authentication,
    the served slide's id)."""
    plain, guarded = create_app([str(svs)]), create_app([str(svs)])
    with running(plain) as open_base, running(
            protect(guarded, *credentials), access_log=True, log_level="info",
            log_config=None) as base:
        with httpx.Client(base_url=open_base, timeout=10) as client:
            yield client, base, slide_id(str(svs))


def endpoints(sid: str) -> list[str]:
    return ["/", f"/view/{sid}", "/slides", f"/slides/{sid}", f"/slides/{sid}/tiles/0/1/1",
            f"/slides/{sid}/tiles/9/0/0", f"/slides/{sid}/associated/label",
            "/static/kolva.css", "/dicomweb/studies", "/no/such/route"]


def basic(user: str, password: str) -> str:
    return "Basic " + base64.b64encode(f"{user}:{password}".encode()).decode()


@pytest.mark.parametrize("headers", [
    {},
    {"authorization": "Bearer " + TOKEN[:-1] + "x"},
    {"authorization": "Bearer x"},
    {"authorization": basic(USER, "wrong")},
    {"authorization": basic("nobody", PASSWORD)},
    {"authorization": "Basic not-base64!"},
    {"authorization": TOKEN},
    {"cookie": "kolva_token=" + TOKEN[:-1]},
], ids=["none", "wrong-token", "short-token", "wrong-password", "unknown-user",
        "garbled-basic", "no-scheme", "wrong-cookie"])
def test_every_endpoint_refuses_without_a_valid_credential(servers, headers):
    _, base, sid = servers
    with httpx.Client(base_url=base, timeout=10, headers=headers) as client:
        for path in endpoints(sid):
            r = client.get(path)
            assert r.status_code == 401, path
            assert "Bearer" in r.headers["www-authenticate"], path
            assert "Basic" in r.headers["www-authenticate"], path
            assert TOKEN.encode() not in r.content


@pytest.mark.parametrize("headers", [
    {"authorization": "Bearer " + TOKEN},
    {"authorization": basic(USER, PASSWORD)},
    {"cookie": "theme=dark; kolva_token=" + TOKEN},
], ids=["bearer", "basic", "cookie"])
def test_a_valid_credential_gets_what_the_open_server_gives(servers, headers):
    plain, base, sid = servers
    with httpx.Client(base_url=base, timeout=10, headers=headers) as client:
        for _ in range(2):  # the second time a password is checked from memory
            for path in endpoints(sid):
                want, got = plain.get(path), client.get(path)
                # DICOMweb answers name the server they came from.
                body = want.content.replace(str(plain.base_url).rstrip("/").encode(),
                                            base.encode())
                assert (got.status_code, got.content) == (want.status_code, body), path


def test_a_token_in_the_url_becomes_a_cookie_and_never_reaches_the_log(servers, caplog):
    _, base, sid = servers
    caplog.set_level(logging.INFO)
    with httpx.Client(base_url=base, timeout=10) as browser:
        r = browser.get(f"/view/{sid}?zoom=2&token={TOKEN}")
        assert r.status_code == 303
        assert r.headers["location"] == f"/view/{sid}?zoom=2"
        cookie = r.headers["set-cookie"]
        assert cookie.startswith(f"kolva_token={TOKEN};")
        assert {"HttpOnly", "SameSite=Strict", "Path=/"} <= {p.strip() for p in cookie.split(";")}
        assert browser.get(r.headers["location"]).status_code == 200
        assert browser.get(f"/slides/{sid}/tiles/0/0/0").status_code == 200
    with httpx.Client(base_url=base, timeout=10) as stranger:
        assert stranger.get(f"/view/{sid}?token=not-{TOKEN}").status_code == 401
    logged = "\n".join(r.getMessage() for r in caplog.records  # the server's, not httpx's
                        if r.name.startswith(("uvicorn", "kolva")))
    assert f"/view/{sid}" in logged and "127.0.0.1" in logged  # client and slide
    assert TOKEN not in logged and TOKEN[:16] not in logged


def _cli_files(tmp_path: Path) -> dict[str, str]:
    (tmp_path / "short").write_text("tooshort\n")
    (tmp_path / "empty").write_text("# nothing yet\n")
    (tmp_path / "plain").write_text("ann:secret\n")
    return {k: str(tmp_path / k) for k in ("short", "empty", "plain")}


@pytest.mark.parametrize("argv,message", [
    (["--host", "0.0.0.0"], "--insecure-no-auth"),
    (["--host", "192.0.2.1", "--tls-cert", "c.pem", "--tls-key", "k.pem"], "--token-file"),
    (["--tls-cert", "c.pem"], "--tls-cert and --tls-key go together"),
    (["--token-file", "{short}"], "at least 16"),
    (["--token-file", "{empty}"], "holds no token"),
    (["--basic-auth", "{plain}"], "user:bcrypt-hash"),
    (["--token-file", "/no/such/tokens"], "cannot be read"),
])
def test_serve_refuses_unsafe_or_broken_settings(argv, message, tmp_path, capsys):
    from kolva.cli import main

    files = _cli_files(tmp_path)
    assert main(["serve", "--example", *(a.format(**files) for a in argv)]) == 1
    assert message in capsys.readouterr().err


# --------------------------------------------------------------------------- TLS
def _certificates(folder: Path) -> tuple[str, str, str]:
    """(CA certificate, server certificate for 127.0.0.1, its key) as PEM files."""
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import NameOID

    now = datetime.datetime.now(datetime.timezone.utc)

    def certificate(subject: str, key, issuer: str, signer, ca: bool):
        builder = (x509.CertificateBuilder()
                   .subject_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, subject)]))
                   .issuer_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, issuer)]))
                   .public_key(key.public_key()).serial_number(x509.random_serial_number())
                   .not_valid_before(now - datetime.timedelta(minutes=5))
                   .not_valid_after(now + datetime.timedelta(days=1))
                   .add_extension(x509.BasicConstraints(ca=ca, path_length=None), critical=True))
        if ca:
            builder = builder.add_extension(x509.KeyUsage(
                digital_signature=True, key_cert_sign=True, crl_sign=True,
                content_commitment=False, key_encipherment=False, data_encipherment=False,
                key_agreement=False, encipher_only=False, decipher_only=False), critical=True)
        else:
            builder = builder.add_extension(x509.SubjectAlternativeName(
                [x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]), critical=False)
        return builder.sign(signer, hashes.SHA256())

    ca_key, key = ec.generate_private_key(ec.SECP256R1()), ec.generate_private_key(ec.SECP256R1())
    ca = certificate("kolva test CA", ca_key, "kolva test CA", ca_key, True)
    cert = certificate("127.0.0.1", key, "kolva test CA", ca_key, False)
    paths = folder / "ca.pem", folder / "cert.pem", folder / "key.pem"
    paths[0].write_bytes(ca.public_bytes(serialization.Encoding.PEM))
    paths[1].write_bytes(cert.public_bytes(serialization.Encoding.PEM))
    paths[2].write_bytes(key.private_bytes(serialization.Encoding.PEM,
                                           serialization.PrivateFormat.PKCS8,
                                           serialization.NoEncryption()))
    return tuple(str(p) for p in paths)  # type: ignore[return-value]


def test_tiles_over_tls_to_a_client_that_trusts_the_ca(svs, credentials, tmp_path):
    pytest.importorskip("cryptography")
    ca, cert, key = _certificates(tmp_path)
    sid = slide_id(str(svs))
    app = protect(create_app([str(svs)]), *credentials)
    with running(app, ssl_certfile=cert, ssl_keyfile=key) as base:
        assert base.startswith("https://")
        trusting = ssl.create_default_context(cafile=ca)
        with httpx.Client(base_url=base, verify=trusting, timeout=10,
                          headers={"authorization": "Bearer " + TOKEN}) as client:
            with kolva.open(svs) as slide:
                for x, y in ((0, 0), (1, 1)):
                    r = client.get(f"/slides/{sid}/tiles/0/{x}/{y}")
                    assert r.status_code == 200 and r.content == slide.read_tile(0, x, y)
        with pytest.raises(httpx.HTTPError):  # a client that does not trust the CA
            httpx.get(base + "/slides", timeout=10)
        with pytest.raises(httpx.HTTPError):  # plain HTTP to the TLS port
            httpx.get(base.replace("https://", "http://") + "/slides", timeout=10)


# --------------------------------------------------------------------------- de-identification
def _aperio(d: Path) -> Path:
    path = d / f"{CASE}.svs"
    tiff_slides.make_aperio_svs(path)
    return path


def _philips(d: Path) -> Path:
    path = d / f"{CASE}.tiff"
    tiff_slides.make_philips_tiff(path)
    return path


def _ndpi(d: Path) -> Path:
    path = d / f"{CASE}.ndpi"
    ndpi.make_ndpi(path)
    return path


def _dicom(d: Path) -> Path:
    dicom_fixture.write_series(d / CASE)
    return d / CASE


# Per family: properties that name the patient, case, barcode, file or date.
FAMILIES = {
    "aperio": (_aperio, ["aperio.Filename", "aperio.Date", "aperio.Time", "aperio.User",
                         "aperio.ScanScope ID"]),
    "philips": (_philips, ["philips.PIM_DP_UFS_BARCODE", "philips.DICOM_ACQUISITION_DATETIME",
                           "philips.DICOM_DERIVATION_DESCRIPTION"]),
    "ndpi": (_ndpi, ["hamamatsu.Created", "hamamatsu.NDP.S/N", "tiff.DateTime"]),
    "dicom": (_dicom, ["dicom.ContainerIdentifier", "dicom.StudyInstanceUID",
                       "dicom.SeriesInstanceUID", "dicom.SOPInstanceUID"]),
}


@pytest.mark.parametrize("family", sorted(FAMILIES))
def test_deidentified_slides_have_no_label_and_no_identifying_property(family, tmp_path):
    import pickle

    make, identifying = FAMILIES[family]
    path = make(tmp_path)
    with kolva.open(path) as slide:
        full = slide.properties
        assert set(identifying) <= set(full)  # the fixture plants them
        tiles = slide.read_tile(0, 0, 0)
    with kolva.open(path, deidentify=True) as slide:
        props = slide.properties
        assert set(slide.associated_images) <= {"thumbnail"}
        assert set(slide.summary()["associated_images"]) <= {"thumbnail"}
        assert not set(identifying) & set(props)
        planted = {full[k] for k in identifying if len(full[k]) >= 6}
        assert not [v for v in props.values() if any(p in v for p in planted)]
        assert slide.read_tile(0, 0, 0) == tiles
        assert props["kolva.mpp-x"] == full["kolva.mpp-x"]  # what is not identifying stays
        again = pickle.loads(pickle.dumps(slide))
        assert again.properties == props and list(again.associated_images) == list(
            slide.associated_images)


def test_serve_deidentified(svs):
    sid = "slide-" + slide_id(str(svs)).rsplit("-", 1)[-1]  # no file name in the id
    with running(create_app([str(svs)], deidentify=True)) as base:
        with httpx.Client(base_url=base, timeout=10) as client:
            for name in ("label", "macro"):
                assert client.get(f"/slides/{sid}/associated/{name}").status_code == 404
            assert client.get(f"/slides/{sid}/associated/thumbnail").status_code == 200
            info = client.get(f"/slides/{sid}").json()
            assert info["associated_images"] == ["thumbnail"] and info["name"] == sid
            listing = client.get("/slides").text + client.get("/").text
            assert CASE not in listing and CASE not in str(info)
            assert "aperio.Filename" not in info["properties"]


def test_export_deidentified_holds_tiles_only(svs, tmp_path):
    summary = kolva.export([str(svs)], tmp_path / "out", deidentify=True, workers=1,
                           progress=False)
    assert not summary.failed if hasattr(summary, "failed") else True
    members = [m.name for t in (tmp_path / "out").rglob("*.tar") for m in tarfile.open(t)]
    assert members and not [m for m in members if "label" in m or "macro" in m]


def test_convert_deidentified_follows_the_profile(svs, tmp_path):
    pydicom = pytest.importorskip("pydicom")
    summary = kolva.convert([str(svs)], tmp_path, deidentify=True, workers=1, progress=False)
    assert summary.ok
    files = sorted(tmp_path.rglob("*.dcm"))
    roles = {pydicom.dcmread(f, stop_before_pixels=True).ImageType[2] for f in files}
    assert roles == {"VOLUME", "THUMBNAIL"}
    dciodvfy = shutil.which("dciodvfy")
    for f in files:
        assert CASE.encode() not in f.read_bytes()
        ds = pydicom.dcmread(f, stop_before_pixels=True)
        assert ds.PatientIdentityRemoved == "YES" and ds.DeidentificationMethod
        code = ds.DeidentificationMethodCodeSequence[0]
        assert (code.CodeValue, code.CodingSchemeDesignator) == ("113100", "DCM")
        assert not ds.PatientName and not ds.PatientID and not ds.AccessionNumber
        assert "BarcodeValue" not in ds and "LabelText" not in ds
        assert ds.ContentDate == ds.StudyDate == "19700101"
        assert ds.AcquisitionDateTime.startswith("19700101")
        assert ds.ContainerIdentifier and ds.ContainerIdentifier not in CASE
        if dciodvfy:
            out = subprocess.run([dciodvfy, str(f)], capture_output=True, text=True).stderr
            assert "Error" not in out, out


def test_viewer_in_chromium_after_opening_the_tokened_url_once(credentials, tmp_path):
    """The browser opens the viewer once with ?token=: the page and every tile it
    loads afterwards come through on the cookie, and show the stored level."""
    sb = pytest.importorskip("test_serve_browser")
    if sb.CHROMIUM is None:
        pytest.skip("chromium is not installed")
    path = str(kolva.example_path())
    sid = slide_id(path)
    browser = sb.Browser(tmp_path / "chromium")
    try:
        with running(protect(create_app([path]), *credentials)) as base:
            view = f"{base}/view/{sid}?controls=0&zoom=-1&x=640&y=360"
            shot = browser.screenshot(f"{view}&token={TOKEN}")
            assert TOKEN not in str(browser.evaluate("location.href"))
            again = browser.screenshot(view)  # no token any more: the cookie
    finally:
        browser.close()
    ref = sb.reference(path, 1, 640 - sb.W, 360 - sb.H, 1.0)
    assert sb.mad(shot, ref) <= 1.0 and sb.mad(again, ref) <= 1.0
