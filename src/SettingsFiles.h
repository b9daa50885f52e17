// SettingsFiles: the files a site's settings name (credentials, token,
// public key, CA bundle), looked at without ever blocking on one.
//
// A FIFO or a device where a settings file belongs would hang the worker
// that reads it; such a file is refused and logged as "Error: <setting> -
// not a regular file", once per setting. A credentials or token file that
// users other than its owner and group may read is still used, and logged
// once per path: "Warning: <path> is readable by other users".
//
// The daemon's own unit: it writes to the daily log, so the operator's tool
// does not use it. Any thread may call these functions.
#ifndef NETWORKPROXY_SETTINGSFILES_H_
#define NETWORKPROXY_SETTINGSFILES_H_

#include "SiteSettings.h"

// Looks at each settings file `settings` names once (stat, never open) and
// logs what is wrong with it. Start-up, main thread.
void CheckSettingsFiles(const SiteSettings& settings);

// True when `path` exists and is not a regular file (a folder, a FIFO, a
// device, a socket). Looks at the file without opening it.
bool IsNotRegularFile(const char* path);

// "Error: <setting> - not a regular file", the first time only.
void NoteNotRegularFile(const char* setting);

// "Warning: <path> is readable by other users", the first time only.
void NoteReadableByOthers(const char* path);

#endif  // NETWORKPROXY_SETTINGSFILES_H_
