// The command line: helmwatch [OPTIONS] [input device]
#pragma once

#include <cstdint>

#include "guard/guard.h"

extern const char kUsageText[];

// Writes the usage text to standard error and ends the process with status 1,
// for -h as for every command-line error.
[[noreturn]] void PrintUsage();

// What the command line asks for.
enum CommandLineResult : int32_t {
  CommandLineRun = 0,      // the options are in the record, the device path found
  CommandLineUsage = 1,    // -h or an error: the usage text, status 1
  CommandLineVersion = 2,  // --version
};

// Parses the options into config and points *device_path at the key device
// path, the first argument after them. Parsing stops at the first argument
// that is no option, so options after the device path are not seen. An
// error's own line (an unknown alarm type, gpio without -o) is printed here,
// the usage text is not. Starts getopt afresh, so it may be called again.
CommandLineResult ParseOptions(int argc, char* argv[], GuardConfig* config, const char** device_path);

// ParseOptions into guard_config, returning the key device path; -h and any
// error end the process through PrintUsage, --version with status 0.
const char* ParseCommandLine(int argc, char* argv[]);
