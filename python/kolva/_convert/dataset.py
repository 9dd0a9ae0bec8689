"""The DICOM header of each instance a slide becomes: VL Whole Slide Microscopy Image
(1.2.840.10008.5.1.4.1.1.77.1.6), one per pyramid level (VOLUME) and one per
associated image (LABEL, OVERVIEW, THUMBNAIL), all in one study, series and frame of
reference.

Every UID derives from the slide's fingerprint and the instance's role, so the same
slide always gives the same files. Type 1 attributes the source cannot fill get the
standard's neutral values (an optical path of full-spectrum brightfield light, a
focus method of AUTO); type 2 attributes stay empty when the source says nothing.
"""
from __future__ import annotations

import hashlib
from dataclasses import dataclass, field
from typing import Any

from .frames import FrameFormat

WSI_SOP_CLASS = "1.2.840.10008.5.1.4.1.1.77.1.6"
IMPLEMENTATION_UID = "2.25.148427513298620916404451389786713524466"
IMPLEMENTATION_VERSION = "KOLVA_CONVERT_1"
# No slide format states the section's thickness; DICOM requires one (µm).
VOLUME_DEPTH_UM = 1.0


def uid(fingerprint: str, *parts: object) -> str:
    """A UID under 2.25 from 128 bits of a digest of the slide and `parts`."""
    h = hashlib.sha256("\0".join([fingerprint, *map(str, parts)]).encode())
    return f"2.25.{int.from_bytes(h.digest()[:16], 'big')}"


def ds_text(value: float) -> str:
    """A decimal string of at most 16 characters."""
    for digits in range(12, 0, -1):
        text = f"{value:.{digits}g}"
        if len(text) <= 16:
            return text
    return "0"


def _code(value: str, scheme: str, meaning: str) -> Any:
    from pydicom.dataset import Dataset

    item = Dataset()
    item.CodeValue = value
    item.CodingSchemeDesignator = scheme
    item.CodeMeaning = meaning
    return item


def _item(**kwargs: Any) -> Any:
    from pydicom.dataset import Dataset

    item = Dataset()
    for k, v in kwargs.items():
        setattr(item, k, v)
    return item


@dataclass
class SlideFacts:
    """What the source says about the slide, as the headers need it."""

    fingerprint: str
    name: str                       # container / specimen identifier
    mpp: tuple[float, float] | None = None
    objective: float | None = None
    manufacturer: str = ""
    model: str = ""
    serial: str = ""
    software: str = ""
    date: str = "19700101"          # content and acquisition date/time (DA, TM)
    time: str = "000000"
    barcode: str = ""
    label_text: str = ""
    icc: bytes | None = None
    dimensions: tuple[int, int] = (0, 0)   # level 0
    attributes: dict[str, Any] = field(default_factory=dict)  # --set / JSON
    deidentified: bool = False      # written under the Basic Confidentiality Profile


