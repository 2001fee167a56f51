// Feeds arbitrary request file contents and names to the client request
// parser and the name routing, and checks the limits each promises.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "gaps/RequestFiles.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  RequestFile file;
  std::string error;
  const bool accepted = file.parse(text, &error);
  if (file.requests().size() > REQUEST_FILE_MAX_LINES) abort();
  if (!accepted && (!file.requests().empty() || error.empty())) abort();
  for (const SelRequest& request : file.requests()) {
    if (request.getValue().size() > SEL_REQUEST_VALUE_MAX) abort();
  }
  // The first line as a file name: the station's own name is always meant for it.
  const std::string name = text.substr(0, text.find('\n'));
  RequestFiles::isMeantFor(name, 0x0123abcd, "AB");
  if (name.size() >= REQUEST_NAME_MIN &&
      !RequestFiles::isMeantFor(name + "_0123abcd.", 0x0123abcd, "")) {
    abort();
  }
  return 0;
}
