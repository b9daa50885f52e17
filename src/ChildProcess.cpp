#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

std::mutex environment_mutex;

void PieceReader::Take(const char* data, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    piece_ += data[i];
    if (data[i] == '\n' || piece_.size() + 1 >= size_) Keep();
  }
}

void PieceReader::Finish() {
  if (!piece_.empty()) Keep();
}

void PieceReader::Keep() {
  std::memcpy(buffer_, piece_.data(), piece_.size());
  buffer_[piece_.size()] = '\0';
  piece_.clear();
}

namespace {

// Reads every pipe in `fds` to its end at once, so a child that fills one
// pipe while we wait on the other can never stall.
void ReadToEnd(const std::vector<int>& fds, std::vector<PieceReader>& readers) {
  std::vector<pollfd> open_fds;
  for (int fd : fds) open_fds.push_back(pollfd{fd, POLLIN, 0});
  std::vector<std::size_t> owner(fds.size());
  for (std::size_t i = 0; i < fds.size(); ++i) owner[i] = i;
  char chunk[4096];
  while (!open_fds.empty()) {
    if (poll(open_fds.data(), open_fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (std::size_t i = 0; i < open_fds.size();) {
      if (open_fds[i].revents == 0) {
        ++i;
        continue;
      }
      ssize_t n = read(open_fds[i].fd, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n > 0) {
        readers[owner[i]].Take(chunk, static_cast<std::size_t>(n));
        open_fds[i].revents = 0;
        ++i;
        continue;
      }
      readers[owner[i]].Finish();
      open_fds.erase(open_fds.begin() + static_cast<std::ptrdiff_t>(i));
      owner.erase(owner.begin() + static_cast<std::ptrdiff_t>(i));
    }
  }
}

}  // namespace

ChildResult RunCapture(const char* const argv[], char* output, std::size_t output_size,
                       char* errors, std::size_t errors_size,
                       const char* const envp[], int pass_fd) {
  ChildResult result;
  const bool capture_output = output != nullptr;
  const bool capture_errors = errors != nullptr;
  int pipe_fds[2] = {-1, -1};
  int error_fds[2] = {-1, -1};
  if (capture_output && pipe2(pipe_fds, O_CLOEXEC) != 0) {
    result.start = Status::FromErrno(errno);
    return result;
  }
  if (capture_errors && pipe2(error_fds, O_CLOEXEC) != 0) {
    result.start = Status::FromErrno(errno);
    if (capture_output) {
      close(pipe_fds[0]);
      close(pipe_fds[1]);
    }
    return result;
  }
  auto close_all = [&] {
    for (int fd : {pipe_fds[0], pipe_fds[1], error_fds[0], error_fds[1]}) {
      if (fd >= 0) close(fd);
    }
  };
  // posix_spawn rather than fork: the child never copies the daemon's page
  // tables, which was the better part of the daemon's cost per event.
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  int spawn_error =
      posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (spawn_error == 0 && capture_output) {
    spawn_error = posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
  }
  if (spawn_error == 0 && capture_errors) {
    spawn_error = posix_spawn_file_actions_adddup2(&actions, error_fds[1], STDERR_FILENO);
  }
  int keep_below = STDERR_FILENO + 1;
  if (spawn_error == 0 && pass_fd >= 0) {
    spawn_error = posix_spawn_file_actions_adddup2(&actions, pass_fd, kPassedDescriptor);
    keep_below = kPassedDescriptor + 1;
  }
  // Nothing of ours, the serial port above all, may reach the child, even a
  // descriptor some library opened without close-on-exec. Without this step
  // the child is not started at all.
  if (spawn_error == 0) {
    spawn_error = posix_spawn_file_actions_addclosefrom_np(&actions, keep_below);
  }
  // The child gets the default disposition of SIGXFSZ back, not the daemon's.
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGXFSZ);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);

  pid_t child = -1;
  if (spawn_error == 0) {
    // The child gets the environment as it is now; never while it is rewritten.
    std::lock_guard<std::mutex> lock(environment_mutex);
    spawn_error = posix_spawn(&child, argv[0], &actions, &attributes,
                              const_cast<char* const*>(argv),
                              envp != nullptr ? const_cast<char* const*>(envp) : environ);
  }
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (spawn_error != 0) {
    result.start = Status::FromErrno(spawn_error);
    close_all();
    return result;
  }
  if (capture_output) {
    close(pipe_fds[1]);
    pipe_fds[1] = -1;
  }
  if (capture_errors) {
    close(error_fds[1]);
    error_fds[1] = -1;
  }
  result.start = Status::Ok();

  std::vector<int> fds;
  std::vector<PieceReader> readers;
  if (capture_output) {
    fds.push_back(pipe_fds[0]);
    readers.emplace_back(output, output_size);
  }
  if (capture_errors) {
    fds.push_back(error_fds[0]);
    readers.emplace_back(errors, errors_size);
  }
  ReadToEnd(fds, readers);
  close_all();

  int status = 0;
  pid_t waited;
  do {
    waited = waitpid(child, &status, 0);
  } while (waited < 0 && errno == EINTR);
  if (waited == child && WIFEXITED(status)) {
    result.exit_status = WEXITSTATUS(status);
  }
  return result;
}
