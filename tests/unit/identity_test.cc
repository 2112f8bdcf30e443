// The instance role's documents and ARNs: what the policy allows, which
// buckets an existing document names, and the partition in every ARN.

#include "probefleet/resources/identity.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "aws/config/config.h"
#include "probefleet/core/sessions.h"

namespace probefleet {
namespace {

using Buckets = std::vector<std::string>;

TEST(PolicyDocument, AllowsEachBucketAndItsObjectsOnly) {
  EXPECT_EQ(s3PolicyDocument("aws-us-gov", {"b1", "b.2"}),
            R"({"Version": "2012-10-17", "Statement": [)"
            R"({"Effect": "Allow", "Action": ["s3:ListBucket"], )"
            R"("Resource": ["arn:aws-us-gov:s3:::b1", "arn:aws-us-gov:s3:::b.2"]}, )"
            R"({"Effect": "Allow", "Action": ["s3:GetObject"], )"
            R"("Resource": ["arn:aws-us-gov:s3:::b1/*", "arn:aws-us-gov:s3:::b.2/*"]}, )"
            R"({"Effect": "Allow", "Action": ["s3:PutObject"], )"
            R"("Resource": ["arn:aws-us-gov:s3:::b1/*", "arn:aws-us-gov:s3:::b.2/*"]}]})");
}

TEST(PolicyDocument, BucketsOfADocument) {
  struct Case {
    std::string document;
    Buckets expected;
  };
  const std::vector<Case> cases = {
      {s3PolicyDocument("aws", {"a", "b"}), {"a", "b"}},
      {s3PolicyDocument("aws-cn", {"only"}), {"only"}},
      // what earlier versions of the program wrote: every bucket, none named
      {R"({"Statement": [{"Action": ["s3:ListBucket"], "Resource": ["arn:aws:s3:::*"]}]})", {}},
      // a lone statement and a lone resource, objects before the bucket
      {R"({"Statement": {"Resource": "arn:aws:s3:::x/logs/*"}})", {"x"}},
      {R"({"Statement": [{"Resource": ["arn:aws:s3:::x/*", "arn:aws:s3:::x", "*",
           "arn:aws:iam::1:role/r", "arn:aws:s3:::pre*"]}]})",
       {"x"}},
      {"not json", {}},
      {R"({"Statement": 3})", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.document);
    EXPECT_EQ(bucketsOf(c.document), c.expected);
  }
}

TEST(Partitions, EveryArnTakesThePartitionOfItsRegion) {
  struct Case {
    std::string region, partition;
  };
  for (const Case& c : std::vector<Case>{{"eu-west-3", "aws"},
                                         {"cn-northwest-1", "aws-cn"},
                                         {"us-gov-east-1", "aws-us-gov"},
                                         {"us-iso-east-1", "aws-iso"}}) {
    SCOPED_TRACE(c.region);
    const std::string partition = aws::partitionOf(c.region);
    EXPECT_EQ(partition, c.partition);
    EXPECT_EQ(s3PolicyArn(partition, "123"),
              "arn:" + c.partition + ":iam::123:policy/corvanta-test-ec2-policy");
    EXPECT_EQ(workflowRoleArn("123", "wf", partition), "arn:" + c.partition + ":iam::123:role/wf");
  }
}

}  // namespace
}  // namespace probefleet
