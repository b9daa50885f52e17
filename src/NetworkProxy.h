// NetworkProxy: the daemon's settings, start-up, version handshake, worker
// threads and firmware update check.
//
// Start-up runs on the main thread; afterwards the serial worker owns the
// serial port and the update worker runs the firmware check. The settings
// below are written before the workers start and only read afterwards.
#ifndef NETWORKPROXY_NETWORKPROXY_H_
#define NETWORKPROXY_NETWORKPROXY_H_

#include <cstddef>
#include <string>
#include <thread>

#include "SerialMonitor.h"

// Process-wide settings, zero-filled at program start, NUL-terminated.
extern char usb_serial_port[64];       // serial device path (-p)
extern char firmware_file_path[512];   // where a new image is written (-f)
extern char site_id[32];               // host name, site_id.txt or "Unknown ID"
extern char firmware_version[32];      // controller's version; "" when unknown
extern const char* firmware_filename;  // default image path

// Reads the command line into usb_serial_port and firmware_file_path and
// fills in the defaults. Returns -1 when start-up should go on, otherwise the
// exit status to end with (2 after an invalid option or a missing value,
// already reported on standard output).
int ParseCommandLine(int argc, char** argv);

// Settles site_id: the host name, else the first word of site_id.txt in
// the working directory (at most 31 characters), else "Unknown ID".
void SettleSiteId();

// Takes the published version out of the version file's bytes: its first
// line (up to LF or the end), at most 31 characters, without the CR of a
// CR LF line end. `out` receives a NUL-terminated text.
void ReadPublishedVersion(const std::string& version_file, char (&out)[32]);

// Builds "Version_<version>.hex" into `out`, cut to fit.
void BuildImageKey(const char* version, char (&out)[64]);

// Ends the process with `status` once standard output is flushed. Does not
// run static destructors, which other threads may still be using.
[[noreturn]] void EndProcess(int status);

class NetworkProxy {
 public:
  // Settles the site identity, prints the banner, opens the port (ending
  // the process with status 1 when it cannot), does the version handshake
  // and starts both workers. Returns with the workers running.
  NetworkProxy();

  // The object lives as long as the process; the workers are never joined.
  virtual ~NetworkProxy();

  NetworkProxy(const NetworkProxy&) = delete;
  NetworkProxy& operator=(const NetworkProxy&) = delete;

  // One firmware update check. Returns when the check is over; on a
  // successful download it starts the update script and ends the process
  // with status 0. Called by the update worker only.
  void FirmwareUpdate();

 private:
  void Handshake();
  void SerialLoop();
  void UpdateLoop();
  // Puts `access_key` and `secret_key` into the credential variables.
  static void SetCredentials(const char* access_key, const char* secret_key);
  // Writes `image` to firmware_file_path through a synced temporary file
  // renamed over it, so the path never holds a partial image.
  bool WriteImageFile(const std::string& image);

  SerialMonitor monitor_;
  std::thread* serial_worker_ = nullptr;
  std::thread* update_worker_ = nullptr;
};

#endif  // NETWORKPROXY_NETWORKPROXY_H_
