#include "aws/http/world.h"

#include "aws/http/curl_transport.h"

namespace aws {

World World::process() {
  std::shared_ptr<Environment> env = processEnvironment();
  // One transport for the whole process, so that every client shares its
  // connections.
  static const std::shared_ptr<HttpTransport> transport = makeCurlTransport(*env);
  return World{std::move(env), transport, systemClock()};
}

}  // namespace aws
