#pragma once
// Failures of AWS requests. A ServiceError is an answer from the service that
// says no; a TransportError (http.h) is the absence of an answer.

#include <stdexcept>
#include <string>

#include "aws/base/config_error.h"
#include "aws/http/http.h"

namespace aws {

class ServiceError : public std::runtime_error {
 public:
  ServiceError(std::string service, std::string code, std::string message, long http_status,
               std::string request_id);
  const std::string& service() const { return service_; }
  /// The service's error code, e.g. "InvalidGroup.NotFound", "NoSuchEntity".
  const std::string& code() const { return code_; }
  const std::string& message() const { return message_; }
  long httpStatus() const { return http_status_; }
  const std::string& requestId() const { return request_id_; }

 private:
  std::string service_, code_, message_;
  long http_status_;
  std::string request_id_;
};

}  // namespace aws
