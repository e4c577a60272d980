// norvale convert | undo | history: the conversion run without a window,
// for scripts, nightly jobs and servers without a display.
#pragma once

namespace CommandLine {

// Exit statuses a script can test.
enum Status {
  kConverted = 0,    // every record converted (or nothing to do)
  kSomeLeft = 1,     // some records refused or not convertible; the others converted
  kNotDone = 2,      // the run could not start, or ended early
  kUsage = 64,       // bad usage
  kInterrupted = 130 // SIGINT or SIGTERM
};

// Whether the arguments are a command (a first argument that is no option).
bool IsCommand(int argc, char** argv);
// Runs the command; returns the exit status.
int Main(int argc, char** argv);

}  // namespace CommandLine
