#include "probefleet/guard/create_dry_runs.h"

#include <future>

#include "aws/base/interrupt.h"
#include "aws/client/error.h"

namespace probefleet {

namespace {

Finding outcome(const DryRunCreate& create) {
  const std::string subject = create.action + " " + create.resource;
  try {
    create.send();
    // A dry run always fails one way or the other; an answer without an
    // error means the flag was not honoured, and something may have changed.
    return {Finding::Level::kWarning, subject, "answered without DryRunOperation"};
  } catch (const aws::Interrupted&) {
    throw;
  } catch (const aws::ServiceError& error) {
    if (error.code() == "DryRunOperation") return {Finding::Level::kOk, subject, "allowed"};
    if (error.code() == "UnauthorizedOperation") {
      return {Finding::Level::kProblem, subject, std::string("denied: ") + error.what()};
    }
    return {Finding::Level::kWarning, subject, "its dry run answered " + failureText(error)};
  } catch (const std::exception& failure) {
    return {Finding::Level::kWarning, subject, "cannot check: " + failureText(failure)};
  }
}

}  // namespace

Findings dryRunCreates(const std::vector<DryRunCreate>& creates) {
  std::vector<std::future<Finding>> answers;
  answers.reserve(creates.size());
  for (const DryRunCreate& create : creates) {
    answers.push_back(std::async(std::launch::async, [&create] { return outcome(create); }));
  }
  Findings findings;
  for (auto& answer : answers) findings.push_back(answer.get());
  return findings;
}

}  // namespace probefleet
