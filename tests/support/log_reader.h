// Reading the daemon's daily log files (log_<date>.txt) in a folder, for the
// unit tests that check what was logged. Files are read in name order, so a
// run across midnight reads as one log; each call reads them afresh.
#ifndef NETWORKPROXY_TESTS_LOG_READER_H_
#define NETWORKPROXY_TESTS_LOG_READER_H_

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

// (path, whole text) of every log file in `dir`.
inline std::vector<std::pair<std::filesystem::path, std::string>> ReadLogFiles(
    const std::filesystem::path& dir) {
  std::vector<std::filesystem::path> paths;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().filename().string().rfind("log_", 0) == 0) paths.push_back(entry.path());
  }
  std::sort(paths.begin(), paths.end());
  std::vector<std::pair<std::filesystem::path, std::string>> files;
  for (const auto& path : paths) {
    std::ifstream in(path, std::ios::binary);
    files.emplace_back(path, std::string(std::istreambuf_iterator<char>(in),
                                         std::istreambuf_iterator<char>()));
  }
  return files;
}

// The text of all of them.
inline std::string ReadLogText(const std::filesystem::path& dir) {
  std::string text;
  for (const auto& file : ReadLogFiles(dir)) text += file.second;
  return text;
}

// Every line, without its LF (a last line without one counts too).
inline std::vector<std::string> ReadLogLines(const std::filesystem::path& dir) {
  std::vector<std::string> lines;
  for (const auto& file : ReadLogFiles(dir)) {
    std::istringstream in(file.second);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
  }
  return lines;
}

// Every message: each line less its time stamp and TAB (a line without them
// is kept whole, so that a test comparing messages shows it).
inline std::vector<std::string> ReadLogMessages(const std::filesystem::path& dir) {
  std::vector<std::string> messages;
  for (const auto& line : ReadLogLines(dir)) {
    const auto tab = line.find('\t');
    messages.push_back(tab == std::string::npos ? line : line.substr(tab + 1));
  }
  return messages;
}

#endif  // NETWORKPROXY_TESTS_LOG_READER_H_
