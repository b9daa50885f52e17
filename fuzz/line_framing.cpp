// Arbitrary bytes arriving on the port, in arbitrary pieces, read line by
// line through the framing core (ReadLine) into the serial worker's 1024-byte
// buffer and the handshake's 32-byte one (and the 1- and 2-byte edge cases).
//
// Input: one configuration byte, then the port's bytes. In the unbounded
// mode all bytes are queued and the port then gives end of file, as an
// unplugged adapter does. In the bounded mode (the handshake's kind of read,
// with no time to wait) the bytes come in pieces whose sizes the input
// chooses, and each piece is read until the port has nothing more.
//
// Oracle: every line ReadLine reports is exactly the expected line (NUL and CR
// dropped, cut to the buffer) and terminated inside the buffer; the number
// of lines matches; nothing is written past the buffer (ASan, exact-size
// buffers).
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "LineProtocol.h"
#include "SerialWorker.h"
#include "fuzz_support.h"

namespace {

// Whether ReadLine gave a line (whole or cut).
bool GotLine(const LineRead& read) {
  return read.end == LineEnd::kLine || read.end == LineEnd::kCutLine;
}

// The lines ReadLine must produce from `bytes` when they all arrive together.
std::vector<std::string> ExpectedLines(const std::string& bytes, std::size_t size) {
  std::vector<std::string> lines;
  std::string current;
  for (char c : bytes) {
    if (c == '\0' || c == '\r') continue;
    if (c == '\n') {
      lines.push_back(current.substr(0, size - 1));
      current.clear();
    } else {
      current += c;
    }
  }
  return lines;
}

void CheckLine(const char* buffer, std::size_t size, const std::string& expected) {
  // Terminated inside the buffer, and exactly the expected text.
  const void* nul = std::memchr(buffer, '\0', size);
  FUZZ_CHECK(nul != nullptr);
  std::size_t length = static_cast<const char*>(nul) - buffer;
  FUZZ_CHECK(length == expected.size());
  FUZZ_CHECK(std::memcmp(buffer, expected.data(), length) == 0);
}

void WriteAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    FUZZ_CHECK(n > 0);
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  WorkInScratchDirectoryWithoutLog(argc, argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  // The pipe holds all of an input at once (64 KiB), so writes never block.
  if (size < 1 || size > 16384) return -1;
  const uint8_t config = data[0];
  const bool bounded = (config & 1) != 0;
  static constexpr std::size_t kSizes[] = {kSerialResponseBufferSize, 32, 1, 2};
  const std::size_t buffer_size = kSizes[(config >> 1) & 3];
  const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);

  int fds[2];
  FUZZ_CHECK(pipe2(fds, O_CLOEXEC) == 0);

  // An exact-size heap buffer, so ASan's redzones sit right past its end.
  std::vector<char> heap(buffer_size);
  char* buffer = heap.data();
  std::memset(buffer, 'Z', buffer_size);

  if (!bounded) {
    WriteAll(fds[1], bytes);
    close(fds[1]);
    std::vector<std::string> expected = ExpectedLines(bytes, buffer_size);
    std::size_t lines = 0;
    for (;;) {
      if (!GotLine(ReadLine(fds[0], buffer, buffer_size, kNoTimeout))) break;
      FUZZ_CHECK(lines < expected.size());
      CheckLine(buffer, buffer_size, expected[lines]);
      ++lines;
    }
    FUZZ_CHECK(lines == expected.size());
  } else {
    // Pieces: a size byte, then that many bytes (the rest when short). A
    // line left unfinished when a piece runs out is dropped with it.
    std::size_t at = 0;
    while (at < bytes.size()) {
      std::size_t piece = static_cast<uint8_t>(bytes[at++]);
      piece = std::min(piece, bytes.size() - at);
      const std::string chunk = bytes.substr(at, piece);
      at += piece;
      WriteAll(fds[1], chunk);
      std::vector<std::string> expected = ExpectedLines(chunk, buffer_size);
      std::size_t lines = 0;
      while (GotLine(ReadLine(fds[0], buffer, buffer_size, 0))) {
        FUZZ_CHECK(lines < expected.size());
        CheckLine(buffer, buffer_size, expected[lines]);
        ++lines;
      }
      FUZZ_CHECK(lines == expected.size());
    }
    close(fds[1]);
  }
  close(fds[0]);
  return 0;
}
