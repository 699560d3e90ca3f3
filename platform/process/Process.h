#pragma once

#include <string>

namespace platform {

struct ProcessResult {
  std::string output;  // everything the command wrote to standard output, byte for byte
  int status = -1;     // exit status; 128+signal when killed; non-zero when the shell could not be started
};

// Runs commandLine through "/bin/sh -c". Standard output is captured; standard input, standard error,
// the environment and the working directory are inherited. Blocks until the command has exited.
ProcessResult runShell(const std::string& commandLine);

// Quotes one word for the shell: 'word', with each ' written as '"'"'.
std::string shellQuote(const std::string& word);

}  // namespace platform
