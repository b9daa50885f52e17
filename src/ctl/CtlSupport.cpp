#include "CtlSupport.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "CtlCommands.h"
#include "PrintableText.h"
#include "UnitDefaults.h"

bool IsHelpOption(const char* arg) {
  return std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0;
}

int UsageError(const std::string& what, const char* usage) {
  std::fprintf(stderr, "networkproxyctl: %s\nusage: networkproxyctl %s\n", PrintableText(what).c_str(),
               usage);
  return kCtlUsage;
}

bool TakeSiteOption(int argc, char** argv, int* i, SiteSource* source) {
  const std::string arg = argv[*i];
  for (auto option : {std::make_pair("--env-file", &source->env_file),
                      std::make_pair("--dir", &source->dir)}) {
    const std::string name = option.first;
    if (arg == name && *i + 1 < argc) {
      *option.second = argv[++*i];
      return true;
    }
    if (arg.compare(0, name.size() + 1, name + "=") == 0) {
      *option.second = arg.substr(name.size() + 1);
      return true;
    }
  }
  return false;
}

namespace {

// environ comes from <unistd.h> (g++ defines _GNU_SOURCE).
void AddEnvironment(EnvironmentValues* values) {
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const char* equals = std::strchr(*entry, '=');
    if (equals != nullptr) (*values)[std::string(*entry, static_cast<std::size_t>(equals - *entry))] = equals + 1;
  }
}

// The file's values over `values`; false when it had a problem.
bool AddFile(const SiteSource& source, EnvironmentValues* values) {
  const std::string& path = source.env_file.empty() ? kUnitEnvironmentFile : source.env_file;
  const EnvironmentFile file = ReadEnvironmentFile(path);
  bool ok = true;
  // The unit's own file is optional, as EnvironmentFile=- makes it.
  if (!file.status.ok() && !(source.env_file.empty() && access(path.c_str(), F_OK) != 0 &&
                             errno == ENOENT)) {
    std::printf("%s\n", PrintableText(path + " - " + file.status.reason()).c_str());
    ok = false;
  }
  for (const std::string& problem : file.bad_lines) {
    // A bad line is quoted in the problem: the file's bytes.
    std::printf("%s\n", PrintableText(path + " - " + problem).c_str());
    ok = false;
  }
  for (const auto& value : file.values) (*values)[value.first] = value.second;
  return ok;
}

}  // namespace

Status LoadSite(const SiteSource& source, LoadedSite* site) {
  site->values.clear();
  for (const auto& value : kUnitEnvironment) site->values[value[0]] = value[1];
  AddEnvironment(&site->values);
  // Read before changing folder: a relative FILE is the caller's.
  site->file_ok = AddFile(source, &site->values);
  site->settings = SiteSettingsFrom(site->values);
  const std::string& dir = source.dir.empty() ? kUnitWorkingDirectory : source.dir;
  if (chdir(dir.c_str()) != 0) {
    const Status failed = Status::FromErrno(errno, "folder " + dir);
    if (!source.dir.empty()) return failed;
    return Status::Error(failed.reason() + " (not a packaged site? give its folder with --dir)");
  }
  return Status::Ok();
}

bool LoadSiteSettings(const SiteSource& source, SiteSettings* settings) {
  LoadedSite site;
  const Status loaded = LoadSite(source, &site);
  if (!loaded.ok()) {
    std::fprintf(stderr, "networkproxyctl: %s\n", PrintableText(loaded.reason()).c_str());
    return false;
  }
  *settings = site.settings;
  return true;
}
