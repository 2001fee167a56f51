#include "metadata/StationXml.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/Version.h"
#include "metadata/SsFile.h"
#include "util/Console.h"
#include "util/FileUtil.h"
#include "util/SafeName.h"
#include "util/Text.h"
#include "util/TimeUtil.h"

const char* const StationXml::XML =
    "<?xml version=\"1.1\" encoding=\"UTF-8\" standalone=\"no\"?> \n"
    "<FDSNStationXML xmlns=\"http://www.fdsn.org/xml/station/1\" \n"
    "  xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" \n"
    "  schemaVersion=\"1.1\" \n"
    "  xsi:schemaLocation=\"http://www.fdsn.org/xml/station/1 "
    "http://www.fdsn.org/xml/station/fdsn-station-1.1.xsd\"> \n"
    "  <Source>%s</Source>\n"
    "  <Sender>%s</Sender>\n"
    "  <Module>%s</Module>\n"
    "  <ModuleURI></ModuleURI>\n"
    "  <Created>%s</Created>\n"
    "\n"
    "  <Network code=\"%s\">\n"
    "    <TotalNumberStations>%d</TotalNumberStations>\n"
    "\n";

const char* const StationXml::STATION =
    "    <Station code = \"%s\">\n"
    "      <Latitude>%.5f</Latitude>\n"
    "     <Longitude>%.5f</Longitude>\n"
    "     <Elevation>%.1f</Elevation>\n"
    "     <Site>\n"
    "       <Name></Name>\n"
    "     </Site>\n"
    "     <Equipment>\n"
    "       <Type>Seismograph</Type>\n"
    "       <Description>\n"
    "         firmware_version=%s\n"
    "         build_number=%s\n"
    "         stalta_enable=%d\n"
    "         sta=%.1f\n"
    "         lta=%.1f\n"
    "         stalta_threshold=%.1f\n"
    "         trig_filt_lo_freq=%.1f\n"
    "         trig_filt_hi_freq=%.1f\n"
    "         level_trigger_enable=%d\n"
    "         level_trigger_level=%.1f\n"
    "         v_supply=%.1f\n"
    "         temperature=%.1f\n"
    "         card_free_pc=%.1f\n"
    "         card_total=%s\n"
    "         sats=%d\n"
    "       </Description>\n"
    "       <Manufacturer>Kestaval</Manufacturer>\n"
    "       <Model>Dremo</Model>\n"
    "       <SerialNumber>%s</SerialNumber>\n"
    "     </Equipment>\n"
    "     <CreationDate>2000-01-01T00:00:00</CreationDate>\n"
    "     <TotalNumberChannels>%d</TotalNumberChannels>\n"
    "\n";

const char* const StationXml::CHANNEL =
    "     <Channel code = \"%s\" locationCode = \"%s\">\n"
    "       <Latitude>%.5f</Latitude>\n"
    "       <Longitude>%.5f</Longitude>\n"
    "       <Elevation>%.1f</Elevation>\n"
    "       <Depth>%.1f</Depth>\n"
    "       <Azimuth>%.1f</Azimuth>\n"
    "       <Dip>%.1f</Dip>\n"
    "       <SampleRate>%d</SampleRate>\n"
    "       <Sensor>\n"
    "         <Type>%s</Type>\n"
    "         <Description>%s</Description>\n"
    "         <SerialNumber>%s</SerialNumber>\n"
    "       </Sensor>\n"
    "       <Response>\n"
    "         <InstrumentSensitivity>\n"
    "           <Value>%.2f</Value>\n"
    "           <Frequency>1</Frequency>\n"
    "           <InputUnits>\n"
    "             <Name>%s</Name>\n"
    "             <Description></Description>\n"
    "           </InputUnits>\n"
    "           <OutputUnits>\n"
    "             <Name>COUNTS</Name>\n"
    "             <Description>Counts</Description>\n"
    "           </OutputUnits>\n"
    "         </InstrumentSensitivity>\n"
    "         <Stage resourceId=\"gain\" number=\"1\">\n"
    "           <StageGain>\n"
    "             <Value>%.6f</Value>\n"
    "             <Frequency>1</Frequency>\n"
    "           </StageGain>\n"
    "         </Stage>\n"
    "         <Stage resourceId=\"cpv\" number=\"2\">\n"
    "           <StageGain>\n"
    "             <Value>%.6f</Value>\n"
    "             <Frequency>1</Frequency>\n"
    "           </StageGain>\n"
    "         </Stage>\n"
    "         <Stage resourceId=\"vpu\" number=\"3\">\n"
    "           <StageGain>\n"
    "             <Value>%.6f</Value>\n"
    "             <Frequency>1</Frequency>\n"
    "           </StageGain>\n"
    "         </Stage>\n"
    "       </Response>\n"
    "     </Channel>\n"
    "\n";

