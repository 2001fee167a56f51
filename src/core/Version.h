// The hub's program version and built-in release history.
#ifndef VH_CORE_VERSION_H_
#define VH_CORE_VERSION_H_

constexpr int VORLANHUB_VERSION = 127;

// Release history shown by "--history" and written to settings/vhhistory.html.
extern const char* const VERSION_HISTORY;

#endif  // VH_CORE_VERSION_H_
