#include "aws/client/query_protocol.h"

#include <gtest/gtest.h>

#include "fakes/fake_transport.h"
#include "fakes/test_client.h"
#include "support/serialization.h"

namespace {

using aws::HttpResponse;
namespace protocol = aws::protocol;

using fakes::answer;

TEST(QueryBuilder, FormBodyIsEncodedAsTheSdksDo) {
  protocol::QueryBuilder query("CreateRole", "2010-05-08");
  query.add("RoleName", "a b+c/d~e_f.g-h")
      .add("Doc", "{\"k\": \"v\u00e9\"}")
      .add("Flag", true)
      .add("Off", false)
      .add("Count", 3600LL)
      .addEc2List("SubnetId", {"s-1", "s-2"})
      .addMemberList("Ids", {"x"})
      .addMemberList("Empty", {});
  aws::HttpRequest request = query.toRequest();
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.path, "/");
  ASSERT_NE(request.header("content-type"), nullptr);
  EXPECT_EQ(*request.header("content-type"), "application/x-www-form-urlencoded; charset=utf-8");
  // Python's urlencode (what botocore uses): blank -> "+", "~" kept, the rest %XX.
  EXPECT_EQ(request.body,
            "Action=CreateRole&Version=2010-05-08&RoleName=a+b%2Bc%2Fd~e_f.g-h"
            "&Doc=%7B%22k%22%3A+%22v%C3%A9%22%7D&Flag=true&Off=false&Count=3600"
            "&SubnetId.1=s-1&SubnetId.2=s-2&Ids.member.1=x&Empty=");
}

TEST(JsonRequest, CarriesTargetContentTypeAndBody) {
  aws::HttpRequest request = protocol::jsonRequest("AmazonSSM", "GetParameter", {{"Name", "/a"}});
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(*request.header("X-Amz-Target"), "AmazonSSM.GetParameter");
  EXPECT_EQ(*request.header("Content-Type"), "application/x-amz-json-1.1");
  EXPECT_EQ(nlohmann::json::parse(request.body), nlohmann::json({{"Name", "/a"}}));
  EXPECT_EQ(protocol::jsonRequest("AmazonSSM", "X", nullptr).body, "{}");
}

