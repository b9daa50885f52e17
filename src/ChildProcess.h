// ChildProcess: starting an outside program without a shell and capturing
// what it writes.
#ifndef NETWORKPROXY_CHILDPROCESS_H_
#define NETWORKPROXY_CHILDPROCESS_H_

#include <cstddef>
#include <mutex>
#include <string>

#include "Status.h"

// Held while the process environment is changed and while a child process is
// started, so a child never sees an environment that is half rewritten.
extern std::mutex environment_mutex;

// One captured stream: the piece being read and where the last whole piece
// goes, as fgets into one buffer would leave it: the stream is cut into
// pieces at each LF and every size - 1 bytes, and the last piece stays in
// `buffer` (capacity `size`, at least 2), terminated. The buffer is left
// untouched while no piece has ended. Used for curl's output and for the
// reply body of the in-process report session alike.
class PieceReader {
 public:
  PieceReader(char* buffer, std::size_t size) : buffer_(buffer), size_(size) {}
  void Take(const char* data, std::size_t length);
  void Finish();

 private:
  void Keep();

  char* buffer_;
  std::size_t size_;
  std::string piece_;
};

// How one child process ran.
struct ChildResult {
  Status start = Status::Error("not started");  // failed: no pipe or no process, and why
  int exit_status = -1;   // the child's exit status; -1 when it did not exit
};

// Descriptor number under which RunCapture hands `pass_fd` to the child.
constexpr int kPassedDescriptor = 3;

// Runs `argv` (argv[0] is the program's path, the vector ends in nullptr; no
// shell is involved) with standard input from /dev/null and no descriptor of
// ours but the pipes below: a child never holds the serial port or a socket.
// Standard output is read to its end into `output` (capacity `output_size`,
// at least 2; when null, standard output is inherited) with fgets's
// last-piece semantics: the output is cut into
// pieces at each LF and every output_size - 1 bytes, and the last piece
// stays, terminated. When `errors` is given, standard error is read the same
// way into it (capacity `errors_size`, at least 2); otherwise it is inherited.
// Buffers are left untouched when the stream is empty. Waits for the child
// to end. Any thread may call it.
// `envp` (ending in nullptr) is the child's whole environment; without it
// the process environment is passed as it stands, under environment_mutex.
// `pass_fd`, when not -1, reaches the child as kPassedDescriptor, the one
// exception to the rule above.
ChildResult RunCapture(const char* const argv[], char* output, std::size_t output_size,
                       char* errors = nullptr, std::size_t errors_size = 0,
                       const char* const envp[] = nullptr, int pass_fd = -1);

#endif  // NETWORKPROXY_CHILDPROCESS_H_
