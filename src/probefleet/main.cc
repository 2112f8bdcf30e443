// probefleet: places test EC2 instances in the test subnets of a VPC, or
// removes them (--revert). See --help.

#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "probefleet/driver.h"

int main(int argc, char** argv) {
  try {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    return probefleet::runProgram(arguments, std::cout, std::cerr, aws::SessionDeps::process());
  } catch (const std::exception& failure) {
    std::cerr << "probefleet: " << failure.what() << "\n";
  } catch (...) {
    std::cerr << "probefleet: unknown failure\n";
  }
  return 1;
}
