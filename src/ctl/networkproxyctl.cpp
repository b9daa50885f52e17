// networkproxyctl: thin main. Finds the command named by the first word and
// runs it; everything it does lives in the core library's units.
#include <cstdio>
#include <cstring>

#include "CtlCommands.h"

namespace {

// One line per command; each command's unit defines its entry point.
const CtlCommandEntry kCommands[] = {
    {"help", "help", nullptr},
    {"check", kCheckUsage, RunCheck},
    {"status", kStatusUsage, RunStatus},
    {"spool", kSpoolUsage, RunSpool},
    {"firmware", kFirmwareUsage, RunFirmware},
    {"verify-image",
     "verify-image --key PEM --version V --signature SIG [--not-older-than F] IMAGE",
     RunVerifyImage},
};

void PrintUsage(std::FILE* out) {
  std::fprintf(out, "usage: networkproxyctl COMMAND [ARGS]\n");
  for (const CtlCommandEntry& entry : kCommands) std::fprintf(out, "  networkproxyctl %s\n", entry.usage);
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  if (argc < 2) {
    PrintUsage(stderr);
    return kCtlUsage;
  }
  const char* name = argv[1];
  if (std::strcmp(name, "--help") == 0 || std::strcmp(name, "-h") == 0 ||
      std::strcmp(name, "help") == 0) {
    PrintUsage(stdout);
    return kCtlOk;
  }
  for (const CtlCommandEntry& entry : kCommands) {
    if (entry.run != nullptr && std::strcmp(name, entry.name) == 0) return entry.run(argc - 1, argv + 1);
  }
  std::fprintf(stderr, "networkproxyctl: unknown command: %s\n", name);
  PrintUsage(stderr);
  return kCtlUsage;
}
