#include "probefleet/core/failure_report.h"

#include <cxxabi.h>
#include <execinfo.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <typeinfo>

namespace probefleet {

namespace {

std::string demangle(const char* name) {
  int status = 0;
  std::unique_ptr<char, decltype(&std::free)> readable(
      abi::__cxa_demangle(name, nullptr, nullptr, &status), &std::free);
  return status == 0 && readable ? readable.get() : name;
}

// One frame of backtrace_symbols ("binary(mangled+0x1c)[0x...]") with its
// function name made readable.
std::string readableFrame(const std::string& frame) {
  const auto open = frame.find('(');
  const auto plus = frame.find('+', open == std::string::npos ? 0 : open);
  if (open == std::string::npos || plus == std::string::npos || plus == open + 1) return frame;
  const std::string name = frame.substr(open + 1, plus - open - 1);
  return frame.substr(0, open + 1) + demangle(name.c_str()) + frame.substr(plus);
}

}  // namespace

void reportFailure(const std::exception& failure) noexcept {
  try {
    std::string report = demangle(typeid(failure).name()) + ": " + failure.what() + "\n";
    void* frames[64];
    const int count = ::backtrace(frames, 64);
    std::unique_ptr<char*, decltype(&std::free)> symbols(::backtrace_symbols(frames, count),
                                                         &std::free);
    report += "Call trace (most recent call first):\n";
    for (int i = 1; symbols && i < count; ++i) {
      report += "  " + readableFrame(symbols.get()[i]) + "\n";
    }
    std::fputs(report.c_str(), stderr);
  } catch (...) {
    std::fputs("probefleet: a failure could not be reported\n", stderr);
  }
  std::fflush(stderr);
}

}  // namespace probefleet