const char* const StationXml::GROUP_A = "ENZ";
const char* const StationXml::GROUP_B = "O";

namespace {

constexpr char SOURCE[] = "Vorlanhub";
constexpr char MODULE_FORMAT[] = "vorlanhub v%d";
constexpr char DOCUMENT_END[] = "    </Station>\n  </Network>\n</FDSNStationXML>\n\n";
constexpr char UNKNOWN[] = "unknown";
constexpr int TOTAL_STATIONS = 1;

// Characters kept of each text value (the original fixed buffers less their
// terminator).
constexpr size_t TEXT_MAX = 63;
constexpr size_t NETWORK_MAX = 62;
constexpr size_t CREATED_MAX = 19;
constexpr size_t CARD_TOTAL_MAX = 19;
constexpr size_t SENSOR_MAX = 39;
constexpr size_t SENSOR_SN_MAX = 21;
constexpr size_t UNITS_MAX = 7;
// The Lumetra response copy "/lumetra/response/<station>.xml" is at most 35
// characters: 17 of them for the file name.
constexpr size_t COPY_NAME_MAX = 17;

// "YYYY-MM-DD HHMM SS" (the settings time) becomes "YYYY-MM-DDTHH:MM:SS".
constexpr size_t CREATED_LEN = 18;
constexpr size_t CREATED_DATE_LEN = 10;  // YYYY-MM-DD
constexpr size_t CREATED_HOUR_AT = 11;
constexpr size_t CREATED_MINUTE_AT = 13;
constexpr size_t CREATED_SECOND_AT = 16;
constexpr size_t CREATED_FIELD_LEN = 2;
constexpr char CREATED_NOW_FORMAT[] = "%Y-%m-%d %H%M %S";

constexpr float NO_POSITION = -1.0f;  // a latitude or longitude written as 0
constexpr double AZIMUTH_EAST = 90.0;
constexpr double DIP_VERTICAL = 90.0;
constexpr double DEPTH = 0.0;

std::string text(const SsFile& ss, const char* key, size_t max) {
  return bounded(ss.getChars(key), max);
}

// True when created has the stored settings time form, digits where digits belong.
bool isSettingsTime(const std::string& created) {
  if (created.size() != CREATED_LEN) return false;
  for (size_t i = 0; i < CREATED_LEN; ++i) {
    char c = created[i];
    bool ok;
    if (i == CREATED_DATE_LEN || i == CREATED_SECOND_AT - 1) {
      ok = c == ' ';
    } else if (i == 4 || i == 7) {  // the hyphens of YYYY-MM-DD
      ok = c == '-';
    } else {
      ok = c >= '0' && c <= '9';
    }
    if (!ok) return false;
  }
  return true;
}

// The Created value: the settings time, or now (UTC) when the settings have
// no time of the stored form.
std::string createdText(const SsFile& ss) {
  std::string created = text(ss, "time", CREATED_MAX);
  if (!isSettingsTime(created)) created = formatUtc(time(nullptr), CREATED_NOW_FORMAT);
  // YYYY-MM-DD HHMM SS -> YYYY-MM-DDTHH:MM:SS
  return created.substr(0, CREATED_DATE_LEN) + "T" +
         created.substr(CREATED_HOUR_AT, CREATED_FIELD_LEN) + ":" +
         created.substr(CREATED_MINUTE_AT, CREATED_FIELD_LEN) + ":" +
         created.substr(CREATED_SECOND_AT, CREATED_FIELD_LEN);
}

float position(const SsFile& ss, const char* key) {
  float value = ss.getFloat(key, 0.0f);
  return value == NO_POSITION ? 0.0f : value;
}

struct ChannelValues {
  std::string code, location;
  double latitude, longitude, elevation, azimuth, dip;
  int sampleRate;
  std::string sensor, serial, units;
  float sensitivity, gain, cpv, vpu;
};

void appendChannel(std::string& doc, const ChannelValues& v) {
  doc +=
      sformat(StationXml::CHANNEL, escapeXml(v.code).c_str(), escapeXml(v.location).c_str(),
              v.latitude, v.longitude, v.elevation, DEPTH, v.azimuth, v.dip, v.sampleRate,
              escapeXml(v.sensor).c_str(), escapeXml(v.sensor).c_str(), escapeXml(v.serial).c_str(),
              static_cast<double>(v.sensitivity), escapeXml(v.units).c_str(),
              static_cast<double>(v.gain), static_cast<double>(v.cpv), static_cast<double>(v.vpu));
}

}  // namespace

