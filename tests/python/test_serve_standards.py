"""`kolva serve` as a DICOMweb service and an IIIF image server, checked by clients
kolva did not write (wsidicom, dicomweb-client, iiif-validator) and by kolva's own
DICOMweb reader: the served instances are the ones `kolva convert` writes, frames
are the stored tiles, stored IIIF tiles are the tile path's bytes and ETag, and
hostile requests get a 4xx that says why."""
from __future__ import annotations

import io
from pathlib import Path

import numpy as np
import pytest

httpx = pytest.importorskip("httpx")
pytest.importorskip("uvicorn")
pydicom = pytest.importorskip("pydicom")

import kolva  # noqa: E402
from fixtures import tiff_slides  # noqa: E402
from kolva.serve import create_app  # noqa: E402
from serve_util import running, slide_of  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
REAL = ROOT.parent / "shared/corpus/real"


def _validator_image() -> np.ndarray:
    from iiif_validator.validator import ValidationInfo

    colours = ValidationInfo().colorInfo
    image = np.zeros((1000, 1000, 3), np.uint8)
    for x in range(10):
        for y in range(10):
            image[y * 100:(y + 1) * 100, x * 100:(x + 1) * 100] = colours[x][y]
    return image


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    d = tmp_path_factory.mktemp("standards")
    tiff_slides.make_aperio_svs(d / "aperio-rgb.svs", rgb=True)
    tiff_slides.make_aperio_j2k(d / "aperio-j2k.svs")
    tiff_slides.make_generic_tiff(d / "generic.tiff",
                                  levels=((1024, 512, (256, 128)), (512, 256, (256, 128))))
    sources = [str(d / n) for n in ("aperio-rgb.svs", "aperio-j2k.svs", "generic.tiff")]
    sources.append(str(kolva.example_path()))
    for real in ("svs/CMU-1-Small-Region.svs", "ndpi/test3-DAPI-2-(387).ndpi"):
        if (REAL / real).exists():
            sources.append(str(REAL / real))
    app = create_app(sources)
    with running(app) as base, httpx.Client(base_url=base, timeout=30) as client:
        studies = {}
        for entry in app.slides.values():
            r = client.get(f"/dicomweb/slides/{entry.id}", follow_redirects=False)
            assert r.status_code == 303, r.text
            url = r.headers["location"]
            studies[entry.name] = (entry, url, url.split("/")[-3], url.split("/")[-1])
        yield app, base, client, studies
    app.close()


def _instances(client, study, series):
    return client.get(f"/dicomweb/studies/{study}/series/{series}/instances").json()


# --------------------------------------------------------------------------- DICOMweb
def test_same_instances_and_frames_as_convert(served, tmp_path):
    """The served series is what `kolva convert` writes; kolva's DICOMweb reader of
    it reads every tile as the converted files hold it."""
    from kolva import convert

    app, base, client, studies = served
    for name, (entry, url, study, series) in studies.items():
        summary = convert(entry.source, tmp_path, workers=1, decode_to="native")
        assert summary.ok, summary.failed
        written = {}
        for f in Path(summary.slides[0].folder).glob("*.dcm"):
            ds = pydicom.dcmread(f, stop_before_pixels=True)
            assert (ds.StudyInstanceUID, ds.SeriesInstanceUID) == (study, series), name
            written[ds.SOPInstanceUID] = ds
        metadata = client.get(f"/dicomweb/studies/{study}/series/{series}/metadata").json()
        assert {m["00080018"]["Value"][0] for m in metadata} == set(written), name
        for m in metadata:
            ds = written[m["00080018"]["Value"][0]]
            assert m["00280008"]["Value"] == [ds.NumberOfFrames]
            assert m["00020010"]["Value"] == [ds.file_meta.TransferSyntaxUID]
        with kolva.open(url) as remote, kolva.open(summary.slides[0].folder) as local:
            assert remote.level_dimensions == local.level_dimensions
            for n, lv in enumerate(local.levels):
                gx, gy = lv.tile_grid
                coords = [(x, y) for y in range(gy) for x in range(gx)]
                # Files pad odd-length frames to even length; DICOMweb frames are unpadded.
                assert [t.rstrip(b"\0") for t in remote.read_tiles(n, coords)] == [
                    t.rstrip(b"\0") for t in local.read_tiles(n, coords)], (name, n)


