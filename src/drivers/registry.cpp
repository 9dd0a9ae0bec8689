#include "drivers/registry.hpp"

#include <algorithm>
#include <cstdio>

#include "drivers/aperio/aperio.hpp"
#include "drivers/argos/argos.hpp"
#include "drivers/dicom/dicom.hpp"
#include "drivers/common/run.hpp"
#include "drivers/common/tiff_levels.hpp"
#include "drivers/zeiss_czi/czi.hpp"
#include "drivers/generic_tiff/generic_tiff.hpp"
#include "drivers/hamamatsu/hamamatsu.hpp"
#include "drivers/hamamatsu/vms.hpp"
#include "drivers/huron/huron.hpp"
#include "drivers/leica/leica.hpp"
#include "drivers/mirax/mirax.hpp"
#include "drivers/olympus/olympus.hpp"
#include "drivers/ome_tiff/ome_tiff.hpp"
#include "drivers/qptiff/qptiff.hpp"
#include "drivers/philips/philips.hpp"
#include "drivers/sakura/sakura.hpp"
#include "drivers/trestle/trestle.hpp"
#include "drivers/ventana/ventana.hpp"
#include "slide/describe.hpp"
#include "tiff_tools/sub_ifds.hpp"
#include "tiff_tools/tiff_tools.hpp"

namespace kolva::drivers {
namespace {

// The order drivers are asked in. Olympus first: a .vsi is a TIFF that only it
// reads. Hamamatsu last among the TIFF families: it takes the TIFFs the others
// declined, as the NDPI level scan may still find levels in them.
const OlympusDriver kOlympus;
const AperioDriver kAperio;
const PhilipsDriver kPhilips;
// Ventana, Trestle, Huron, OME-TIFF, QPTIFF, Leica SCN and ARGOS before generic
// TIFF, which would take their levels as a plain pyramid.
const VentanaDriver kVentana;
const TrestleDriver kTrestle;
const HuronDriver kHuron;
const OmeTiffDriver kOmeTiff;
const QptiffDriver kQptiff;
const LeicaDriver kLeica;
const ArgosDriver kArgos;
const GenericTiffDriver kGenericTiff;
const HamamatsuDriver kHamamatsu;
const DicomDriver kDicom;
const VmsDriver kVms;
const SakuraDriver kSakura;
const MiraxDriver kMirax;
// CZI files are no TIFF: their ZISRAWFILE header decides.
const CziDriver kCzi;
// DICOM first: an instance may also be a valid TIFF (its header in the preamble).
const Driver* const kDrivers[] = {&kDicom,   &kOlympus,     &kAperio,    &kPhilips, &kVentana,
                                  &kTrestle, &kHuron,       &kOmeTiff,   &kQptiff,  &kLeica,
                                  &kArgos,   &kGenericTiff, &kHamamatsu, &kVms,     &kSakura,
                                  &kMirax,   &kCzi};

constexpr std::size_t kHeadBytes = 512;
constexpr std::size_t kHeaderBytes = 8;  // a TIFF header

// What a file that no driver took starts with, in words.
std::string describe_head(ByteSpan head) {
  if (head.empty()) return "the file is empty";
  const bool tiff = head.size() >= 4 &&
                    ((head[0] == 'I' && head[1] == 'I' && head[3] == 0 &&
                      (head[2] == 42 || head[2] == 43)) ||
                     (head[0] == 'M' && head[1] == 'M' && head[2] == 0 &&
                      (head[3] == 42 || head[3] == 43)));
  // A TIFF header whose directories could not be read: say so rather than
  // listing bytes a user would have to look up.
  if (tiff) return "a TIFF file whose directories cannot be read (cut short or damaged)";
  std::string text = "it starts with bytes";
  for (std::size_t i = 0; i < std::min<std::size_t>(4, head.size()); ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, " %02X", head[i]);
    text += hex;
  }
  return text;
}

// The TIFF directories of the source, when it has them (classic or BigTIFF,
// else as a driver's own directory reader finds them). One walk: the reader
// that takes SubIFD offsets in the IFD entry types (OME-TIFF pyramids) reads
// every other file as the plain reader does.
SlideResult<std::optional<TiffDirectories>> read_directories(std_io::RangeSource& source,
                                                             ByteSpan head) {
  auto tiff = run_consumer<tiff_tools::SubIfdTiffDecoder>(source, {kTablesInFile});
  if (!tiff.ok()) return std::move(tiff).error();
  const ByteOrder order =
      head.size() >= 2 && head[0] == 'M' && head[1] == 'M' ? ByteOrder::Big : ByteOrder::Little;
  if (tiff->ok()) {
    return std::optional<TiffDirectories>(TiffDirectories{std::move(*tiff).value(), order, true});
  }
  for (const Driver* driver : kDrivers) {
    auto own = driver->own_directories(source);
    if (!own.ok()) return std::move(own).error();
    if (*own) {
      return std::optional<TiffDirectories>(
          TiffDirectories{std::move(**own), ByteOrder::Little, false});
    }
  }
  return std::optional<TiffDirectories>();
}

}  // namespace

