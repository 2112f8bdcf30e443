#include "support/sandbox.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

#include "aws/auth/credentials.h"
#include "fakes/test_client.h"
#include "support/build_paths.h"
#include "support/files.h"

extern char** environ;

namespace testing_support {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

[[noreturn]] void throwErrno(const std::string& what, int error) {
  throw std::system_error(error, std::generic_category(), what);
}

// Closes a file descriptor it owns.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&& other) noexcept {
    reset(other.release());
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// posix_spawn's attribute and file-action objects, destroyed on scope exit.
struct SpawnActions {
  posix_spawn_file_actions_t actions;
  SpawnActions() {
    if (int rc = posix_spawn_file_actions_init(&actions); rc != 0)
      throwErrno("posix_spawn_file_actions_init", rc);
  }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  void check(int rc, const char* what) {
    if (rc != 0) throwErrno(what, rc);
  }
};

// The inherited environment with overrides applied, as "NAME=value" texts.
std::vector<std::string> buildEnvironment(const std::map<std::string, std::string>& overrides) {
  std::map<std::string, std::string> merged;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    std::string_view text(*entry);
    auto eq = text.find('=');
    if (eq == std::string_view::npos) continue;
    merged.emplace(std::string(text.substr(0, eq)), std::string(text.substr(eq + 1)));
  }
  for (const auto& [name, value] : overrides) {
    if (value == kUnsetEnv) {
      merged.erase(name);
    } else {
      merged[name] = value;
    }
  }
  std::vector<std::string> result;
  result.reserve(merged.size());
  for (const auto& [name, value] : merged) result.push_back(name + "=" + value);
  return result;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> result;
  result.reserve(texts.size() + 1);
  for (auto& text : texts) result.push_back(text.data());
  result.push_back(nullptr);
  return result;
}

// Spawns argv with the given stdout/stderr targets (file descriptors the
// child gets as 1 and 2) and environment; stdin is /dev/null.
pid_t spawn(std::vector<std::string> argv, std::vector<std::string> env, int out_fd, int err_fd,
            const std::vector<int>& close_in_child, bool search_path) {
  if (argv.empty())
    throw std::system_error(EINVAL, std::generic_category(), "runProcess: empty argv");
  SpawnActions spawn_actions;
  auto* actions = &spawn_actions.actions;
  spawn_actions.check(posix_spawn_file_actions_addopen(actions, 0, "/dev/null", O_RDONLY, 0),
                      "posix_spawn_file_actions_addopen");
  spawn_actions.check(posix_spawn_file_actions_adddup2(actions, out_fd, 1),
                      "posix_spawn_file_actions_adddup2");
  spawn_actions.check(posix_spawn_file_actions_adddup2(actions, err_fd, 2),
                      "posix_spawn_file_actions_adddup2");
  for (int fd : close_in_child) {
    spawn_actions.check(posix_spawn_file_actions_addclose(actions, fd),
                        "posix_spawn_file_actions_addclose");
  }
  auto argv_ptrs = pointers(argv);
  auto env_ptrs = pointers(env);
  pid_t pid = -1;
  int rc =
      search_path
          ? posix_spawnp(&pid, argv_ptrs[0], actions, nullptr, argv_ptrs.data(), env_ptrs.data())
          : posix_spawn(&pid, argv_ptrs[0], actions, nullptr, argv_ptrs.data(), env_ptrs.data());
  if (rc != 0) throwErrno("cannot start " + argv[0], rc);
  return pid;
}

std::pair<Fd, Fd> makePipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throwErrno("pipe2", errno);
  return {Fd(fds[0]), Fd(fds[1])};
}

