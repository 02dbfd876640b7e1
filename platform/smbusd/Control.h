// The control line protocol of zolta-smbusd, shared by the service, zolta-smbusctl
// and kvIpmi.
//
// A client sends one command per line: words separated by blanks, a word may be
// double-quoted, backslash escapes the next character (\n is a newline). The
// service answers each line with either
//     OK <n>          followed by exactly n lines of output, or
//     ERR <message>   (one line).
#pragma once

#include <string>
#include <vector>

namespace Smbusd {

// Splits a control line into words. false on an unterminated quote.
bool splitWords(const std::string& line, std::vector<std::string>* words);
// Quotes a word for a control line when it needs it.
std::string quoteWord(const std::string& word);

// The control socket path: ZOLTA_SMBUS_CONTROL, else the SMBus socket path
// (ZOLTA_SMBUS_SOCKET, default /run/zolta/smbus.sock) followed by ".ctl".
std::string defaultControlPath();

// Runs one command on the control socket at `path`. 0: done, *out holds the output
// lines; 1: the service refused the command, *err says why; 2: the service could not
// be reached or answered nonsense (*err says so).
int runControl(const std::string& path, const std::vector<std::string>& words, std::string* out, std::string* err,
               int timeoutMs = 10000);

}  // namespace Smbusd
