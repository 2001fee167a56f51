#include "protocol/Commands.h"

const char* const Commands::CMDS[Commands::NUM_CMDS] = {
    "dir",      "station_name", "level trigger info", "flash_write",  "Settings changed",
    "trigger ", "vftp_get",     "shutdown",           "rx status: 0", "rx ",
};

int Commands::index(const std::string& text) {
  for (int row = 0; row < NUM_CMDS; ++row) {
    size_t at = text.find(CMDS[row]);
    if (at == std::string::npos) continue;
    if (row == TRIGGER && at != 0) continue;
    return row;
  }
  return text.find('=') != std::string::npos ? SETTING_REPLY : NOT_RECOGNISED;
}
