// The FDSN StationXML 1.1 description of one station, built from the
// instrument's settings file and the channel names the archive has learned:
// one network, one station, and one channel element per recorded channel with
// its sensitivity chain (stage 1 gain, stage 2 counts per volt, stage 3 volts
// per unit). Other software reads it from the response folder, from the
// Lumetra response folder and from the waveform zip files, so the document's
// layout is fixed text (the templates in StationXml.cpp).
//
// Every text value comes from the instrument (station, serial numbers,
// sensor names, units, firmware). Such values are escaped for XML ("&", "<",
// ">", '"', "'" become entities; bytes outside printable ASCII become "?"),
// so a hostile or odd value cannot make the document malformed; ordinary
// values appear exactly as stored.
//
// StationXml keeps no state: every operation uses only its arguments, so the
// session thread and the zip threads may call them at the same time, each
// with its own SsFile.
#ifndef VH_METADATA_STATIONXML_H_
#define VH_METADATA_STATIONXML_H_

#include <array>
#include <cstddef>
#include <string>

class SsFile;

// The archive's channel name table: slot 0 east, 1 north, 2 vertical, 3
// fourth channel, 4 and 5 spare, 6 sum. An empty slot has an empty name;
// names longer than CHANNEL_NAME_MAX characters are cut.
constexpr int CHANNEL_SLOTS = 7;
constexpr int CHANNEL_FOURTH_SLOT = 3;
constexpr int CHANNEL_SUM_SLOT = 6;
constexpr size_t CHANNEL_NAME_MAX = 3;
using ChannelNames = std::array<std::string, CHANNEL_SLOTS>;

class StationXml {
 public:
  static const char* const XML;      // document header and network start
  static const char* const STATION;  // station element up to its channels
  static const char* const CHANNEL;  // one channel element
  static const char* const GROUP_A;  // "ENZ": orientation letters of sensor A
  static const char* const GROUP_B;  // "O": orientation letter of sensor B

  StationXml() = delete;

  // The whole document for the settings and channel names.
  static std::string fill(const SsFile& ss, const ChannelNames& names);
  // fill, then the file at path is replaced by the document (mode 0666; it
  // is written beside the old one and renamed over it, so a reader never
  // meets half a document). Returns 1, or 0 with the console message "NULL
  // StationXML file" for an empty path or "Cannot write StationXML file %s"
  // when it cannot be written.
  static int write(const std::string& path, const SsFile& ss, const ChannelNames& names);
  // Number of non-empty slots.
  static int numChannels(const ChannelNames& names);
  // Reads the settings file at settingsPath into a fresh SsFile and writes
  // its StationXML at xmlPath. Returns the write result.
  static int copyConvert(const std::string& settingsPath, const std::string& xmlPath,
                         const ChannelNames& names);
};

// SsFile::writeStationXml: the StationXML of the session's settings after a
// settings change. Nothing without a "sitename". The primary file is
// ss.getResponsePath() (folders created). When copyFolder exists, the copy
// "<copyFolder>/<station>.xml" is written too, unless overwrite is off and
// the primary file exists after its own write. Returns the result of the
// primary write (0 when nothing was written).
int writeStationXml(const SsFile& ss, const ChannelNames& names, bool overwrite,
                    const std::string& copyFolder);
// The same with the Lumetra response folder (SsFile::LUMETRA_RESPONSE).
int writeStationXml(const SsFile& ss, const ChannelNames& names, bool overwrite);

#endif  // VH_METADATA_STATIONXML_H_
