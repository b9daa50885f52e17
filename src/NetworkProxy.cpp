#include "NetworkProxy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <curl/curl.h>
#ifdef NETWORKPROXY_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

#include "S3Client.h"

char usb_serial_port[64];
char firmware_file_path[512];
char site_id[32];
char firmware_version[32];
const char* firmware_filename = "FirmwareImage.cpp.hex";

namespace {

constexpr const char* kDefaultSerialPort = "/dev/ttyUSB0";
constexpr const char* kVersionBanner = "NetworkProxy Version: 1.0.7";

constexpr unsigned kHandshakeDelaySeconds = 5;         // s, port open to first query
constexpr int kHandshakeReadTimeoutMs = 5000;          // ms, per handshake reply
constexpr unsigned kSerialPauseMicroseconds = 100000;  // 100 ms, after each line
constexpr unsigned kUpdatePauseMicroseconds = 60000000;  // 60 s, between checks
// Reads in a row that end without a line before the device counts as gone:
// an unplugged adapter gives end of file or an error at once, every time.
constexpr int kMaxFailedReads = 10;

constexpr const char* kRegion = "ap-southeast-2";
constexpr const char* kFirmwareBucket = NETWORKPROXY_FIRMWARE_BUCKET;
constexpr const char* kAccessKeyId = NETWORKPROXY_AWS_ACCESS_KEY_ID;
constexpr const char* kSecretAccessKey = NETWORKPROXY_AWS_SECRET_ACCESS_KEY;
constexpr const char* kBlankCredential = " ";
constexpr const char* kVersionKey = "update.txt";
constexpr const char* kUpdateScript = "./fw-update.sh";
constexpr const char* kHandOffCommand = "sudo /bin/sh ./fw-update.sh &";

// Copies `text` into `field`, cut to fit and terminated.
template <std::size_t N>
void CopySetting(char (&field)[N], const char* text) {
  std::snprintf(field, N, "%s", text);
}

// Directory part of `path` ("." when it has none), for the temporary file
// that must live on the same file system as the image.
std::string DirectoryOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}


}  // namespace

int ParseCommandLine(int argc, char** argv) {
  bool port_given = false;
  bool firmware_path_given = false;
  // The index moves by one, so a value is looked at again as an argument of
  // its own: one starting with "-" is taken as an option too.
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] != '-') continue;
    char option = argv[i][1];
    if (option != 'p' && option != 'f') {
      std::printf("Invalid option: %c\n", option);
      return 2;
    }
    if (i + 1 >= argc) {
      std::printf("Missing value for option: %c\n", option);
      return 2;
    }
    if (option == 'p') {
      port_given = true;
      CopySetting(usb_serial_port, argv[i + 1]);
    } else {
      firmware_path_given = true;
      CopySetting(firmware_file_path, argv[i + 1]);
    }
  }
  if (!port_given) CopySetting(usb_serial_port, kDefaultSerialPort);
  if (!firmware_path_given) CopySetting(firmware_file_path, firmware_filename);
  return -1;
}

void SettleSiteId() {
  if (gethostname(site_id, sizeof site_id) == 0 && site_id[sizeof site_id - 1] == '\0') {
    return;
  }
  // The name did not fit; whatever part of it was written is not an identity.
  std::memset(site_id, 0, sizeof site_id);
  FILE* file = std::fopen("site_id.txt", "r");
  if (file != nullptr) {
    int words = std::fscanf(file, "%31s", site_id);
    std::fclose(file);
    if (words == 1) return;
    std::memset(site_id, 0, sizeof site_id);
  }
  CopySetting(site_id, "Unknown ID");
}

void ReadPublishedVersion(const std::string& version_file, char (&out)[32]) {
  std::memset(out, 0, sizeof out);
  std::size_t line_end = version_file.find('\n');
  std::size_t line_length = line_end == std::string::npos ? version_file.size() : line_end;
  std::size_t length = line_length < sizeof out - 1 ? line_length : sizeof out - 1;
  // A version file saved with CR LF line ends must still match.
  if (length == line_length && length > 0 && line_end != std::string::npos &&
      version_file[length - 1] == '\r') {
    --length;
  }
  std::memcpy(out, version_file.data(), length);
}

void BuildImageKey(const char* version, char (&out)[64]) {
  std::memset(out, 0, sizeof out);
  std::snprintf(out, sizeof out, "Version_%s.hex", version);
}

void EndProcess(int status) {
  std::fflush(stdout);
  _exit(status);
}

NetworkProxy::NetworkProxy() {
  // libcurl's global set-up is not thread-safe: do it before any worker.
  curl_global_init(CURL_GLOBAL_DEFAULT);

  SettleSiteId();
  std::printf("%s\n", kVersionBanner);
  char print_buffer[64] = {0};
  std::snprintf(print_buffer, sizeof print_buffer, "Site ID: %s", site_id);
  std::printf("%s\n", print_buffer);
  std::fflush(stdout);

  if (monitor_.OpenPort(usb_serial_port) == 0) EndProcess(1);

  // Read the environment now, while no other thread may change it.
  ReportHost();
  Handshake();

  serial_worker_ = new std::thread([this] { SerialLoop(); });
  update_worker_ = new std::thread([this] { UpdateLoop(); });
#ifdef NETWORKPROXY_HAVE_SYSTEMD
  // Under a service manager, "started" means the port works and both
  // workers run; elsewhere this does nothing.
  sd_notify(0, "READY=1");
#endif
}

