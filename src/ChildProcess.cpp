#include "ChildProcess.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

std::mutex environment_mutex;

bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

ChildResult RunCapture(const char* const argv[], char* output, std::size_t output_size) {
  ChildResult result;
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
    result.error = errno;
    return result;
  }
  // posix_spawn rather than fork: the child never copies the daemon's page
  // tables, which was the better part of the daemon's cost per event.
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  int spawn_error =
      posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (spawn_error == 0) {
    spawn_error = posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
  }
  // Nothing of ours, the serial port above all, may reach the child, even a
  // descriptor some library opened without close-on-exec. Without this step
  // the child is not started at all.
  if (spawn_error == 0) {
    spawn_error = posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
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
                              const_cast<char* const*>(argv), environ);
  }
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (spawn_error != 0) {
    result.error = spawn_error;
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    return result;
  }
  close(pipe_fds[1]);
  result.started = true;

  // Read to the end; like fgets into one buffer, the last piece read stays.
  FILE* stream = fdopen(pipe_fds[0], "r");
  if (stream == nullptr) {
    close(pipe_fds[0]);
  } else {
    while (std::fgets(output, static_cast<int>(output_size), stream) != nullptr) {
    }
    std::fclose(stream);
  }

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