TEST(ErrorParsers, ReadCodeMessageStatusAndRequestId) {
  struct Case {
    std::string name;
    std::function<aws::ServiceError(const HttpResponse&)> parse;
    HttpResponse response;
    std::string code, message, request_id;
  };
  auto query = [](const HttpResponse& r) { return protocol::parseQueryError("iam", r); };
  auto json = [](const HttpResponse& r) { return protocol::parseJsonError("ssm", r); };
  const std::vector<Case> cases = {
      {"ec2 body", protocol::parseEc2Error,
       answer(400,
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Response><Errors><Error>"
              "<Code>InvalidGroup.NotFound</Code><Message>The security group 'sg-1' does not "
              "exist</Message></Error></Errors><RequestID>ec2-req</RequestID></Response>"),
       "InvalidGroup.NotFound", "The security group 'sg-1' does not exist", "ec2-req"},
      {"iam body", query,
       answer(409,
              "<ErrorResponse xmlns=\"https://iam.amazonaws.com/doc/2010-05-08/\"><Error>"
              "<Type>Sender</Type><Code>EntityAlreadyExists</Code><Message>Role with name r "
              "already exists.</Message></Error><RequestId>iam-req</RequestId></ErrorResponse>"),
       "EntityAlreadyExists", "Role with name r already exists.", "iam-req"},
      {"sts body, id only in header", query,
       answer(403,
              "<ErrorResponse><Error><Code>AccessDenied</Code><Message>no</Message></Error>"
              "</ErrorResponse>",
              {{"x-amzn-RequestId", "hdr-req"}}),
       "AccessDenied", "no", "hdr-req"},
      {"json namespaced type", json,
       answer(400, R"({"__type":"com.amazonaws.ssm#ParameterNotFound","message":"gone"})",
              {{"X-Amzn-RequestId", "ssm-req"}}),
       "ParameterNotFound", "gone", "ssm-req"},
      {"json plain type, capital Message", json,
       answer(400, R"({"__type":"AccessDeniedException","Message":"denied"})"),
       "AccessDeniedException", "denied", ""},
      {"empty body 503", query, answer(503, "", {{"x-amz-request-id", "s3-req"}}),
       "ServiceUnavailable", "", "s3-req"},
      {"html 404", protocol::parseEc2Error, answer(404, "<html><body>Not Found</body></html>"),
       "Http404", "", ""},
      {"text 502 for json", json, answer(502, "Bad Gateway"), "Http502", "", ""},
      {"json without type", json, answer(500, "{}"), "Http500", "", ""},
      {"xml error for a json service", json,
       answer(403,
              "<ErrorResponse><Error><Code>SignatureDoesNotMatch</Code><Message>sig</Message>"
              "</Error><RequestId>x-req</RequestId></ErrorResponse>"),
       "SignatureDoesNotMatch", "sig", "x-req"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    aws::ServiceError error = c.parse(c.response);
    EXPECT_EQ(error.code(), c.code);
    EXPECT_EQ(error.httpStatus(), c.response.status);
    EXPECT_EQ(error.requestId(), c.request_id);
    if (!c.message.empty()) {
      EXPECT_EQ(error.message(), c.message);
    }
    // The message always names the code, whatever the body looked like.
    EXPECT_NE(std::string(error.what()).find(c.code), std::string::npos);
  }
}

TEST(ParseXml, RefusesWhatIsNotXml) {
  EXPECT_THROW(protocol::parseXml(answer(200, "not xml"), "iam GetRole"), std::runtime_error);
  EXPECT_THROW(protocol::parseXml(answer(200, ""), "iam GetRole"), std::runtime_error);
  auto document = protocol::parseXml(answer(200, "<A><B>x</B></A>"), "t");
  EXPECT_EQ(protocol::text(document.child("A"), "B"), "x");
  EXPECT_EQ(protocol::text(document.child("A"), "C"), "");
}

TEST(ParseIsoTime, AcceptsUtcFormsAndRejectsOthers) {
  using std::chrono::system_clock;
  const auto expected = system_clock::from_time_t(1796714714);  // 2026-12-08T07:25:14Z
  EXPECT_EQ(protocol::parseIsoTime("2026-12-08T07:25:14Z"), expected);
  EXPECT_EQ(protocol::parseIsoTime("2026-12-08T07:25:14.518654Z"), expected);
  EXPECT_EQ(protocol::parseIsoTime("2026-12-08T07:25:14+00:00"), expected);
  // Beyond what the clock can hold (about 1678 to 2261): refused, not wrapped.
  for (const char* bad : {"", "yesterday", "2026-12-08", "2026-12-08T07:25:14+02:00",
                          "6262-05-01T12:00:00Z", "1066-10-14T09:00:00Z"}) {
    EXPECT_THROW(protocol::parseIsoTime(bad), std::runtime_error) << bad;
  }
}

TEST(InvokeQuery, ReturnsResultNodeAndRejectsAnswersOfAnotherAction) {
  auto transport = std::make_shared<fakes::FakeTransport>([](const aws::HttpRequest&) {
    return answer(200,
                  "<GetRoleResponse><GetRoleResult><Role><RoleName>r</RoleName></Role>"
                  "</GetRoleResult><ResponseMetadata><RequestId>q</RequestId></ResponseMetadata>"
                  "</GetRoleResponse>");
  });
  aws::ServiceClient client(fakes::clientConfig("iam", transport));
  auto ok = protocol::invokeQuery(client, protocol::QueryBuilder("GetRole", "2010-05-08"));
  EXPECT_EQ(protocol::text(ok.result.child("Role"), "RoleName"), "r");
  EXPECT_EQ(ok.request_id, "q");
  EXPECT_THROW(protocol::invokeQuery(client, protocol::QueryBuilder("DeleteRole", "2010-05-08")),
               std::runtime_error);
}

}  // namespace
