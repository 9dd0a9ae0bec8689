"""De-identification: what a slide opened with `deidentify=True` leaves out.

One place decides, and `Slide` applies it to its properties and associated images,
so everything built on a slide (serve, export, convert, kolva.torch) sees the same
filtered slide. Removed:

- the associated images that show the slide's label: every one but "thumbnail"
  (label, macro, overview);
- per format family, the properties that name a patient, a case, a barcode, a file,
  a user, a device serial number or a date (`IDENTIFYING` below); the free-text
  descriptions that carry them (Aperio's ImageDescription) are rewritten without
  those fields, others (Philips' XML, generic TIFF descriptions) dropped;
- DICOM attributes (`dicom.<Keyword>`, and Philips' `DICOM_<KEYWORD>` copies)
  that the Basic Application Level Confidentiality Profile of DICOM PS3.15 removes,
  empties or replaces (`PROFILE_KEYWORDS`);
- as a safety net, any property whose name speaks of such a thing (`_SUSPECT`).

The pixels of the tissue image are not inspected.
"""
from __future__ import annotations

import re
from collections.abc import Mapping

__all__ = ["KEPT_ASSOCIATED", "PROFILE_KEYWORDS", "IDENTIFYING", "filter_properties",
           "filter_associated", "DEIDENTIFICATION_METHOD"]

# Associated images a de-identified slide keeps: a thumbnail is the tissue, downsampled.
KEPT_ASSOCIATED = frozenset({"thumbnail"})

DEIDENTIFICATION_METHOD = "kolva: Basic Application Level Confidentiality Profile"

# Keywords of attributes the Basic Application Level Confidentiality Profile (PS3.15
# Table E.1-1) removes (X), empties (Z) or replaces (D, U) and that a slide's
# description can carry. UIDs are listed too: the profile replaces them.
PROFILE_KEYWORDS = frozenset("""
AccessionNumber AcquisitionComments AcquisitionContextSequence AcquisitionDate
AcquisitionDateTime AcquisitionDeviceProcessingDescription AcquisitionProtocolDescription
AcquisitionTime ActualHumanPerformersSequence AdditionalPatientHistory AdmissionID
AdmittingDate AdmittingDiagnosesCodeSequence AdmittingDiagnosesDescription AdmittingTime
Allergies Arbitrary Authorization BarcodeValue BranchOfService CommentsOnThePerformedProcedureStep
ConcatenationUID ConfidentialityConstraintOnPatientDataDescription ContainerIdentifier
ContainerDescription ContentCreatorName ContentDate ContentTime ContributionDescription
CountryOfResidence CurrentPatientLocation CurveDate CurveTime DerivationDescription
DeviceSerialNumber DeviceUID DigitalSignatureUID DimensionOrganizationUID
DischargeDiagnosisDescription EthnicGroup FillerOrderNumberImagingServiceRequest
FrameComments FrameOfReferenceUID GantryID GeneratorID ImageComments
ImagePresentationComments ImagingServiceRequestComments InstanceCreationDate
InstanceCreationTime InstanceCreatorUID InstitutionAddress InstitutionName
InstitutionalDepartmentName IssuerOfAdmissionID IssuerOfPatientID
IssuerOfTheContainerIdentifierSequence IssuerOfTheSpecimenIdentifierSequence LabelText
LastMenstrualDate MedicalAlerts MedicalRecordLocator MilitaryRank ModifiedAttributesSequence
NameOfPhysiciansReadingStudy OccupationOperatorsName OperatorIdentificationSequence
OperatorsName OrderCallbackPhoneNumber OrderEnteredBy OrderEntererLocation
OtherPatientIDs OtherPatientIDsSequence OtherPatientNames OriginalAttributesSequence
PatientAddress PatientAge PatientBirthDate PatientBirthName PatientBirthTime
PatientComments PatientID PatientInsurancePlanCodeSequence PatientMotherBirthName
PatientName PatientReligiousPreference PatientSex PatientSexNeutered PatientSize
PatientState PatientTelephoneNumbers PatientTransportArrangements PatientWeight
PerformedLocation PerformedProcedureStepDescription PerformedProcedureStepID
PerformedProcedureStepStartDate PerformedProcedureStepStartTime
PerformingPhysicianIdentificationSequence PerformingPhysicianName PersonAddress
PersonName PersonTelephoneNumbers PhysiciansOfRecord PhysiciansReadingStudyIdentificationSequence
PlacerOrderNumberImagingServiceRequest PregnancyStatus ProtocolName
ReasonForTheImagingServiceRequest ReferencedImageSequence ReferencedPatientSequence
ReferencedSOPInstanceUID ReferencedStudySequence ReferringPhysicianAddress
ReferringPhysicianIdentificationSequence ReferringPhysicianName
ReferringPhysicianTelephoneNumbers RequestAttributesSequence RequestedProcedureDescription
RequestedProcedureID RequestingPhysician RequestingService ResponsibleOrganization
ResponsiblePerson ScheduledProcedureStepDescription ScheduledProcedureStepID
SeriesDate SeriesDescription SeriesInstanceUID SeriesTime SOPInstanceUID
SpecialNeeds SpecimenAccessionNumber SpecimenDescriptionSequence SpecimenIdentifier
SpecimenUID StationName StudyComments StudyDate StudyDescription StudyID
StudyInstanceUID StudyTime TextComments TextString TimezoneOffsetFromUTC UID
""".split())

