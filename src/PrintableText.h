// PrintableText: text from outside (a controller's line, a server's reply,
// a spool someone else wrote) made safe to put in front of a person: the
// control bytes that a terminal acts on, or that would split one log line
// into two, are written as "\xNN" (two upper-case hex digits). TAB stays as
// it is; bytes from 0x80 up pass through, so UTF-8 text reads as it was sent.
//
// Only what is shown is escaped, never what is posted or stored: the event
// keeps its bytes. A pure function; any thread.
#ifndef NETWORKPROXY_PRINTABLETEXT_H_
#define NETWORKPROXY_PRINTABLETEXT_H_

#include <string>

// `text` with every byte below 0x20 other than TAB, and 0x7F, as "\xNN".
std::string PrintableText(const std::string& text);

#endif  // NETWORKPROXY_PRINTABLETEXT_H_
