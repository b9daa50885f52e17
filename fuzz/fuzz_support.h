// Set-up shared by the fuzz targets.
#ifndef NETWORKPROXY_FUZZ_SUPPORT_H_
#define NETWORKPROXY_FUZZ_SUPPORT_H_

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

// A path given on the command line, made absolute against `cwd`. Flags
// that name files are rewritten too; other flags stay as they are.
inline std::string AbsoluteArgument(const std::string& arg, const std::string& cwd) {
  static const char* const kPathFlags[] = {"-artifact_prefix=", "-exact_artifact_path=",
                                           "-dict=", "-features_dir="};
  auto absolute = [&cwd](const std::string& path) {
    return path.empty() || path[0] == '/' ? path : cwd + "/" + path;
  };
  if (arg.empty() || arg[0] != '-') return absolute(arg);
  for (const char* flag : kPathFlags) {
    const std::string prefix = flag;
    if (arg.compare(0, prefix.size(), prefix) == 0) {
      return prefix + absolute(arg.substr(prefix.size()));
    }
  }
  return arg;
}

// The code under test logs several lines per input, and a fuzzer runs
// millions of inputs: in a scratch working directory the day's log file (and
// the days either side, for a run across midnight) is a link to /dev/null, so
// Logger still opens, appends and closes as usual but nothing fills the disk.
// Call from LLVMFuzzerInitialize with its arguments: libFuzzer reads its
// command line after that call, so relative corpus, input and artifact paths
// are made absolute first, and crash files still land where the fuzzer was
// started.
inline void WorkInScratchDirectoryWithoutLog(int* argc, char*** argv) {
  static std::string scratch;
  static std::vector<std::string> links;
  static std::vector<std::string> arg_texts;
  static std::vector<char*> args;

  char* cwd_text = getcwd(nullptr, 0);
  if (cwd_text == nullptr) {
    std::perror("getcwd");
    std::abort();
  }
  const std::string cwd = cwd_text;
  std::free(cwd_text);
  bool artifact_prefix_given = false;
  for (int i = 0; i < *argc; ++i) {
    const std::string arg = (*argv)[i];
    if (arg.compare(0, 17, "-artifact_prefix=") == 0) artifact_prefix_given = true;
    const bool program = i == 0 && arg.find('/') == std::string::npos;
    arg_texts.push_back(program ? arg : AbsoluteArgument(arg, cwd));
  }
  if (!artifact_prefix_given) arg_texts.push_back("-artifact_prefix=" + cwd + "/");
  for (std::string& text : arg_texts) args.push_back(&text[0]);
  args.push_back(nullptr);
  *argc = static_cast<int>(args.size() - 1);
  *argv = args.data();

  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                        "/np-fuzz-XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr || chdir(pattern.c_str()) != 0) {
    std::perror("scratch directory");
    std::abort();
  }
  scratch = pattern;
  for (int day = -1; day <= 1; ++day) {
    std::time_t when = std::time(nullptr) + day * 86400;
    std::tm local{};
    localtime_r(&when, &local);
    char name[64];
    std::strftime(name, sizeof name, "log_%Y-%m-%d.txt", &local);
    if (symlink("/dev/null", name) != 0) {
      std::perror("log link");
      std::abort();
    }
    links.push_back(scratch + "/" + name);
  }
  std::atexit([] {
    for (const std::string& link : links) unlink(link.c_str());
    rmdir(scratch.c_str());
  });
}

// Stops the fuzzer with a readable reason; libFuzzer saves the input.
#define FUZZ_CHECK(condition)                                              \
  do {                                                                     \
    if (!(condition)) {                                                    \
      std::fprintf(stderr, "check failed: %s (%s:%d)\n", #condition,      \
                   __FILE__, __LINE__);                                    \
      std::abort();                                                        \
    }                                                                      \
  } while (0)

#endif  // NETWORKPROXY_FUZZ_SUPPORT_H_