# Per family of formats: the properties that identify a patient, a case, a barcode,
# a file or a user (names as kolva reports them).
IDENTIFYING: Mapping[str, frozenset[str]] = {
    "aperio": frozenset({"Filename", "Barcode", "Title", "User", "Date", "Time", "Time Zone",
                         "ScanScope ID", "ImageID", "Rack", "Slide", "DSR ID", "SessonMode",
                         "Patient", "PatientName", "PatientID", "Accession", "Case"}),
    "philips": frozenset({"PIM_DP_UFS_BARCODE", "DICOM_DERIVATION_DESCRIPTION",
                          "DICOM_DEVICE_SERIAL_NUMBER", "DICOM_DATE_OF_LAST_CALIBRATION",
                          "DICOM_TIME_OF_LAST_CALIBRATION", "DICOM_ACQUISITION_DATETIME",
                          "PIM_DP_SCANNER_OPERATOR_ID", "PIM_DP_UFS_SLIDE_NAME",
                          "PIM_DP_SOURCE_FILE"}),
    "hamamatsu": frozenset({"Reference", "Created", "Updated", "NDP.S/N", "SerialNumber"}),
    "tiff": frozenset({"DateTime", "DocumentName", "PageName", "Artist", "HostComputer",
                       "Copyright", "ImageDescription"}),
    "kolva": frozenset({"comment"}),
}

# A property whose name says it holds one of these goes whatever its family.
_SUSPECT = re.compile(r"barcode|file ?name|patient|accession|serial|s/n|user|operator|"
                      r"physician|institution|specimen|container|label|date|reference|"
                      r"case ?id|slide ?id|study|(?<!class)(?<!syntax)uid", re.IGNORECASE)


def _snake(keyword: str) -> str:
    return re.sub(r"(?<=[a-z0-9])(?=[A-Z])", "_", keyword).upper()


_PHILIPS_PROFILE = frozenset("DICOM_" + _snake(k) for k in PROFILE_KEYWORDS)


def _clean_aperio_description(text: str) -> str:
    """An Aperio ImageDescription (`head|key = value|...`) without identifying fields."""
    head, *fields = text.split("|")
    kept = [f for f in fields
            if f.partition("=")[0].strip() not in IDENTIFYING["aperio"]
            and not _SUSPECT.search(f.partition("=")[0])]
    return "|".join([head, *kept])


def _identifying(key: str) -> bool:
    family, _, name = key.partition(".")
    if family == "kolva" and name.startswith(("level", "mpp", "objective", "vendor",
                                              "icc-size", "level-count")):
        return False
    if family == "dicom":
        base = name.split("[", 1)[0]
        return base in PROFILE_KEYWORDS or bool(_SUSPECT.search(base))
    if family == "philips":
        last = name.rsplit(".", 1)[-1]
        if last in IDENTIFYING["philips"] or last in _PHILIPS_PROFILE:
            return True
    elif name in IDENTIFYING.get(family, ()):
        return True
    return bool(_SUSPECT.search(name))


def filter_properties(properties: Mapping[str, str]) -> dict[str, str]:
    """`properties` without the identifying ones; Aperio descriptions rewritten
    without their identifying fields."""
    aperio = properties.get("kolva.vendor") == "aperio"
    kept: dict[str, str] = {}
    for key, value in properties.items():
        if aperio and key in ("tiff.ImageDescription", "kolva.comment"):
            kept[key] = _clean_aperio_description(value)
        elif not _identifying(key):
            kept[key] = value
    return kept


def filter_associated(names: Mapping[str, object]) -> list[str]:
    """The associated images of `names` a de-identified slide keeps."""
    return [n for n in names if n in KEPT_ASSOCIATED]