def test_frames_are_the_stored_tiles(served):
    import dicomweb_client

    app, base, client, studies = served
    web = dicomweb_client.DICOMwebClient(f"{base}/dicomweb")
    for name, (entry, url, study, series) in studies.items():
        # As convert opens it: NDPI levels cut into its tiles.
        slide = kolva.open(entry.source, tile_size=512)
        for inst in web.search_for_instances(study, series, fields=["NumberOfFrames"]):
            sop = inst["00080018"]["Value"][0]
            meta = web.retrieve_instance_metadata(study, series, sop)
            if "VOLUME" not in meta["00080008"]["Value"]:
                continue
            level = next(n for n, lv in enumerate(slide.levels)
                         if lv.dimensions == (meta["00480006"]["Value"][0],
                                              meta["00480007"]["Value"][0]))
            gx, gy = slide.levels[level].tile_grid
            # Interior tiles (edge ones may be extended to the frame size).
            numbers = [y * gx + x + 1 for y in range(gy - 1) for x in range(gx - 1)][:40]
            if not numbers:
                continue
            frames = web.retrieve_instance_frames(study, series, sop, numbers,
                                                  media_types=(("application/octet-stream",
                                                                "*"),))
            expected = slide.read_tiles(level, [((n - 1) % gx, (n - 1) // gx) for n in numbers])
            assert frames == expected, (name, level)


def test_qido_and_bulk_data_round_trip(served):
    import dicomweb_client

    app, base, client, studies = served
    web = dicomweb_client.DICOMwebClient(f"{base}/dicomweb")
    found = {s["0020000D"]["Value"][0] for s in web.search_for_studies()}
    assert found == {s[2] for s in studies.values()}
    entry, url, study, series = studies["aperio-rgb.svs"]
    assert [s["0020000E"]["Value"][0] for s in web.search_for_series(study)] == [series]
    assert web.search_for_studies(search_filters={"StudyInstanceUID": study})[0][
        "0020000D"]["Value"] == [study]
    assert web.search_for_studies(search_filters={"StudyInstanceUID": "1.2.3"}) == []
    assert len(web.search_for_studies(limit=2)) == 2
    volumes = web.search_for_instances(study, series, search_filters={"ImageType": "VOLUME"})
    assert volumes == [] or all("00080018" in v for v in volumes)
    instances = web.search_for_instances(study, series, fields=["TotalPixelMatrixColumns"])
    assert len(instances) == len(_instances(client, study, series)) >= 3
    assert all("00480006" in i for i in instances)
    assert "00480006" not in web.search_for_instances(study, series)[0]
    with_all = client.get(f"/dicomweb/instances?includefield=all&SOPInstanceUID="
                          f"{instances[0]['00080018']['Value'][0]}").json()
    assert len(with_all) == 1 and "00480001" in with_all[0]  # ImagedVolumeWidth
    meta = web.retrieve_series_metadata(study, series)
    level0 = next(m for m in meta if m["00200013"]["Value"] == [1])
    icc_uri = level0["00480105"]["Value"][0]["00282000"]["BulkDataURI"]
    assert icc_uri.startswith(base)
    from kolva._convert.dataset import srgb_profile

    assert web.retrieve_bulkdata(icc_uri) == [slide_of(entry).icc_profile or srgb_profile()]
    rendered = client.get(f"/dicomweb/studies/{study}/thumbnail", headers={"accept": "image/png"})
    assert rendered.status_code == 200 and rendered.headers["content-type"] == "image/png"


def test_wsidicom_reads_the_served_studies(served):
    wsidicom = pytest.importorskip("wsidicom")
    from wsidicom.web import WsiDicomWebClient

    app, base, client, studies = served
    web = WsiDicomWebClient.create_client(f"{base}/dicomweb")
    compared = 0
    for name, (entry, url, study, series) in studies.items():
        slide = slide_of(entry)
        if any(np.log2(d) % 1 for d in slide.level_downsamples):
            continue  # wsidicom takes only pyramids that halve
        compared += 1
        with wsidicom.WsiDicom.open_web(web, study, series) as w:
            assert [(lv.size.width, lv.size.height) for lv in w.levels] == list(
                slide.level_dimensions), name
            for n, (lw, lh) in enumerate(slide.level_dimensions):
                size = (min(lw, 600), min(lh, 400))
                theirs = np.asarray(w.read_region((0, 0), n, size).convert("RGB"))
                ours = slide.read_region((0, 0), n, size)[..., :3]
                # libjpeg-turbo on both sides; JPEG 2000 by OpenJPEG on both.
                assert np.abs(theirs.astype(int) - ours).max() <= 1, (name, n)
    assert compared >= 3


def test_frames_accept_negotiation(served):
    app, base, client, studies = served
    entry, url, study, series = studies["aperio-rgb.svs"]
    sop = _instances(client, study, series)[0]["00080018"]["Value"][0]
    frames = f"/dicomweb/studies/{study}/series/{series}/instances/{sop}/frames/1"
    for accept, status, part in [
        (None, 200, "image/jpeg"),
        ('multipart/related; type="image/jpeg"', 200, "image/jpeg"),
        ('multipart/related; type="application/octet-stream"; transfer-syntax=*', 200,
         "application/octet-stream"),
        ('multipart/related; type="image/jpeg"; transfer-syntax=1.2.840.10008.1.2.4.50', 200,
         "image/jpeg"),
        ('multipart/related; type="image/jp2", multipart/related; type="image/jpeg";q=0.5',
         200, "image/jpeg"),
        ('multipart/related; type="image/jp2"', 406, None),
        ('multipart/related; type="application/octet-stream"; '
         'transfer-syntax=1.2.840.10008.1.2.1', 406, None),
    ]:
        r = client.get(frames, headers={} if accept is None else {"accept": accept})
        assert r.status_code == status, (accept, r.text)
        if part:
            assert f'type="{part}"' in r.headers["content-type"]
            assert slide_of(entry).read_tile(0, 0, 0) in r.content
        else:
            assert "stored as image/jpeg" in r.json()["error"]


def test_a_dicom_series_passes_through(tmp_path):
    from fixtures.dicom import write_series

    folder = write_series(tmp_path / "series", levels=3).folder
    app = create_app([str(folder)])
    with kolva.open(str(folder)) as local:
        p = local.properties
        with running(app) as base, httpx.Client(base_url=base) as client:
            (study,) = client.get("/dicomweb/studies").json()
            assert study["0020000D"]["Value"] == [p["dicom.StudyInstanceUID"]]
            url = (f"{base}/dicomweb/studies/{p['dicom.StudyInstanceUID']}/series/"
                   f"{p['dicom.SeriesInstanceUID']}")
            sops = [i["00080018"]["Value"][0] for i in client.get(f"{url}/instances").json()]
            assert p["dicom.SOPInstanceUID"] in sops
            with kolva.open(url) as remote:
                for n, lv in enumerate(local.levels):
                    gx, gy = lv.tile_grid
                    coords = [(x, y) for y in range(gy) for x in range(gx)]
                    assert [t.rstrip(b"\0") for t in remote.read_tiles(n, coords)] == [
                        t.rstrip(b"\0") for t in local.read_tiles(n, coords)], n
    app.close()


# --------------------------------------------------------------------------- IIIF
def test_stored_tiles_pass_through_with_the_tile_path_etag(served):
    app, base, client, studies = served
    for name in ("aperio-rgb.svs", "generic.tiff", "example.svs"):
        entry = studies[name][0]
        info = client.get(f"/iiif/{entry.id}/info.json").json()
        assert info["id"] == f"{base}/iiif/{entry.id}" and info["profile"] == "level2"
        assert (info["width"], info["height"]) == entry.dimensions
        slide = slide_of(entry)
        assert info["tiles"], name
        for tiles in info["tiles"]:
            tw, th = tiles["width"], tiles["height"]
            for s in tiles["scaleFactors"]:
                level = next(n for n, lv in enumerate(slide.levels)
                             if round(slide.dimensions[0] / lv.dimensions[0]) == s)
                r = client.get(f"/iiif/{entry.id}/0,0,{tw * s},{th * s}/{tw},/0/default.jpg")
                tile = client.get(f"/slides/{entry.id}/tiles/{level}/0/0")
                assert r.status_code == 200, r.text
                if (tw, th) <= slide.levels[level].dimensions:
                    assert r.content == tile.content, (name, s)
                    assert r.headers["etag"] == tile.headers["etag"]
                    assert r.headers["access-control-allow-origin"] == "*"
        # Not a stored tile: rendered, and decodes to the region reader's pixels.
        r = client.get(f"/iiif/{entry.id}/10,20,300,200/max/0/default.png")
        assert r.headers["content-type"] == "image/png"
        from PIL import Image

        got = np.asarray(Image.open(io.BytesIO(r.content)).convert("RGB"))
        assert (got == slide.read_region((10, 20), 0, (300, 200))[..., :3]).all()
        etag = r.headers["etag"]
        again = client.get(f"/iiif/{entry.id}/10,20,300,200/max/0/default.png",
                           headers={"if-none-match": etag})
        assert again.status_code == 304


# Tests of features above level 2 that info.json claims (extraFormats, extraFeatures);
# the validator's webp test does not run on Python 3.
EXTRA_FEATURE_TESTS = {"rot_mirror", "rot_mirror_180", "rot_full_non90", "rot_region_non90",
                       "format_gif", "format_tif", "linkheader_profile",
                       "linkheader_canonical"}


def test_iiif_validator_passes_level_2(tmp_path):
    pytest.importorskip("iiif_validator")
    tifffile = pytest.importorskip("tifffile")
    path = tmp_path / "validator.tiff"
    image = _validator_image()
    with tifffile.TiffWriter(path) as tif:
        tif.write(image, tile=(256, 256), compression="zlib", photometric="rgb")
        tif.write(image[::2, ::2], tile=(256, 256), compression="zlib", photometric="rgb",
                  subfiletype=1)
    from iiif_validator.validator import ImageAPI, TestSuite, ValidationInfo

    app = create_app([str(path)])
    (entry,) = app.slides.values()
    failed = {}
    with running(app) as base:
        tests = TestSuite(ValidationInfo()).list_tests("3.0")
        assert len(tests) > 20
        for name, test in tests.items():
            if test["level"] > 2 and name not in EXTRA_FEATURE_TESTS:
                continue
            result = ImageAPI(entry.id, base.removeprefix("http://"), "iiif", "http", "",
                              "3.0", debug=False)
            try:
                TestSuite(ValidationInfo()).run_test(name, result)
            except Exception as exc:  # noqa: BLE001 - collected and reported
                failed[name] = repr(exc)
            if result.exception:
                failed[name] = str(result.exception)
    app.close()
    assert not failed, failed


# --------------------------------------------------------------------------- bad requests
BAD = [
    # IIIF: region, size, rotation, quality and format syntax; limits
    ("/iiif/{id}/-1,0,10,10/max/0/default.jpg", 400, "whole number"),
    ("/iiif/{id}/0,0,0,10/max/0/default.jpg", 400, "no area"),
    ("/iiif/{id}/0,0,10/max/0/default.jpg", 400, "give full"),
    ("/iiif/{id}/pct:a,b,c,d/max/0/default.jpg", 400, "decimal"),
    ("/iiif/{id}/pct:1e3,0,5,5/max/0/default.jpg", 400, "decimal"),
    ("/iiif/{id}/99999999,0,10,10/max/0/default.jpg", 400, "outside"),
    ("/iiif/{id}/%EF%BC%91,0,10,10/max/0/default.jpg", 400, "whole number"),
    ("/iiif/{id}/0,0,%EF%BC%92%EF%BC%94%EF%BC%90,240/240,/0/default.jpg", 400, "whole number"),
    ("/iiif/{id}/0,0,2_40,240/240,/0/default.jpg", 400, "whole number"),
    ("/iiif/{id}/0,0,10,10/20,/0/default.jpg", 400, "larger than the region"),
    ("/iiif/{id}/full/^9000,/0/default.jpg", 400, "larger than this server"),
    ("/iiif/{id}/full/^4096,4097/0/default.jpg", 400, "larger than this server"),
    ("/iiif/{id}/full/,/0/default.jpg", 400, "give max"),
    ("/iiif/{id}/full/!,5/0/default.jpg", 400, "give max"),
    ("/iiif/{id}/full/0,/0/default.jpg", 400, "no pixels"),
    ("/iiif/{id}/full/max/361/default.jpg", 400, "0 to 360"),
    ("/iiif/{id}/full/max/-90/default.jpg", 400, "decimal"),
    ("/iiif/{id}/full/max/0/fancy.jpg", 400, "quality"),
    ("/iiif/{id}/full/max/0/default.exe", 400, "format"),
    ("/iiif/{id}/full/max/0/default", 400, "quality.format"),
    ("/iiif/nope/full/max/0/default.jpg", 404, "no image"),
    # QIDO: attributes, paging, fields
    ("/dicomweb/studies?NoSuchThing=1", 400, "no DICOM attribute"),
    ("/dicomweb/studies?00000000x=1", 400, "no DICOM attribute"),
    ("/dicomweb/studies?limit=-1", 400, "whole number"),
    ("/dicomweb/studies?offset=1e5", 400, "whole number"),
    ("/dicomweb/studies?includefield=Bogus", 400, "no DICOM attribute"),
    ("/dicomweb/studies?ReferencedSeriesSequence.SeriesInstanceUID=1", 400, "sequences"),
    ("/dicomweb/studies?fuzzymatching=maybe", 400, "true or false"),
    ("/dicomweb/studies?" + "a" * 9000, 400, "longer"),
    ("/dicomweb/studies?" + "&".join(["a=1"] * 300), 400, "256 parameters"),
    ("/dicomweb/studies/1.2.3/series", 404, "no study"),
    # WADO: UIDs, frame numbers, rendered viewports, bulk data
    ("/dicomweb/studies/1.2.3/series/4.5/metadata", 404, "no study"),
    ("{series}/metadata", 200, ""),
    ("/dicomweb/studies/{study}/series/9.9/metadata", 404, "no series"),
    ("{series}/instances/9.9/metadata", 404, "no instance"),
    ("{series}/instances/9.9/frames/1", 404, "no instance"),
    ("{instance}/frames/0", 404, "does not exist"),
    ("{instance}/frames/100000", 404, "does not exist"),
    ("{instance}/frames/1,,2", 400, "positive whole number"),
    ("{instance}/frames/x", 400, "positive whole number"),
    ("{instance}/frames/99999999999999999999", 400, "positive whole number"),
    ("{instance}/frames/" + ",".join(["1"] * 5000), 400, "at most"),
    ("{instance}/frames/1/rendered?viewport=a,b", 400, "viewport"),
    ("{instance}/frames/1,2/rendered", 400, "one frame"),
    ("{instance}/bulkdata/99", 404, "no bulk data"),
    ("{instance}/bulkdata/-1", 404, "no bulk data"),
]


@pytest.mark.parametrize("path,status,why", BAD)
def test_bad_requests_say_why(served, path, status, why):
    app, base, client, studies = served
    entry, url, study, series = studies["aperio-rgb.svs"]
    sop = _instances(client, study, series)[0]["00080018"]["Value"][0]
    series_path = f"/dicomweb/studies/{study}/series/{series}"
    path = path.format(id=entry.id, study=study, series=series_path,
                       instance=f"{series_path}/instances/{sop}")
    r = client.get(path)
    assert r.status_code == status, (path, r.text[:300])
    if status >= 400:
        assert why in r.json()["error"], r.text[:300]


def test_start_page_lists_the_standard_addresses(served):
    app, base, client, studies = served
    page = client.get("/").text
    for entry, *_ in studies.values():
        assert f"/iiif/{entry.id}/info.json" in page
        assert f"/dicomweb/studies/" in page or f"/dicomweb/slides/{entry.id}" in page


def test_request_parsers_refuse_hostile_input_with_a_reason():
    """Random IIIF paths and QIDO query strings: parsed, or refused with the parser's
    own error (a 400 that says why), never anything else."""
    import random

    from kolva.serve import _dicomweb, _iiif

    rng = random.Random(31)
    pieces = ["0", "9", "99999999999", ",", ".", ":", "!", "^", "-", "+", " ", "%", "\x00",
              "é", "١", "full", "max", "pct:", "square", "e5", "nan", "inf", "/", "=", "&",
              "*", "?", "\\", "limit", "offset", "includefield", "all", "PatientName",
              "00100010", "ä" * 300]
    word = lambda: "".join(rng.choice(pieces) for _ in range(rng.randrange(0, 8)))  # noqa: E731
    for _ in range(4000):
        try:
            r = _iiif.parse(word(), word(), word(), word() + "." + rng.choice(["jpg", word()]),
                            rng.randrange(1, 10**6), rng.randrange(1, 10**6))
            assert r.size[0] * r.size[1] <= _iiif.MAX_AREA
        except _iiif.BadRequest as exc:
            assert str(exc)
        try:
            _dicomweb.parse_query(word())
        except _dicomweb.QueryError as exc:
            assert str(exc)