int waitStatus(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throwErrno("waitpid", errno);
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

std::string trim(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
    text.pop_back();
  return text;
}

// libcurl ------------------------------------------------------------------

void initCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct CurlDeleter {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

size_t appendBody(char* data, size_t size, size_t count, void* target) {
  static_cast<std::string*>(target)->append(data, size * count);
  return size * count;
}

}  // namespace

// runProcess -----------------------------------------------------------------

RunResult runIn(const std::filesystem::path& folder, const std::string& binary,
                const std::vector<std::string>& arguments,
                const std::map<std::string, std::string>& env_overrides,
                const std::function<void(pid_t)>& meanwhile) {
  // The shell changes folder and then replaces itself with the program.
  std::vector<std::string> argv = {"/bin/sh", "-c", "cd \"$0\" && exec \"$@\"", folder.string(),
                                   binary};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  RunResult result;
  result.status = runProcess(argv, env_overrides, &result.out, &result.err, meanwhile);
  return result;
}

int runProcess(const std::vector<std::string>& argv,
               const std::map<std::string, std::string>& env_overrides, std::string* out,
               std::string* err, const std::function<void(pid_t)>& meanwhile) {
  auto [out_read, out_write] = makePipe();
  auto [err_read, err_write] = makePipe();
  pid_t pid = spawn(argv, buildEnvironment(env_overrides), out_write.get(), err_write.get(),
                    {out_read.get(), err_read.get()}, /*search_path=*/true);
  out_write.reset();
  err_write.reset();
  std::thread beside;
  if (meanwhile) beside = std::thread(meanwhile, pid);
  struct Joiner {
    std::thread& thread;
    ~Joiner() {
      if (thread.joinable()) thread.join();
    }
  } joiner{beside};

  // Drain both pipes together, so that a child filling one of them never
  // blocks while we wait on the other.
  std::string out_text, err_text;
  std::vector<std::pair<Fd*, std::string*>> open = {{&out_read, &out_text}, {&err_read, &err_text}};
  char buffer[65536];
  while (!open.empty()) {
    std::vector<pollfd> fds;
    for (auto& [fd, text] : open) fds.push_back({fd->get(), POLLIN, 0});
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      int error = errno;
      ::kill(pid, SIGKILL);
      waitStatus(pid);
      throwErrno("poll", error);
    }
    for (std::size_t i = fds.size(); i-- > 0;) {
      if (fds[i].revents == 0) continue;
      ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        open[i].second->append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        open[i].first->reset();
        open.erase(open.begin() + static_cast<std::ptrdiff_t>(i));
      }
    }
  }
  int status = waitStatus(pid);
  if (out != nullptr) *out = std::move(out_text);
  if (err != nullptr) *err = std::move(err_text);
  return status;
}

// Sandbox --------------------------------------------------------------------

Sandbox::Sandbox(bool auth) : Sandbox(auth, "") {}

