#include "aws/auth/process_source.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>
#include <vector>

#include "aws/base/config_error.h"
#include "aws/base/strings.h"
#include "aws/base/unique_fd.h"
#include "aws/config/config.h"

extern char** environ;

namespace aws {

namespace {

struct Pipe {
  UniqueFd read, write;
};

void openPipe(Pipe& pipe_fds) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    throw ConfigError(std::string("cannot start credential_process: ") + std::strerror(errno));
  }
  pipe_fds.read.reset(fds[0]);
  pipe_fds.write.reset(fds[1]);
}

struct SpawnActions {
  posix_spawn_file_actions_t actions;
  SpawnActions() { posix_spawn_file_actions_init(&actions); }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions); }
};

// Reads both pipes to their end without letting either fill up.
void drain(int out_fd, int err_fd, std::string& out, std::string& err) {
  pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  std::string* targets[2] = {&out, &err};
  int open_count = 2;
  char buffer[4096];
  while (open_count > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        targets[i]->append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
}

// A failing helper's complaint tells the user what to do, but the helper may
// have printed the very keys or tokens it was meant to hand over, and the
// message goes to a log that is uploaded. Secrets are long unbroken words;
// prose is not.
std::string withLongWordsHidden(const std::string& line) {
  constexpr std::size_t kLongWord = 16;
  std::string out;
  std::size_t at = 0;
  while (at < line.size()) {
    const std::size_t word = line.find_first_not_of(" \t", at);
    out.append(line, at, (word == std::string::npos ? line.size() : word) - at);
    if (word == std::string::npos) break;
    std::size_t end = line.find_first_of(" \t", word);
    if (end == std::string::npos) end = line.size();
    out += end - word >= kLongWord ? std::string("(hidden)") : line.substr(word, end - word);
    at = end;
  }
  return out;
}

// Starts `words` with its standard output and error on the pipes' write
// ends. Returns its process id.
pid_t spawn(std::vector<std::string> words, Pipe& out, Pipe& err) {
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  SpawnActions file_actions;
  posix_spawn_file_actions_adddup2(&file_actions.actions, out.write.get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&file_actions.actions, err.write.get(), STDERR_FILENO);
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, argv[0], &file_actions.actions, nullptr, argv.data(), environ);
  if (rc != 0) {
    throw ConfigError("cannot start credential_process " + inQuotes(words.front()) + ": " +
                      std::strerror(rc));
  }
  return pid;
}

int waitFor(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

// How the helper failed, with the first line of what it complained.
std::string failureReason(int status, const std::string& errors) {
  std::string reason = WIFEXITED(status)
                           ? "exited with status " + std::to_string(WEXITSTATUS(status))
                           : "was ended by signal " + std::to_string(WTERMSIG(status));
  std::string first_line =
      withLongWordsHidden(trim(errors.substr(0, errors.find('\n')), " \t\r\n"));
  if (first_line.size() > 200) first_line = first_line.substr(0, 200) + "...";
  if (!first_line.empty()) reason += ": " + first_line;
  return reason;
}

}  // namespace

std::string runCredentialProcess(const std::string& command_line) {
  auto words = shellSplit(command_line);
  if (!words) throw ConfigError("credential_process has an unclosed quote or a trailing \\");
  if (words->empty()) throw ConfigError("credential_process is empty");
  Pipe out, err;
  openPipe(out);
  openPipe(err);
  const pid_t pid = spawn(*words, out, err);
  // Our copies of the write ends must go, or the reads below never end.
  out.write.reset();
  err.write.reset();
  std::string output, errors;
  drain(out.read.get(), err.read.get(), output, errors);
  const int status = waitFor(pid);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw ConfigError("credential_process " + inQuotes(words->front()) + " " +
                      failureReason(status, errors));
  }
  return output;
}

ResolvedCredentials processCredentials(const ProcessRunner& run, const std::string& command,
                                       const std::string& profile) {
  const std::string source = "credential_process of profile " + inQuotes(profile);
  auto fetch = [run, command, source]() {
    const std::string output = run ? run(command) : runCredentialProcess(command);
    nlohmann::json doc = nlohmann::json::parse(output, nullptr, false);
    const auto version = doc.is_object() ? doc.find("Version") : doc.end();
    if (!doc.is_object() || version == doc.end() || !version->is_number_integer() ||
        version->get<long>() != 1) {
      throw ConfigError(source + " must print a JSON object with \"Version\": 1");
    }
    return parseCredentialsJson(output, "SessionToken", source);
  };
  Credentials credentials = fetch();
  // Only credentials that expire are fetched again.
  std::function<Credentials()> refresh;
  if (credentials.expiration) refresh = fetch;
  return ResolvedCredentials{credentials, refresh, source};
}

}  // namespace aws
