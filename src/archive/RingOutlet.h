// What the layers below the outlets need of the ring server outlet: the
// scan folder its ring server reads (where each PacketArchive writes its
// scan files) and its switch. The outlet (outlets/Ring) implements it;
// start-up installs the process's one outlet before any link starts and
// removes it after the links ended.
#ifndef VH_ARCHIVE_RINGOUTLET_H_
#define VH_ARCHIVE_RINGOUTLET_H_

#include <string>

class RingOutlet {
 public:
  virtual ~RingOutlet() = default;
  // The folder named by MSeedScan in the ring server's configuration.
  virtual std::string getScanDir() = 0;
  virtual bool isEnabled() = 0;
  // Starts the ring server (on) or stops it (off); nothing when unchanged.
  virtual void setEnabled(bool on) = 0;
  // Restarts the ring server when its configuration file changed; true then.
  virtual bool restartIfConfChanged() = 0;
};

// The installed outlet, or null. Any thread.
RingOutlet* getRingOutlet();
void setRingOutlet(RingOutlet* outlet);

#endif  // VH_ARCHIVE_RINGOUTLET_H_
