// Feeds arbitrary bytes to the property file reader as a file on disk, then
// looks up, parses and writes back what was read. The written file must read
// back without error.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/PropertyFile.h"

namespace {

std::string scratch;  // the folder made for this run, removed at exit

void removeScratch() {
  unlink((scratch + "in.props").c_str());
  unlink((scratch + "out.props").c_str());
  rmdir(scratch.c_str());
}

// One pair of scratch files per run, made on the first input.
const std::string& scratchDir() {
  static const std::string dir = [] {
    char pattern[] = "/tmp/propertyfile_fuzz.XXXXXX";
    const char* made = mkdtemp(pattern);
    if (made == nullptr) abort();
    scratch = std::string(made) + "/";
    atexit(removeScratch);
    return scratch;
  }();
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input = scratchDir() + "in.props";
  const std::string output = scratchDir() + "out.props";
  FILE* file = fopen(input.c_str(), "wb");
  if (file == nullptr) return 0;
  fwrite(data, 1, size, file);
  fclose(file);

  PropertyFile props;
  if (!props.read(input)) abort();
  for (const std::string& key : props.getKeys()) {
    std::string value = props.get(key, "default");
    props.getInt(key, 1);
    props.getLong(key, 2);
    props.getHex(key, 3);
    props.getPath(key, "");
    props.getPathWithExtension(key, ".ms");
    std::string quoted;
    PropertyFile::putQuotesOnKey(key + "=" + value, quoted, 200);
  }
  props.getInt("absent.int", 5);
  props.getHex("absent.hex", 0x1a);
  if (!props.write(output)) abort();
  PropertyFile again;
  if (!again.read(output)) abort();
  return 0;
}
