#pragma once
// Turning the --image option into an image id: by name pattern among the
// public images Amazon owns, or by the public SSM parameters under which AWS
// announces the latest Amazon Linux images.

#include <string>

#include "aws/services/ec2.h"
#include "aws/services/ssm.h"
#include "probefleet/core/options.h"

namespace probefleet {

/// The id of the first image, in the order EC2 answers, among the public,
/// Amazon-owned, not deprecated images whose name matches `args.image` (EC2's
/// wildcard name filter). Only the first answer page is looked at. When there
/// is none it logs "  **Error** Failed to find image " + `args.image` and
/// throws testlib::ExitRequest with status 1. AWS failures are let through
/// (aws::ServiceError, aws::TransportError).
std::string getAMIByName(const aws::Ec2Client& ec2_client, const Args& args);

/// The value of the first parameter, in answer order, on the first page of
/// /aws/service/ami-amazon-linux-latest whose name ends with `args.image`
/// (plain, case-sensitive text: a "*" is just a character here). When none
/// does it logs "  **Error** Failed to find image " + `args.image` and throws
/// testlib::ExitRequest with status 1. AWS failures are let through.
std::string getAMI(const aws::SsmClient& ssm_client, const Args& args);

}  // namespace probefleet