@dataclass
class Instance:
    """One output file: a level or an associated image."""

    role: str                  # "VOLUME", "LABEL", "OVERVIEW", "THUMBNAIL"
    filename: str
    number: int                # Instance Number
    width: int                 # total pixel matrix
    height: int
    tile_width: int
    tile_height: int
    fmt: FrameFormat
    level: int | None = None   # pyramid level, or None for an associated image
    associated: str = ""       # its kolva name
    spacing: tuple[float, float] | None = None  # mm per pixel (column x, row y)
    resampled: bool = False
    stored_bytes: int = 0      # the frames' bytes as stored (compression ratio)

    @property
    def across(self) -> int:
        return -(-self.width // self.tile_width)

    @property
    def down(self) -> int:
        return -(-self.height // self.tile_height)

    @property
    def frames(self) -> int:
        return self.across * self.down


def build(facts: SlideFacts, inst: Instance) -> Any:
    from pydicom.dataset import Dataset, FileMetaDataset
    from pydicom.uid import UID

    fp = facts.fingerprint
    fmt = inst.fmt
    study = uid(fp, "study")
    series = uid(fp, "series")
    sop = uid(fp, "instance", inst.role, inst.level, inst.associated)

    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = UID(WSI_SOP_CLASS)
    meta.MediaStorageSOPInstanceUID = UID(sop)
    meta.TransferSyntaxUID = UID(fmt.transfer_syntax)
    meta.ImplementationClassUID = UID(IMPLEMENTATION_UID)
    meta.ImplementationVersionName = IMPLEMENTATION_VERSION

    ds = Dataset()
    ds.file_meta = meta
    ds.SpecificCharacterSet = "ISO_IR 192"
    if inst.role == "VOLUME":
        ds.ImageType = (["DERIVED", "PRIMARY", "VOLUME", "RESAMPLED"] if inst.resampled
                        else ["ORIGINAL", "PRIMARY", "VOLUME", "NONE"])
    elif inst.role == "THUMBNAIL":
        ds.ImageType = ["DERIVED", "PRIMARY", "THUMBNAIL", "RESAMPLED"]
    else:
        ds.ImageType = ["ORIGINAL", "PRIMARY", inst.role, "NONE"]
    ds.SOPClassUID = WSI_SOP_CLASS
    ds.SOPInstanceUID = sop
    ds.StudyDate = facts.date
    ds.SeriesDate = facts.date
    ds.ContentDate = facts.date
    ds.StudyTime = facts.time
    ds.SeriesTime = facts.time
    ds.ContentTime = facts.time
    ds.AcquisitionDateTime = facts.date + facts.time
    ds.AccessionNumber = ""
    ds.Modality = "SM"
    ds.Manufacturer = facts.manufacturer or "unknown"
    ds.ReferringPhysicianName = ""
    ds.ManufacturerModelName = facts.model or "unknown"
    ds.VolumetricProperties = "VOLUME"
    ds.PatientName = ""
    ds.PatientID = ""
    ds.PatientBirthDate = ""
    ds.PatientSex = ""
    ds.DeviceSerialNumber = facts.serial or "unknown"
    from .._version import __version__

    ds.SoftwareVersions = [v for v in (facts.software, f"kolva {__version__}") if v]
    ds.StudyInstanceUID = study
    ds.SeriesInstanceUID = series
    ds.StudyID = ""
    ds.SeriesNumber = 1
    ds.InstanceNumber = inst.number
    ds.FrameOfReferenceUID = uid(fp, "frame of reference")
    ds.PositionReferenceIndicator = "SLIDE_CORNER"
    ds.DimensionOrganizationType = "TILED_FULL"
    dim_uid = uid(fp, "dimensions")
    ds.DimensionOrganizationSequence = [_item(DimensionOrganizationUID=dim_uid)]
    ds.DimensionIndexSequence = [
        _item(DimensionOrganizationUID=dim_uid, DimensionIndexPointer=0x0048021E,
              FunctionalGroupPointer=0x0048021A,
              DimensionDescriptionLabel="Column Position In Total Image Pixel Matrix"),
        _item(DimensionOrganizationUID=dim_uid, DimensionIndexPointer=0x0048021F,
              FunctionalGroupPointer=0x0048021A,
              DimensionDescriptionLabel="Row Position In Total Image Pixel Matrix")]

    ds.SamplesPerPixel = fmt.samples
    ds.PhotometricInterpretation = fmt.photometric
    if fmt.samples > 1:
        ds.PlanarConfiguration = 0
    ds.NumberOfFrames = inst.frames
    ds.Rows = inst.tile_height
    ds.Columns = inst.tile_width
    ds.BitsAllocated = 8 if fmt.bits <= 8 else 16
    ds.BitsStored = fmt.bits
    ds.HighBit = fmt.bits - 1
    ds.PixelRepresentation = 0
    if fmt.samples == 1:
        ds.PresentationLUTShape = "IDENTITY"
        ds.RescaleIntercept = "0"
        ds.RescaleSlope = "1"
    ds.BurnedInAnnotation = "YES" if inst.role in ("LABEL", "OVERVIEW") else "NO"
    ds.SpecimenLabelInImage = "YES" if inst.role in ("LABEL", "OVERVIEW") else "NO"
    ds.FocusMethod = "AUTO"
    ds.ExtendedDepthOfField = "NO"
    ds.LossyImageCompression = "01" if fmt.lossy else "00"
    if fmt.lossy:
        ds.LossyImageCompressionMethod = fmt.method
        if inst.stored_bytes:
            raw = inst.frames * inst.tile_width * inst.tile_height * fmt.samples * (
                (fmt.bits + 7) // 8)
            ds.LossyImageCompressionRatio = ds_text(raw / inst.stored_bytes)
    ds.TotalPixelMatrixColumns = inst.width
    ds.TotalPixelMatrixRows = inst.height
    ds.TotalPixelMatrixFocalPlanes = 1
    ds.TotalPixelMatrixOriginSequence = [_item(XOffsetInSlideCoordinateSystem="0",
                                               YOffsetInSlideCoordinateSystem="0")]
    ds.ImageOrientationSlide = ["0", "-1", "0", "-1", "0", "0"]
    if inst.spacing is not None:
        ds.ImagedVolumeWidth = inst.width * inst.spacing[0]
        ds.ImagedVolumeHeight = inst.height * inst.spacing[1]
        ds.ImagedVolumeDepth = VOLUME_DEPTH_UM
    ds.NumberOfOpticalPaths = 1
    ds.AcquisitionContextSequence = []
    if inst.role == "LABEL":
        ds.BarcodeValue = facts.barcode
        ds.LabelText = facts.label_text

    # Specimen: the container is the slide, named after the source file.
    ds.ContainerIdentifier = facts.name
    ds.IssuerOfTheContainerIdentifierSequence = []
    ds.ContainerTypeCodeSequence = [_code("433466003", "SCT", "Microscope slide")]
    ds.SpecimenDescriptionSequence = [_item(
        SpecimenIdentifier=facts.name, SpecimenUID=uid(fp, "specimen"),
        IssuerOfTheSpecimenIdentifierSequence=[], SpecimenPreparationSequence=[])]

    path = _item(OpticalPathIdentifier="1",
                 IlluminationTypeCodeSequence=[_code("111744", "DCM", "Brightfield illumination")],
                 IlluminationColorCodeSequence=[_code("414298005", "SCT", "Full Spectrum")])
    if fmt.samples == 3:
        path.ICCProfile = facts.icc or srgb_profile()
    if facts.objective:
        path.ObjectiveLensPower = ds_text(facts.objective)
    ds.OpticalPathSequence = [path]

    shared = Dataset()
    measures = _item(SliceThickness=ds_text(VOLUME_DEPTH_UM / 1000.0))
    if inst.spacing is not None:
        measures.PixelSpacing = [ds_text(inst.spacing[1]), ds_text(inst.spacing[0])]
    shared.PixelMeasuresSequence = [measures]
    shared.WholeSlideMicroscopyImageFrameTypeSequence = [_item(FrameType=list(ds.ImageType))]
    shared.OpticalPathIdentificationSequence = [_item(OpticalPathIdentifier="1")]
    ds.SharedFunctionalGroupsSequence = [shared]

    if facts.deidentified:
        from .._deidentify import DEIDENTIFICATION_METHOD

        ds.PatientIdentityRemoved = "YES"
        ds.DeidentificationMethod = DEIDENTIFICATION_METHOD
        ds.DeidentificationMethodCodeSequence = [
            _code("113100", "DCM", "Basic Application Confidentiality Profile")]
    for keyword, value in facts.attributes.items():
        setattr(ds, keyword, value)
    return ds


_SRGB: bytes | None = None


def srgb_profile() -> bytes:
    """An sRGB ICC profile made by LittleCMS, with its creation time cleared so that
    the same bytes come out every time."""
    global _SRGB
    if _SRGB is None:
        from PIL import ImageCms

        data = bytearray(ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes())
        data[24:36] = bytes(12)   # creation date and time
        data[84:100] = bytes(16)  # profile ID (an MD5 that would cover the date)
        _SRGB = bytes(data)
    return _SRGB
