#include "aws/client/error.h"

namespace aws {

namespace {

// "ec2 InvalidGroup.NotFound: The security group 'sg-1' does not exist (HTTP 400,
// request id 5f1c...)"; parts that are unknown are left out.
std::string describe(const std::string& service, const std::string& code,
                     const std::string& message, long http_status, const std::string& request_id) {
  std::string text = service.empty() ? code : service + " " + code;
  if (!message.empty()) text += ": " + message;
  std::string details;
  if (http_status != 0) details = "HTTP " + std::to_string(http_status);
  if (!request_id.empty()) {
    if (!details.empty()) details += ", ";
    details += "request id " + request_id;
  }
  if (!details.empty()) text += " (" + details + ")";
  // EC2 hides the policy that refused behind an encoded text; only STS can
  // read it, for a caller allowed sts:DecodeAuthorizationMessage.
  if (message.find("Encoded authorization failure message:") != std::string::npos) {
    text +=
        "; to see which policy refused, run: aws sts decode-authorization-message "
        "--encoded-message <the encoded message above>";
  }
  return text;
}

}  // namespace

ServiceError::ServiceError(std::string service, std::string code, std::string message,
                           long http_status, std::string request_id)
    : std::runtime_error(describe(service, code, message, http_status, request_id)),
      service_(std::move(service)),
      code_(std::move(code)),
      message_(std::move(message)),
      http_status_(http_status),
      request_id_(std::move(request_id)) {}

}  // namespace aws
