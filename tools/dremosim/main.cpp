// dremosim: simulated Dremo instruments for testing a hub without hardware.
// See --help (SimOptions.cpp) for the options and the control commands.
#include <cstdio>
#include <string>
#include <vector>

#include "SimOptions.h"
#include "Simulator.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  SimOptions options;
  std::string error;
  switch (parseSimOptions(args, &options, &error)) {
    case ParseResult::HELP:
      fputs(simHelpText(), stdout);
      return 0;
    case ParseResult::FAILED:
      fprintf(stderr, "dremosim: %s\n", error.c_str());
      return 2;
    case ParseResult::RUN:
      break;
  }
  Simulator simulator(std::move(options));
  return simulator.run(stdout);
}