int StationXml::numChannels(const ChannelNames& names) {
  int n = 0;
  for (const auto& name : names) {
    if (!name.empty()) ++n;
  }
  return n;
}

std::string StationXml::fill(const SsFile& ss, const ChannelNames& names) {
  const std::string network = text(ss, "network_code", NETWORK_MAX);
  std::string doc = sformat(XML, SOURCE, SOURCE, sformat(MODULE_FORMAT, VORLANHUB_VERSION).c_str(),
                            createdText(ss).c_str(), escapeXml(network).c_str(), TOTAL_STATIONS);

  const std::string station = text(ss, "sitename", TEXT_MAX);
  const std::string location = text(ss, "location_id", TEXT_MAX);
  const double latitude = position(ss, "lat");
  const double longitude = position(ss, "long");
  const double elevation = ss.getFloat("alt", 0.0f);
  doc += sformat(STATION, escapeXml(station).c_str(), latitude, longitude, elevation,
                 escapeXml(text(ss, "firmware_version", TEXT_MAX)).c_str(),
                 escapeXml(text(ss, "build_number", TEXT_MAX)).c_str(),
                 ss.getInt("stalta_enable", 0), static_cast<double>(ss.getFloat("sta", 0.0f)),
                 static_cast<double>(ss.getFloat("lta", 0.0f)),
                 static_cast<double>(ss.getFloat("stalta_threshold", 0.0f)),
                 static_cast<double>(ss.getFloat("trig_filt_lo_freq", 0.0f)),
                 static_cast<double>(ss.getFloat("trig_filt_hi_freq", 0.0f)),
                 ss.getInt("level_trigger_enable", 0),
                 static_cast<double>(ss.getFloat("level_trigger_level", 0.0f)),
                 static_cast<double>(ss.getFloat("v_supply", 0.0f)),
                 static_cast<double>(ss.getFloat("temperature", 0.0f)),
                 static_cast<double>(ss.getFloat("card_free_pc", 0.0f)),
                 escapeXml(text(ss, "card_total", CARD_TOTAL_MAX)).c_str(), ss.getInt("sats", 0),
                 escapeXml(text(ss, "serial", TEXT_MAX)).c_str(), numChannels(names));

  const float cpv = ss.getFloat("cpv", 1.0f);
  const float cpvO = ss.getFloat("cpv_chO", cpv);
  std::string sensor = text(ss, "sensor_name", SENSOR_MAX);
  if (sensor.empty()) sensor = text(ss, "custom_name", SENSOR_MAX);
  if (sensor.empty()) sensor = UNKNOWN;
  std::string sensorSn = text(ss, "sensor_sn", SENSOR_SN_MAX);
  if (sensorSn.empty()) sensorSn = UNKNOWN;
  const std::string unitsA = text(ss, "unit", UNITS_MAX);
  std::string unitsB = text(ss, "unit_B", UNITS_MAX);
  if (unitsB.empty()) unitsB = unitsA;

  ChannelValues v;
  v.location = location;
  v.latitude = latitude;
  v.longitude = longitude;
  v.elevation = elevation;
  v.sampleRate = ss.getInt("sampling_rate", 0);
  v.sensor = sensor;
  v.serial = sensorSn;

  float sumSens = 0, sumGain = 0;
  int countA = 0;
  for (int slot = 0; slot < CHANNEL_SUM_SLOT; ++slot) {
    const std::string name = bounded(names[slot], CHANNEL_NAME_MAX);
    if (name.size() < CHANNEL_NAME_MAX) continue;
    const char letter = name.back();
    char group;
    int index;
    std::string sensKey;
    if (strchr(GROUP_B, letter) != nullptr) {
      group = 'B';
      index = 0;
      sensKey = sformat("custom_sensitivity_%c", group);
    } else if (strchr(GROUP_A, letter) != nullptr) {
      group = 'A';
      index = static_cast<int>(strchr(GROUP_A, letter) - GROUP_A);
      sensKey = sformat("custom_sensitivity_%c_%d", group, index);
    } else {
      continue;
    }
    const float sens = ss.getFloat(sensKey, 0.0f);
    const float gain = ss.getFloat(sformat("gain_%c_%d", group, index), 1.0f);
    if (group == 'A') {
      sumSens += sens;
      sumGain += gain;
      ++countA;
    }
    if (sens <= 0) continue;
    const float c = slot == CHANNEL_FOURTH_SLOT ? cpvO : cpv;
    v.code = name;
    v.azimuth = letter == 'E' ? AZIMUTH_EAST : 0.0;
    v.dip = letter == 'Z' ? DIP_VERTICAL : 0.0;
    v.sensitivity = sens * c * gain;
    v.units = group == 'B' ? unitsB : unitsA;
    v.gain = gain;
    v.cpv = c;
    v.vpu = sens;
    appendChannel(doc, v);
  }

  const std::string sum = bounded(names[CHANNEL_SUM_SLOT], CHANNEL_NAME_MAX);
  if (sum.size() == CHANNEL_NAME_MAX && countA > 0) {
    const float gain = sumGain / static_cast<float>(countA);
    const float sens = sumSens / static_cast<float>(countA);
    v.code = sum;
    v.azimuth = 0.0;
    v.dip = 0.0;
    v.sensitivity = cpv * gain * sens;
    v.units = unitsA;
    v.gain = gain;
    v.cpv = cpv;
    v.vpu = sens;
    appendChannel(doc, v);
  }
  doc += DOCUMENT_END;
  return doc;
}