NetworkProxy::~NetworkProxy() {
  // The workers outlive any attempt to stop them: the object is never
  // destroyed while the process runs.
}

void NetworkProxy::Handshake() {
  sleep(kHandshakeDelaySeconds);
  monitor_.FlushBuffer();

  char reply[32] = {0};
  monitor_.Write("v:\r");
  monitor_.Read(reply, sizeof reply, kHandshakeReadTimeoutMs);
  // Only the second answer counts: the first may be a line the controller
  // was already sending when the query arrived.
  monitor_.Write("v:\r");
  monitor_.Read(reply, sizeof reply, kHandshakeReadTimeoutMs);

  if (std::strstr(reply, "version") == nullptr) return;
  char* save = nullptr;
  char* first = strtok_r(reply, "=", &save);
  char* second = first != nullptr ? strtok_r(nullptr, "=", &save) : nullptr;
  if (second == nullptr) return;  // "version" alone names no version
  CopySetting(firmware_version, second);

  char print_buffer[64] = {0};
  std::snprintf(print_buffer, sizeof print_buffer, "Firmware Version: %s", firmware_version);
  std::printf("%s\n", print_buffer);
  std::fflush(stdout);
}

void NetworkProxy::SerialLoop() {
  int failed_reads = 0;
  for (;;) {
    if (monitor_.SerialMonitorThread()) {
      failed_reads = 0;
    } else if (++failed_reads >= kMaxFailedReads) {
      // Exit like a port that fails at start-up, so the service manager
      // restarts the daemon once the device is back.
      monitor_.Logger("Serial device lost");
      EndProcess(1);
    }
    usleep(kSerialPauseMicroseconds);
  }
}

void NetworkProxy::UpdateLoop() {
  for (;;) {
    FirmwareUpdate();
    usleep(kUpdatePauseMicroseconds);
  }
}

void NetworkProxy::SetCredentials(const char* access_key, const char* secret_key) {
  // The serial worker starts curl under the same lock, so a child never
  // inherits a half-rewritten environment.
  std::lock_guard<std::mutex> lock(environment_mutex);
  setenv("AWS_ACCESS_KEY_ID", access_key, 1);
  setenv("AWS_SECRET_ACCESS_KEY", secret_key, 1);
}

bool NetworkProxy::WriteImageFile(const std::string& image) {
  const std::string target = firmware_file_path;
  const std::string directory = DirectoryOf(target);
  std::string temp_name = directory + "/.networkproxy-image.XXXXXX";
  std::vector<char> temp_path(temp_name.begin(), temp_name.end());
  temp_path.push_back('\0');

  int fd = mkostemp(temp_path.data(), O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = fchmod(fd, 0644) == 0 && WriteAll(fd, image.data(), image.size()) && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (ok && rename(temp_path.data(), target.c_str()) != 0) ok = false;
  if (!ok) {
    unlink(temp_path.data());
    return false;
  }
  // Make the rename itself durable before the script may reboot anything.
  int dir_fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd >= 0) {
    fsync(dir_fd);
    close(dir_fd);
  }
  return true;
}

void NetworkProxy::FirmwareUpdate() {
  monitor_.Logger("Checking for firmware update");
  SetCredentials(kAccessKeyId, kSecretAccessKey);

  S3Client client(kRegion);
  S3Client::Object version_file = client.GetObject(kFirmwareBucket, kVersionKey);
  if (!version_file.ok) {
    monitor_.Logger("Error: Reading the version file");
  } else {
    char published[32];
    ReadPublishedVersion(version_file.body, published);
    if (std::strncmp(published, firmware_version, sizeof published) == 0) {
      monitor_.Logger("Versions match. No update required");
    } else {
      monitor_.Logger("Version Mismatch");
      char image_key[64];
      BuildImageKey(published, image_key);
      // Without the script nobody would restart the daemon after the exit.
      if (access(kUpdateScript, F_OK) != 0) {
        monitor_.Logger("Error: Update script not found");
      } else {
        S3Client::Object image = client.GetObject(kFirmwareBucket, image_key);
        if (!image.ok) {
          monitor_.Logger("Error: Downloading firmware file");
        } else {
          monitor_.Logger("Downloading firmware file");
          if (!WriteImageFile(image.body)) {
            monitor_.Logger("Error: Writing firmware file");
          } else {
            // The script inherits the credentials with the environment.
            int ignored = std::system(kHandOffCommand);
            (void)ignored;
            EndProcess(0);
          }
        }
      }
    }
  }
  SetCredentials(kBlankCredential, kBlankCredential);
}
