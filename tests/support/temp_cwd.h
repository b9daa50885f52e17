// TempWorkingDir: a fresh folder under /tmp made the working directory for
// the life of the object, so that the daemon's relative files (the log
// above all) land where a test can read them. Restores the previous working
// directory and removes the folder on destruction. Not thread-safe: the
// working directory belongs to the whole process.
#ifndef NETWORKPROXY_TESTS_TEMP_CWD_H_
#define NETWORKPROXY_TESTS_TEMP_CWD_H_

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

class TempWorkingDir {
 public:
  explicit TempWorkingDir(const std::string& prefix) {
    std::string pattern = "/tmp/" + prefix + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
    old_cwd_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
  }
  ~TempWorkingDir() {
    std::error_code ignored;
    std::filesystem::current_path(old_cwd_, ignored);
    std::filesystem::remove_all(dir_, ignored);
  }
  TempWorkingDir(const TempWorkingDir&) = delete;
  TempWorkingDir& operator=(const TempWorkingDir&) = delete;

  const std::filesystem::path& path() const { return dir_; }

 private:
  std::filesystem::path dir_;
  std::filesystem::path old_cwd_;
};

#endif  // NETWORKPROXY_TESTS_TEMP_CWD_H_