int StationXml::write(const std::string& path, const SsFile& ss, const ChannelNames& names) {
  if (path.empty()) {
    pprintf("NULL StationXML file\n");
    return 0;
  }
  const std::string doc = fill(ss, names);
  // Written beside the old file under a hidden name, then renamed over it.
  std::string folder, name;
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    name = path;
  } else {
    folder = path.substr(0, slash + 1);
    name = path.substr(slash + 1);
  }
  const std::string temp = folder + "." + name + ".tmp";
  FILE* file = fopen(temp.c_str(), "w");
  if (file == nullptr) {
    pprintf("Cannot write StationXML file %s\n", path.c_str());
    return 0;
  }
  bool ok = fwrite(doc.data(), 1, doc.size(), file) == doc.size();
  ok = fclose(file) == 0 && ok;
  if (ok) chmod(temp.c_str(), MODE_SHARED_FILE);
  if (!ok || rename(temp.c_str(), path.c_str()) != 0) {
    unlink(temp.c_str());
    pprintf("Cannot write StationXML file %s\n", path.c_str());
    return 0;
  }
  return 1;
}

int StationXml::copyConvert(const std::string& settingsPath, const std::string& xmlPath,
                            const ChannelNames& names) {
  SsFile ss;
  ss.read(settingsPath);
  return write(xmlPath, ss, names);
}

int writeStationXml(const SsFile& ss, const ChannelNames& names, bool overwrite,
                    const std::string& copyFolder) {
  const std::string station = text(ss, "sitename", SS_TEXT_FIELD_MAX);
  if (station.empty()) return 0;
  const std::string primary = ss.getResponsePath();
  mkdirs(primary, false);
  int result = StationXml::write(primary, ss, names);
  if (isDir(copyFolder) && (overwrite || !isFile(primary))) {
    std::string copy =
        copyFolder + "/" + sformatBounded(COPY_NAME_MAX, "%s.xml", safePathCode(station).c_str());
    StationXml::write(copy, ss, names);
  }
  return result;
}

int writeStationXml(const SsFile& ss, const ChannelNames& names, bool overwrite) {
  return writeStationXml(ss, names, overwrite, SsFile::LUMETRA_RESPONSE);
}
