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

struct ShellCapture {
  std::string output;       // standard output, byte for byte
  std::string errorOutput;  // standard error, byte for byte
  int status = -1;          // as in ProcessResult
  std::string failure;      // why the command could not be started or waited for; empty when it ran
};

// Like runShell, but standard input reads /dev/null and standard error is captured too. Nothing is
// printed when the command cannot be started: the reason is in failure.
ShellCapture runShellCapturingErrors(const std::string& commandLine);

// Quotes one word for the shell: 'word', with each ' written as '"'"'.
std::string shellQuote(const std::string& word);

}  // namespace platform
