// The keywords by which the texts of inbound COMMAND frames are classified.
// The table is searched in order and the first keyword found anywhere in the
// text wins; only "trigger " must stand at the very start. Constant data: any
// thread may use it.
#ifndef VH_PROTOCOL_COMMANDS_H_
#define VH_PROTOCOL_COMMANDS_H_

#include <string>

class Commands {
 public:
  // Rows of CMDS, the results of index().
  static constexpr int DIR = 0;
  static constexpr int STATION_NAME = 1;
  static constexpr int LEVEL_TRIGGER_INFO = 2;
  static constexpr int FLASH_WRITE = 3;
  static constexpr int SETTINGS_CHANGED = 4;
  static constexpr int TRIGGER = 5;
  static constexpr int VFTP_GET = 6;
  static constexpr int SHUTDOWN = 7;
  static constexpr int RX_STATUS_0 = 8;
  static constexpr int RX = 9;
  static constexpr int NUM_CMDS = 10;
  static constexpr int SETTING_REPLY = 999;  // no keyword, but an "="
  static constexpr int NOT_RECOGNISED = -1;

  static const char* const CMDS[NUM_CMDS];

  virtual ~Commands() = default;

  // The row of the first keyword of CMDS in text (TRIGGER only at the start),
  // else SETTING_REPLY when the text contains "=", else NOT_RECOGNISED.
  static int index(const std::string& text);
};

#endif  // VH_PROTOCOL_COMMANDS_H_
