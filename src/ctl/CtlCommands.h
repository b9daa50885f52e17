// CtlCommands: the commands of networkproxyctl, the operator's tool that
// sits beside the daemon and links the same core library.
//
// Each command takes the words after its name (argv[0] is the command name)
// and returns the tool's exit status. It writes what it found on standard
// output and nothing to the daemon's log.
#ifndef NETWORKPROXY_CTL_CTLCOMMANDS_H_
#define NETWORKPROXY_CTL_CTLCOMMANDS_H_

// Exit statuses of the tool, the same for every command.
constexpr int kCtlOk = 0;         // done, or everything checked is usable
constexpr int kCtlFailed = 1;     // the thing asked for failed
constexpr int kCtlUsage = 2;      // the command line is wrong
constexpr int kCtlConfig = 78;    // a setting is not usable (EX_CONFIG)

using CtlCommand = int (*)(int argc, char** argv);

struct CtlCommandEntry {
  const char* name;
  const char* usage;  // one line: "name ARGS"
  CtlCommand run;
};

// Entry points, one per command unit in src/ctl/ (each adds its line to the
// table in networkproxyctl.cpp and its source to the tool's target).
int RunVerifyImage(int argc, char** argv);  // VerifyImageCommand.cpp
constexpr const char* kCheckUsage = "check [--env-file FILE] [--dir DIR]";
int RunCheck(int argc, char** argv);
constexpr const char* kStatusUsage = "status [--json] [--env-file FILE] [--dir DIR]";
int RunStatus(int argc, char** argv);
constexpr const char* kSpoolUsage =
    "spool list [--dead] [--limit N] | resend-dead | purge-dead [--env-file FILE] [--dir DIR]";
int RunSpool(int argc, char** argv);
constexpr const char* kFirmwareUsage = "firmware [--json] | retry [--env-file FILE] [--dir DIR]";
int RunFirmware(int argc, char** argv);

#endif  // NETWORKPROXY_CTL_CTLCOMMANDS_H_
