// Resident memory while a long listing is consumed: the lazy listing holds one
// page at a time, so the figures stay flat from the first pages to the last.
//
// usage: list_memory BUCKET PREFIX PAGE_SIZE
// (the server must cap its pages at PAGE_SIZE keys; the endpoint, keys and
// region come from the standard AWS_* variables.)

#include <fstream>
#include <iostream>
#include <string>

#include "aws/services/s3.h"
#include "aws/session/session.h"
#include "s3/bucket_transfers.h"

namespace {

// "VmRSS" or "VmHWM" of this process, in KiB.
long statusKib(const std::string& field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: list_memory BUCKET PREFIX PAGE_SIZE\n";
    return 2;
  }
  const std::string bucket = argv[1], prefix = argv[2];
  const long page_size = std::stol(argv[3]);
  aws::S3Client client(aws::Session::fromProfile(std::nullopt).clientConfig("s3"));

  long entries = 0, key_bytes = 0;
  std::cout << "page entries key_bytes_so_far rss_kib\n";
  for (const s3lib::ListingEntry& entry : s3lib::listAllFiles(&client, bucket, prefix)) {
    ++entries;
    key_bytes += static_cast<long>(entry.key.size());
    // The last entry of a page: the next step past it fetches the next page.
    if (entries % page_size == 0) {
      std::cout << entries / page_size << " " << entries << " " << key_bytes << " "
                << statusKib("VmRSS") << "\n";
    }
  }
  std::cout << "total entries " << entries << ", key bytes " << key_bytes << ", peak rss "
            << statusKib("VmHWM") << " KiB\n";
  return 0;
}