std::string Probe::extension() const {
  const std::size_t dot = file_name.find_last_of('.');
  if (dot == std::string::npos) return "";
  std::string ext = file_name.substr(dot);
  std::transform(ext.begin(), ext.end(), ext.begin(), [](char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  });
  return ext;
}

std::optional<dynamic_decoder::TiffFamily> Probe::specified_family() const {
  if (!tiff || !tiff->standard) return std::nullopt;
  if (!specified_family_) specified_family_ = dynamic_decoder::classify_tiff(tiff->ifds);
  return specified_family_;
}

std::span<const Driver* const> registry() { return kDrivers; }

const Family* find_family(std::string_view name) {
  for (const Driver* driver : kDrivers) {
    if (driver->family().name == name) return &driver->family();
  }
  return nullptr;
}

SlideResult<Opened> open(SourceSet& sources, const OpenOptions& options) {
  std_io::RangeSource& first = sources.at(0);
  // The probe's head; a source that fails there (a damaged sector past the
  // header) still gets its header read, and the directories decide.
  Bytes head(kHeadBytes);
  {
    auto got = first.read_at(0, head);
    if (!got.ok()) {
      head.resize(kHeaderBytes);
      got = first.read_at(0, head);
    }
    if (!got.ok()) return slide::errors::cannot_read(first.name(), got.error());
    head.resize(static_cast<std::size_t>(*got));
  }
  Probe probe{head, sources.file_name(), nullptr};
  auto directories = read_directories(first, head);
  if (!directories.ok()) return std::move(directories).error();
  if (*directories) probe.tiff = std::make_shared<const TiffDirectories>(std::move(**directories));
  // The tables the directories left in the file, filled in for a driver that
  // does not read them itself (once; nothing else holds the directories yet).
  // All of them come out of one read budget, as when the directories were read whole.
  bool filled = false;
  std::atomic<std::uint64_t> budget{std_io::read_budget(first.known_size())};
  auto fill_tables = [&]() -> SlideResult<Unit> {
    if (filled || !probe.tiff) return Unit{};
    filled = true;
    for (const auto& ifd : probe.tiff->ifds) {
      if (ifd.in_file().empty()) continue;
      if (auto got = fill_in_file(sources, ifd, probe.tiff->order, &budget); !got.ok()) {
        return std::move(got).error();
      }
    }
    return Unit{};
  };

  std::optional<KolvaError> cause;
  for (const Driver* driver : kDrivers) {
    if (!driver->detect(probe)) continue;
    if (!driver->reads_tables_in_file()) {
      // A table past the end of the file: the directories cannot be read, as
      // when they were read whole.
      if (auto got = fill_tables(); !got.ok()) {
        if (got.error().kind == slide::ErrorKind::Io) return std::move(got).error();
        return slide::errors::unsupported(first.name(), describe_head(head), got.error().cause);
      }
    }
    auto opening = driver->open(sources, probe, options);
    if (!opening.ok()) return std::move(opening).error();
    if (auto* declined = std::get_if<Declined>(&*opening)) {
      if (declined->cause) cause = declined->cause;
      continue;
    }
    SlideParts parts = std::get<SlideParts>(std::move(*opening));
    if (parts.levels.empty()) {
      // A TIFF that a driver took without finding a level is no slide; a plain
      // TIFF says what it holds.
      (void)fill_tables();
      const auto* ifds = probe.tiff ? &probe.tiff->ifds : nullptr;
      const bool own = probe.tiff && !probe.tiff->standard;
      const std::string reason = !ifds || ifds->empty() || own
                                     ? "it has no pyramid level"
                                     : slide::describe_refusal(*ifds);
      return slide::errors::unsupported(first.name(), reason, KolvaError::LevelNotFound{0, 0});
    }
    return Opened{&driver->family(), std::move(parts)};
  }
  (void)fill_tables();
  const std::string reason =
      probe.tiff && probe.tiff->standard ? slide::describe_refusal(probe.tiff->ifds) : describe_head(head);
  return slide::errors::unsupported(first.name(), reason, cause);
}

}  // namespace kolva::drivers