Sandbox::Sandbox(bool auth, const std::string& world) {
  initCurlOnce();
  std::string pattern = (fs::temp_directory_path() / "probefleet-sandbox-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throwErrno("mkdtemp " + pattern, errno);
  dir_ = pattern;
  fs::create_directories(fs::path(dir_) / "aws");
  std::ofstream(fs::path(dir_) / "aws" / "credentials").close();
  std::ofstream(fs::path(dir_) / "aws" / "config").close();
  try {
    start(auth, world);
  } catch (...) {
    stop();
    throw;
  }
}

Sandbox::~Sandbox() {
  stop();
}

Sandbox& Sandbox::shared(bool auth) {
  // Function-local statics: started on first use, thread-safe, destroyed
  // (and so stopped) at exit.
  if (auth) {
    static Sandbox with_auth(true);
    return with_auth;
  }
  static Sandbox without_auth(false);
  return without_auth;
}

void Sandbox::start(bool auth, const std::string& world) {
  const fs::path dir(dir_);
  const fs::path port_file = dir / "port";
  const fs::path log_file = dir / "sandbox.log";
  std::vector<std::string> argv = {
      testing_support::pythonPath(),
      (fs::path(testing_support::sourceDir()) / "tests" / "sandbox" / "sandbox.py").string(),
      "--port-file",
      port_file.string(),
      "--world-out",
      (dir / "world.json").string()};
  if (auth) argv.push_back("--auth");
  if (!world.empty()) {
    argv.push_back("--world");
    argv.push_back((fs::path(testing_support::sourceDir()) / "tests" / "sandbox" / world).string());
  }

  Fd log(::open(log_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (log.get() < 0) throwErrno("cannot open " + log_file.string(), errno);
  // The sandbox's own process sees none of the developer's AWS settings
  // (moto makes boto3 sessions of its own).
  auto env = isolatedAwsEnv();
  env["PYTHONUNBUFFERED"] = "1";
  pid_ = spawn(argv, buildEnvironment(env), log.get(), log.get(), {}, /*search_path=*/true);
  log.reset();

  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (true) {
    int status = 0;
    pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      pid_ = -1;
      throw std::runtime_error("the sandbox exited before it was ready (status " +
                               std::to_string(status) + "); its log ends:\n" + logTail());
    }
    if (fs::exists(port_file)) {
      endpoint_ = trim(readFile(port_file));
      if (!endpoint_.empty()) return;
    }
    if (Clock::now() > deadline) {
      throw std::runtime_error("the sandbox was not ready within 30 s; its log ends:\n" +
                               logTail());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

void Sandbox::stop() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (Clock::now() > deadline) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    pid_ = -1;
  }
  if (!dir_.empty() && std::getenv("PROBEFLEET_KEEP_SANDBOX") == nullptr) {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
}

std::string Sandbox::logTail(std::size_t lines) const {
  std::ifstream in(fs::path(dir_) / "sandbox.log");
  std::deque<std::string> tail;
  for (std::string line; std::getline(in, line);) {
    tail.push_back(std::move(line));
    if (tail.size() > lines) tail.pop_front();
  }
  std::string text;
  for (const auto& line : tail) text += line + "\n";
  return text;
}

nlohmann::json Sandbox::control(const std::string& method, const std::string& path,
                                const nlohmann::json& body) {
  const std::string answer = controlText(method, path, body);
  return answer.empty() ? nlohmann::json() : nlohmann::json::parse(answer);
}

std::string Sandbox::controlText(const std::string& method, const std::string& path,
                                 const nlohmann::json& body) {
  std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
  if (!curl) throw std::runtime_error("curl_easy_init failed");
  const std::string url = endpoint_ + "/_sandbox/" + path;
  const std::string payload = body.is_null() ? std::string() : body.dump();
  std::string answer;
  std::unique_ptr<curl_slist, SlistDeleter> headers(
      curl_slist_append(nullptr, "Content-Type: application/json"));
  CURL* handle = curl.get();
  curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, method.c_str());
  curl_easy_setopt(handle, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(handle, CURLOPT_TIMEOUT, 60L);
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, appendBody);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &answer);
  if (!payload.empty()) {
    curl_easy_setopt(handle, CURLOPT_POSTFIELDS, payload.c_str());
    curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE, static_cast<long>(payload.size()));
  }
  if (CURLcode rc = curl_easy_perform(handle); rc != CURLE_OK) {
    throw std::runtime_error(method + " " + url + " failed: " + curl_easy_strerror(rc));
  }
  long status = 0;
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
  if (status >= 400) {
    throw std::runtime_error(method + " " + url + " answered " + std::to_string(status) + ": " +
                             answer);
  }
  return answer;
}

nlohmann::ordered_json Sandbox::world() {
  return nlohmann::ordered_json::parse(controlText("GET", "world"));
}

nlohmann::json Sandbox::journal(const std::string& service, const std::string& action) {
  std::string path = "journal";
  std::string query;
  if (!service.empty()) query += "service=" + service;
  if (!action.empty()) query += (query.empty() ? "" : "&") + std::string("action=") + action;
  if (!query.empty()) path += "?" + query;
  return control("GET", path);
}

nlohmann::json Sandbox::changes(const std::string& service, const std::string& action) {
  nlohmann::json out = nlohmann::json::array();
  for (const auto& entry : journal(service, action)) {
    if (entry.value("params", nlohmann::json::object()).value("DryRun", "") != "true")
      out.push_back(entry);
  }
  return out;
}

nlohmann::json Sandbox::boto3(const std::string& code) {
  std::string out, err;
  const int status = runProcess(
      {testing_support::pythonPath(), "-c", "import json, boto3\n" + code}, awsEnv(), &out, &err);
  if (status != 0) throw std::runtime_error("boto3 failed: " + err);
  return nlohmann::json::parse(out);
}

void Sandbox::clearJournal() {
  control("DELETE", "journal");
}

void Sandbox::setFaults(const nlohmann::json& faults) {
  control("POST", "faults", faults);
}

void Sandbox::clearFaults() {
  control("DELETE", "faults");
}

void Sandbox::imds(const nlohmann::json& settings) {
  control("POST", "imds", settings);
}

void Sandbox::container(const nlohmann::json& settings) {
  control("POST", "container", settings);
}

void Sandbox::echo(const std::string& ip) {
  control("POST", "echo", {{"ip", ip}});
}

nlohmann::ordered_json Sandbox::reset() {
  return nlohmann::ordered_json::parse(controlText("POST", "reset", nlohmann::json::object()));
}

void Sandbox::s3MaxKeys(int max_keys) {
  control("POST", "s3",
          {{"max_keys", max_keys >= 1 ? nlohmann::json(max_keys) : nlohmann::json(nullptr)}});
}

std::map<std::string, std::string> Sandbox::awsEnv() {
  const auto ids = world();
  auto env = isolatedAwsEnv();
  env["AWS_ENDPOINT_URL"] = endpoint_;
  env["AWS_EC2_METADATA_SERVICE_ENDPOINT"] = endpoint_ + "/";
  env["AWS_ACCESS_KEY_ID"] = ids.at("user").at("access_key_id").get<std::string>();
  env["AWS_SECRET_ACCESS_KEY"] = ids.at("user").at("secret_access_key").get<std::string>();
  env["AWS_REGION"] = ids.at("region").get<std::string>();
  env["AWS_DEFAULT_REGION"] = ids.at("region").get<std::string>();
  env["PROBEFLEET_ECHO_URL"] = endpoint_ + "/echo";
  return env;
}

std::map<std::string, std::string> Sandbox::isolatedAwsEnv() const {
  const fs::path aws = fs::path(dir_) / "aws";
  const std::string unset(kUnsetEnv);
  std::map<std::string, std::string> env = {
      {"AWS_SHARED_CREDENTIALS_FILE", (aws / "credentials").string()},
      {"AWS_CONFIG_FILE", (aws / "config").string()},
      {"NO_PROXY", "127.0.0.1,localhost"},
      {"no_proxy", "127.0.0.1,localhost"},
  };
  // Whatever the developer's environment holds that would send a client
  // elsewhere, or make it use other credentials.
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    std::string_view text(*entry);
    auto name = text.substr(0, text.find('='));
    if (name.starts_with("AWS_")) env.emplace(std::string(name), unset);
  }
  for (const char* name :
       {"HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "http_proxy", "https_proxy", "all_proxy"}) {
    env.emplace(name, unset);
  }
  return env;
}

aws::ClientConfig Sandbox::clientConfig(const std::string& service,
                                        std::shared_ptr<aws::Clock> clock,
                                        std::shared_ptr<aws::HttpTransport> transport) {
  const nlohmann::ordered_json seeded = world();
  if (!transport) transport = aws::makeCurlTransport(*aws::processEnvironment());
  aws::ClientConfig config = fakes::clientConfig(service, std::move(transport), std::move(clock));
  config.region = seeded.at("region").get<std::string>();
  config.endpoint = aws::Endpoint::parse(endpoint());
  config.credentials = std::make_shared<aws::StaticCredentialsProvider>(aws::Credentials{
      seeded.at("user").at("access_key_id").get<std::string>(),
      seeded.at("user").at("secret_access_key").get<std::string>(), "", std::nullopt});
  return config;
}

}  // namespace testing_support
