#include "support/serialization.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "support/build_paths.h"
#include "support/files.h"

namespace testing_support {

namespace {

std::string shellQuote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string formDecode(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
               hexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

nlohmann::json runOracle(const std::string& script, const nlohmann::json& input) {
  TempFile in, out, err;
  {
    std::ofstream file(in.path(), std::ios::binary);
    file << input.dump();
  }
  const std::string path = std::string(testing_support::sourceDir()) + "/tests/oracles/" + script;
  const std::string command = shellQuote(testing_support::pythonPath()) + " " + shellQuote(path) +
                              " < " + shellQuote(in.path()) + " > " + shellQuote(out.path()) +
                              " 2> " + shellQuote(err.path());
  const int status = std::system(command.c_str());
  if (status != 0) {
    throw std::runtime_error(script + " failed (status " + std::to_string(status) +
                             "): " + readFile(err.path()));
  }
  return nlohmann::json::parse(readFile(out.path()));
}

std::string toHex(const std::string& bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out += kHex[c >> 4];
    out += kHex[c & 0x0F];
  }
  return out;
}

std::string fromHex(const std::string& hex) {
  if (hex.size() % 2 != 0) throw std::invalid_argument("odd-length hex text");
  std::string out;
  out.reserve(hex.size() / 2);
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return out;
}

std::vector<OracleResult> botocoreSerialize(const std::vector<OracleRequest>& batch) {
  nlohmann::json input = nlohmann::json::array();
  for (const auto& item : batch) {
    input.push_back(
        {{"service", item.service}, {"operation", item.operation}, {"params", item.params}});
  }
  nlohmann::json output = runOracle("serialize_oracle.py", input);
  if (!output.is_array() || output.size() != batch.size()) {
    throw std::runtime_error("botocore serializer oracle answered " + output.dump());
  }
  std::vector<OracleResult> results;
  for (const auto& item : output) {
    OracleResult result;
    if (item.contains("params")) {
      for (const auto& [name, value] : item["params"].items()) {
        result.params[name] = value.get<std::string>();
      }
    } else if (item.contains("headers")) {
      for (const auto& [name, value] : item["headers"].items()) {
        result.headers[name] = value.get<std::string>();
      }
      for (const auto& [name, value] : item["query"].items()) {
        result.query[name] = value.get<std::string>();
      }
      result.body_text = item["body_text"].get<std::string>();
      result.url_path = item["url_path"].get<std::string>();
    } else {
      if (item["target"].is_string()) result.target = item["target"].get<std::string>();
      result.body = item["body"];
    }
    results.push_back(std::move(result));
  }
  return results;
}

std::map<std::string, std::string> decodeForm(const std::string& body) {
  std::map<std::string, std::string> out;
  std::size_t start = 0;
  while (start < body.size()) {
    std::size_t end = body.find('&', start);
    if (end == std::string::npos) end = body.size();
    std::string pair = body.substr(start, end - start);
    if (!pair.empty()) {
      std::size_t eq = pair.find('=');
      if (eq == std::string::npos) {
        out[formDecode(pair)] = "";
      } else {
        out[formDecode(pair.substr(0, eq))] = formDecode(pair.substr(eq + 1));
      }
    }
    start = end + 1;
  }
  return out;
}

std::map<std::string, std::string> decodeForm(const aws::HttpRequest& request) {
  return decodeForm(request.body);
}

}  // namespace testing_support
