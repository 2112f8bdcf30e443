// S3's answers (REST-XML) through S3Client, with the fuzz input as the answer
// body: listings, multipart answers, error documents and the region redirect
// they may ask for. An unusable answer must end in ServiceError,
// TransportError (a short download) or the documented std::runtime_error.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>

#include "aws/client/error.h"
#include "aws/services/s3_download.h"
#include "aws/services/s3_listing.h"
#include "fuzz_support.h"

namespace {

// Downloads land in a private folder, removed at exit.
const std::string& downloadFolder() {
  static const std::string folder = [] {
    char pattern[] = "/tmp/fuzz_s3_xml.XXXXXX";
    const char* made = ::mkdtemp(pattern);
    if (made == nullptr) std::abort();
    std::string path = made;
    static const std::string removed = path;
    std::atexit([] {
      ::unlink((removed + "/object").c_str());
      ::rmdir(removed.c_str());
    });
    return path;
  }();
  return folder;
}

using Action = std::function<void(const aws::S3Client&)>;

const std::vector<Action>& actions() {
  static const std::vector<Action> table = {
      [](const aws::S3Client& c) {
        c.listObjectsV2({"bucket", "backups/", "", "", 1000});
      },
      [](const aws::S3Client& c) { c.getObject("bucket", "key"); },
      [](const aws::S3Client& c) { c.headObject("bucket", "key"); },
      [](const aws::S3Client& c) { c.putObject("bucket", "key", "body", "text/plain"); },
      [](const aws::S3Client& c) { c.deleteObject("bucket", "key"); },
      [](const aws::S3Client& c) { c.createMultipartUpload("bucket", "key"); },
      [](const aws::S3Client& c) {
        c.completeMultipartUpload("bucket", "key", "upload", {{1, "\"e\"", "AAAAAA=="}});
      },
      [](const aws::S3Client& c) { c.abortMultipartUpload("bucket", "key", "upload"); },
      [](const aws::S3Client& c) { c.headBucket("bucket"); },
      [](const aws::S3Client& c) {
        aws::getObjectToFile(c, "bucket", "key", downloadFolder() + "/object");
      },
      [](const aws::S3Client& c) {
        // A listing that pages through the same answer until the token repeats.
        aws::ListObjectsV2Paginator pages(c, {"bucket", "", "", "", std::nullopt});
        aws::ListObjectsV2Page page;
        for (int i = 0; i < 3 && pages.next(page); ++i) {
        }
      },
  };
  return table;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const auto transport = std::make_shared<fakes::FakeTransport>();
  const fuzz::Answer answer = fuzz::answerFrom(data, size);
  fuzz::answerWith(*transport, answer.response);
  // A fresh client per input: a redirect teaches the client a bucket's
  // region, which must not carry over to the next input.
  const aws::S3Client client(fuzz::clientConfig("s3", transport));
  try {
    actions()[answer.operation % actions().size()](client);
  } catch (const aws::ServiceError&) {
  } catch (const aws::TransportError&) {
  } catch (const std::runtime_error&) {
    // Not a listing, no UploadId, no ETag: the documented refusals.
  }
  return 0;
}
