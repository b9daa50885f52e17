// PtyPair: a pseudo-terminal pair standing in for the controller's serial
// line in unit tests. The code under test uses the slave side (as its port
// descriptor); the test plays the controller on the master side.
#ifndef NETWORKPROXY_TESTS_PTY_PAIR_H_
#define NETWORKPROXY_TESTS_PTY_PAIR_H_

#include <string>

class PtyPair {
 public:
  // Opens both sides and puts the slave into the port's working mode (raw,
  // 9600 8N1, VMIN 1, VTIME 0), as the daemon leaves its port after set-up.
  // Aborts the test binary when no pty can be had.
  PtyPair();
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  int master() const { return master_; }
  int slave() const { return slave_; }
  const std::string& slave_path() const { return slave_path_; }

  // Writes all of `bytes` to the master side (what the controller sends).
  void Send(const std::string& bytes);

  // Reads what the slave side has written, until `count` bytes arrived or
  // `timeout_ms` passed; returns what arrived.
  std::string Receive(std::size_t count, int timeout_ms);

  // Reads whatever arrives within `timeout_ms` (use for "nothing was sent").
  std::string ReceiveFor(int timeout_ms);

  // Closes the master side: reads on the slave then end without data.
  void CloseMaster();

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slave_path_;
};

#endif  // NETWORKPROXY_TESTS_PTY_PAIR_H_
