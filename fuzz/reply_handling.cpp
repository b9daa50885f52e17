// Arbitrary reply lines through ActOnReplyLine: the JSON parse,
// the member reading and the three command builders, with the port a pipe.
//
// Input: the reply text (cut at its first NUL, as the reply line is a C
// string).
//
// Oracle: ActOnReplyLine never throws; what reaches the port is whole commands
// only, each at most its buffer's size; and for a reply that is a plain JSON
// object whose members are short strings, the port gets exactly
// "s:<count><cards>\r", "c:<colour>\r", "f:<sequence>\r".
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include <json/json.h>

#include "LineProtocol.h"
#include "ReportExchange.h"
#include "SerialLink.h"
#include "fuzz_support.h"

namespace {

int g_port[2] = {-1, -1};

std::string DrainPort() {
  std::string out;
  char chunk[4096];
  for (;;) {
    ssize_t n = read(g_port[0], chunk, sizeof chunk);
    if (n <= 0) break;
    out.append(chunk, static_cast<std::size_t>(n));
  }
  return out;
}

// The member as the controller should get it, or false when the reply is
// outside the simple case that the exact check covers.
bool SimpleMember(const Json::Value& reply, const char* name, std::size_t room,
                  std::string* text) {
  const Json::Value& value = reply[name];
  if (value.isNull()) {
    text->clear();
    return true;
  }
  if (!value.isString()) return false;
  *text = value.asString();
  return text->size() <= room && text->find_first_of(std::string("\r\0", 2)) == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  WorkInScratchDirectoryWithoutLog(argc, argv);
  sequence_pause_seconds = 0;
  if (pipe2(g_port, O_CLOEXEC | O_NONBLOCK) != 0) {
    std::perror("pipe");
    std::abort();
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string reply(reinterpret_cast<const char*>(data),
                          strnlen(reinterpret_cast<const char*>(data), size));
  // The link takes its own copy of the pipe's write end and closes it.
  SerialLink link(dup(g_port[1]));
  try {
    ActOnReplyLine(link, reply.c_str());
  } catch (...) {
    FUZZ_CHECK(!"ActOnReplyLine threw");
  }
  const std::string sent = DrainPort();

  // Whole commands only: the port text ends in CR, and no command is
  // longer than the buffer it was built in.
  FUZZ_CHECK(sent.size() <= (kTagsCommandSize - 1) +
                                2 * (kShortCommandSize - 1));
  if (!sent.empty()) FUZZ_CHECK(sent.back() == '\r');

  Json::CharReaderBuilder builder;
  Json::CharReaderBuilder::strictMode(&builder.settings_);
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value parsed;
  std::string errors;
  if (!reader->parse(reply.data(), reply.data() + reply.size(), &parsed, &errors) ||
      !parsed.isObject()) {
    return 0;
  }
  std::string cards, colour, sequence;
  if (!SimpleMember(parsed, "cards", 200, &cards) ||
      !SimpleMember(parsed, "colour", 20, &colour) ||
      !SimpleMember(parsed, "sequence", 20, &sequence)) {
    return 0;
  }
  std::size_t count = 1;
  for (char c : cards) count += c == ',';
  const std::string expected = "s:" + std::to_string(count) + cards + "\r" +
                               "c:" + colour + "\r" + "f:" + sequence + "\r";
  if (sent != expected) {
    std::fprintf(stderr, "sent %zu bytes, expected %zu\n", sent.size(), expected.size());
  }
  FUZZ_CHECK(sent == expected);
  return 0;
}
