// Feeds a session the REQUEST_FILE texts an instrument may send: settings,
// site lists and site information, waveform files ("WAVE=") and relays, one
// text per line, in a scratch base folder. Whatever the text, nothing
// crashes and the pending answer stays bounded.
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/Log.h"
#include "core/VhProps.h"
#include "session/SeisServerState.h"
#include "util/Dirs.h"
#include "util/FileUtil.h"

namespace {

constexpr char PROPS[] = "verbose=-1\nsettingcommands=0\nsettings=0\n";

// A fresh base folder (and working folder, for the relative default
// folders) for one input, removed when the input is done.
struct Scratch {
  Scratch() {
    if (getcwd(previous, sizeof previous) == nullptr) abort();
    char made[] = "/tmp/instrumentrequest_fuzz.XXXXXX";
    if (mkdtemp(made) == nullptr || chdir(made) != 0) abort();
    BASE_DIR = std::string(made) + "/";
    DOWNLOAD_DIR = BASE_DIR + "download/";
    UPLOAD_DIR = BASE_DIR + "upload/";
  }
  ~Scratch() {
    if (chdir(previous) != 0) abort();
    deleteFolder(BASE_DIR);
  }
  char previous[PATH_MAX];
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Scratch scratch;
  const std::string props = BASE_DIR + "vh.props";
  FILE* f = fopen(props.c_str(), "w");
  if (f == nullptr) abort();
  fputs(PROPS, f);
  fclose(f);
  mkdirs(DOWNLOAD_DIR + "FZ.01000001/", true);
  f = fopen((DOWNLOAD_DIR + "FZ.01000001/settings.ss").c_str(), "w");
  if (f == nullptr) abort();
  fputs("\"sitename\"=\"FZ\"\n", f);
  fclose(f);
  VhProps vhProps;
  vhProps.read(props);
  SeisServerState session;
  session.init(nullptr, &vhProps, nullptr, nullptr);
  const std::string text(reinterpret_cast<const char*>(data), size);
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    session.processRequestFile(text.substr(at, std::min<size_t>(end - at, REQUEST_FILE_MAX_NAME)));
    if (session.numPendingFileParts() > static_cast<size_t>(REQUESTED_PARTS_MAX) + 2) abort();
    at = end + 1;
  }
  session.finish();
  return 0;
}
