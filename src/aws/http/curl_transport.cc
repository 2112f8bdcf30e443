#include "aws/http/curl_transport.h"

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <vector>

#include "aws/base/strings.h"

namespace aws {

namespace {

struct EasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;

struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, SlistDeleter>;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

void globalInit() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
      throw std::runtime_error("libcurl could not be initialised");
    }
  });
}

// The process's one share of TLS sessions and DNS answers: a handle that
// opens a new connection resumes a TLS session another one made. Never
// freed: handles of threads still running at exit may use it.
//
// Connections themselves are not put in the share: libcurl 7.x does not
// support a shared connection cache used by concurrent threads. They stay in
// each handle's own cache, and the handles are pooled instead (below).
class SharedCaches {
 public:
  static CURLSH* get() {
    static SharedCaches* caches = new SharedCaches();
    return caches->share_;
  }

 private:
  SharedCaches() : share_(curl_share_init()) {
    if (share_ == nullptr) throw std::runtime_error("libcurl could not create a share");
    curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, &lock);
    curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, &unlock);
    curl_share_setopt(share_, CURLSHOPT_USERDATA, this);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  }
  static std::mutex& mutexOf(void* user, curl_lock_data data) {
    auto* self = static_cast<SharedCaches*>(user);
    const auto index = static_cast<std::size_t>(data);
    return self->mutexes_[index < kLocks ? index : 0];
  }
  static void lock(CURL*, curl_lock_data data, curl_lock_access, void* user) {
    mutexOf(user, data).lock();
  }
  static void unlock(CURL*, curl_lock_data data, void* user) { mutexOf(user, data).unlock(); }

  static constexpr std::size_t kLocks = CURL_LOCK_DATA_LAST;
  CURLSH* share_;
  std::array<std::mutex, kLocks> mutexes_;
};

std::atomic<std::uint64_t> connections_opened{0};

// Handles not in use, each with the keep-alive connections of its own
// cache. A send takes the one returned last (its connection is the least
// likely to have been closed by the server) and gives it back after, so the
// process holds about as many connections as it ever had requests in
// flight, whichever threads send them. A send made from inside a callback
// of another takes a second handle like any other.
class HandlePool {
 public:
  static EasyHandle take() {
    HandlePool& pool = instance();
    {
      std::lock_guard<std::mutex> lock(pool.mutex_);
      if (!pool.idle_.empty()) {
        EasyHandle handle = std::move(pool.idle_.back());
        pool.idle_.pop_back();
        curl_easy_reset(handle.get());  // options only; connections stay
        return handle;
      }
    }
    EasyHandle handle(curl_easy_init());
    if (!handle) throw std::runtime_error("libcurl could not create a handle");
    return handle;
  }
  static void give(EasyHandle handle) {
    HandlePool& pool = instance();
    std::lock_guard<std::mutex> lock(pool.mutex_);
    pool.idle_.push_back(std::move(handle));
  }

 private:
  // Never freed either: its handles' connections close with the process.
  static HandlePool& instance() {
    static HandlePool* pool = new HandlePool();
    return *pool;
  }
  std::mutex mutex_;
  std::vector<EasyHandle> idle_;
};

// A handle of the pool for the length of one send.
class PooledHandle {
 public:
  PooledHandle() : handle_(HandlePool::take()) {
    curl_easy_setopt(handle_.get(), CURLOPT_SHARE, SharedCaches::get());
  }
  ~PooledHandle() {
    // What the handle points to lives in the send's frame; the next user
    // sets its own.
    HandlePool::give(std::move(handle_));
  }
  PooledHandle(const PooledHandle&) = delete;
  PooledHandle& operator=(const PooledHandle&) = delete;
  CURL* get() const { return handle_.get(); }

 private:
  EasyHandle handle_;
};

using SteadyClock = std::chrono::steady_clock;

// Buffer sizes: a file body is read, and a response received, in pieces of
// this size (libcurl's defaults, 64 and 16 KiB, cost a system call per piece).
constexpr long kFileUploadBuffer = 512 * 1024;
constexpr long kReceiveBuffer = 256 * 1024;

// A streamed answer body over TLS: OpenSSL reads each record's header and
// then its body with a system call each, and libcurl 7.88 polls the socket
// before every record, three system calls per 16 KiB. With read-ahead,
// OpenSSL takes whatever has arrived, up to kTlsReadBuffer, in one call.
// libcurl cannot see records read ahead (it asks SSL_pending(), which counts
// only the current one) and waits on the socket instead: harmless while more
// of the body is on its way, a wait for data that never comes at its end
// (until the read timeout). So read-ahead is on only while more than
// kReadAheadMargin of the body is still to come, more than OpenSSL can have
// read ahead, and off for the rest of it and for the connection's next answer.
constexpr long kTlsReadBuffer = 64 * 1024;
constexpr curl_off_t kReadAheadMargin = 4 * kTlsReadBuffer;

// Everything the callbacks of one transfer share.
struct Transfer {
  CURL* handle = nullptr;
  // Request body: memory, or a byte range of an open file.
  const std::string* memory = nullptr;
  File file;
  std::uint64_t file_offset = 0;
  std::uint64_t length = 0;
  std::uint64_t position = 0;
  std::optional<AwsChunkedEncoder> chunked;  // framing of a file body
  bool body_short = false;
  // Response.
  HttpResponse* response = nullptr;
  const BodySink* sink = nullptr;
  bool sink_refused = false;
  std::size_t max_memory_body = 0;
  bool body_too_large = false;
  std::exception_ptr callback_error;
  curl_off_t body_received = 0;       // of a streamed body
  std::optional<bool> reading_ahead;  // unknown until the body's first piece
  // Read timeout: idle time is measured once the connection is up.
  long read_timeout_ms = 0;
  bool connected = false;
  SteadyClock::time_point last_activity = SteadyClock::now();
  bool timed_out = false;

  void touch() { last_activity = SteadyClock::now(); }
};

std::size_t readFramed(char* buffer, std::size_t capacity, Transfer& t) {
  try {
    const std::size_t n = t.chunked->read(buffer, capacity, [&t](char* out, std::size_t want) {
      return std::fread(out, 1, want, t.file.get());
    });
    t.position += n;
    return n;
  } catch (const std::runtime_error&) {
    t.body_short = true;  // the file shrank since we measured it
    return CURL_READFUNC_ABORT;
  }
}

std::size_t readBody(char* buffer, std::size_t size, std::size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  t->touch();
  if (t->chunked) return readFramed(buffer, size * count, *t);
  const std::size_t want =
      static_cast<std::size_t>(std::min<std::uint64_t>(size * count, t->length - t->position));
  if (want == 0) return 0;
  std::size_t got = want;
  if (t->memory) {
    std::memcpy(buffer, t->memory->data() + t->position, want);
  } else {
    got = std::fread(buffer, 1, want, t->file.get());
    if (got == 0) {
      // The file shrank since we measured it: sending fewer bytes than the
      // announced length would leave the server waiting.
      t->body_short = true;
      return CURL_READFUNC_ABORT;
    }
  }
  t->position += got;
  return got;
}

int seekBody(void* user, curl_off_t offset, int origin) {
  auto* t = static_cast<Transfer*>(user);
  if (origin != SEEK_SET || offset < 0 || static_cast<std::uint64_t>(offset) > t->length) {
    return CURL_SEEKFUNC_CANTSEEK;
  }
  // A framed body can only start over: its checksum covers all before.
  if (t->chunked && offset != 0) return CURL_SEEKFUNC_CANTSEEK;
  const std::uint64_t payload_offset = t->chunked ? 0 : static_cast<std::uint64_t>(offset);
  if (t->file &&
      fseeko(t->file.get(), static_cast<off_t>(t->file_offset + payload_offset), SEEK_SET) != 0) {
    return CURL_SEEKFUNC_FAIL;
  }
  if (t->chunked) t->chunked->rewind();
  t->position = static_cast<std::uint64_t>(offset);
  return CURL_SEEKFUNC_OK;
}

std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  t->touch();
  const std::size_t bytes = size * count;
  const std::string line(data, bytes);
  if (line.rfind("HTTP/", 0) == 0) {
    // A new status line: a "100 Continue" or a proxy's answer came first.
    t->response->headers.clear();
  } else if (const auto colon = line.find(':'); colon != std::string::npos) {
    // Header lines end in CRLF; a form feed or vertical tab is part of a value.
    const std::string_view text(line);
    t->response->headers.emplace_back(trim(text.substr(0, colon), " \t\r\n"),
                                      trim(text.substr(colon + 1), " \t\r\n"));
  }
  return bytes;
}

SSL* tlsOf(CURL* handle) {
  curl_tlssessioninfo* session = nullptr;
  if (curl_easy_getinfo(handle, CURLINFO_TLS_SSL_PTR, &session) != CURLE_OK || session == nullptr ||
      session->backend != CURLSSLBACKEND_OPENSSL || session->internals == nullptr) {
    return nullptr;
  }
  return static_cast<SSL*>(session->internals);
}

// After `bytes` more of a streamed body: read-ahead for the rest of it.
void readAheadFor(Transfer& t, std::size_t bytes) {
  t.body_received += static_cast<curl_off_t>(bytes);
  curl_off_t length = -1;
  curl_easy_getinfo(t.handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
  const bool wanted = length >= 0 && length - t.body_received > kReadAheadMargin;
  if (wanted == t.reading_ahead) return;
  if (SSL* tls = tlsOf(t.handle)) SSL_set_read_ahead(tls, wanted ? 1 : 0);
  t.reading_ahead = wanted;
}

CURLcode onTlsContext(CURL*, void* context, void*) {
  SSL_CTX_set_default_read_buffer_len(static_cast<SSL_CTX*>(context), kTlsReadBuffer);
  return CURLE_OK;
}

std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  t->touch();
  const std::size_t bytes = size * count;
  long status = 0;
  curl_easy_getinfo(t->handle, CURLINFO_RESPONSE_CODE, &status);
  if (t->sink && status >= 200 && status < 300) {
    try {
      if (!(*t->sink)(data, bytes)) {
        t->sink_refused = true;
        return 0;
      }
    } catch (...) {
      // Exceptions must not unwind through libcurl.
      t->callback_error = std::current_exception();
      return 0;
    }
    readAheadFor(*t, bytes);
    return bytes;
  }
  // An answer held in memory is an API answer or an error: a server that
  // sends without end must not take the process's memory with it.
  if (t->response->body.size() + bytes > t->max_memory_body) {
    t->body_too_large = true;
    return 0;
  }
  t->response->body.append(data, bytes);
  return bytes;
}

int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* t = static_cast<Transfer*>(user);
  if (!t->connected || t->read_timeout_ms <= 0) return 0;
  const auto idle =
      std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - t->last_activity);
  if (idle.count() >= t->read_timeout_ms) {
    t->timed_out = true;
    return 1;  // aborts the transfer
  }
  return 0;
}

// Called once the connection is up, right before the request goes out
// (also on a reused connection).
int onConnected(void* user, char*, char*, int, int) {
  auto* t = static_cast<Transfer*>(user);
  t->connected = true;
  t->touch();
  return CURL_PREREQFUNC_OK;
}

bool hasLineBreak(const std::string& text) {
  return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

HeaderList buildHeaders(const HttpRequest& request) {
  HeaderList list;
  auto append = [&](const std::string& line) {
    curl_slist* extended = curl_slist_append(list.get(), line.c_str());
    if (extended == nullptr) throw std::bad_alloc();
    list.release();
    list.reset(extended);
  };
  for (const auto& [name, value] : request.headers) {
    if (name.empty() || hasLineBreak(name) || hasLineBreak(value) ||
        name.find(':') != std::string::npos) {
      throw std::invalid_argument("refusing to send a malformed HTTP header: " + name);
    }
    // "Name;" is curl's way to send a header with an empty value.
    append(value.empty() ? name + ";" : name + ": " + value);
  }
  // No "Expect: 100-continue" round trip; no headers that we did not ask for.
  if (!request.header("Expect")) append("Expect:");
  if (!request.header("Accept")) append("Accept:");
  if (!request.header("Content-Type")) append("Content-Type:");
  return list;
}

std::string urlForMessages(const HttpRequest& request) {
  return request.endpoint.url() + request.path;  // never the query: it may hold secrets
}

void openBody(const HttpRequest& request, Transfer& t) {
  t.length = request.contentLength();
  if (!request.body_file) {
    t.memory = &request.body;
    return;
  }
  const FileRange& range = *request.body_file;
  t.file.reset(std::fopen(range.path.c_str(), "rb"));
  // libcurl asks for whole buffers: they go straight to read(2), with no
  // copy through a stdio buffer.
  if (t.file) std::setvbuf(t.file.get(), nullptr, _IONBF, 0);
  struct stat info {};
  if (!t.file || fstat(fileno(t.file.get()), &info) != 0) {
    throw std::runtime_error("cannot open " + range.path + " to send it");
  }
  if (static_cast<std::uint64_t>(info.st_size) < range.offset + range.length) {
    throw std::runtime_error(range.path + " is shorter than the byte range to send (" +
                             std::to_string(range.offset + range.length) + " bytes)");
  }
  if (fseeko(t.file.get(), static_cast<off_t>(range.offset), SEEK_SET) != 0) {
    throw std::runtime_error("cannot seek in " + range.path);
  }
  t.file_offset = range.offset;
  if (request.aws_chunked) t.chunked.emplace(range.length, *request.aws_chunked);
}

void setMethod(CURL* h, const HttpRequest& request, Transfer& t) {
  const std::string& method = request.method;
  const bool has_body = t.length > 0;
  const auto size = static_cast<curl_off_t>(t.length);
  if (method == "GET" && !has_body) {
    curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
  } else if (method == "HEAD") {
    curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
  } else if (method == "POST") {
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, size);
  } else if (method == "PUT" || has_body) {
    curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(h, CURLOPT_INFILESIZE_LARGE, size);
    if (method != "PUT") curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, method.c_str());
  } else {
    curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, method.c_str());  // DELETE and others
  }
  if (method == "POST" || method == "PUT" || has_body) {
    curl_easy_setopt(h, CURLOPT_READFUNCTION, &readBody);
    curl_easy_setopt(h, CURLOPT_READDATA, &t);
    curl_easy_setopt(h, CURLOPT_SEEKFUNCTION, &seekBody);
    curl_easy_setopt(h, CURLOPT_SEEKDATA, &t);
  }
}

const std::optional<std::string>& lowerFirst(const std::optional<std::string>& lower,
                                             const std::optional<std::string>& upper) {
  return lower ? lower : upper;
}

// What every request sets: the URL, the protocol, TLS, proxies and the
// connect time limit.
void setConnection(CURL* h, const HttpRequest& request, const CurlTransport::Options& options,
                   const Timeouts& timeouts) {
  curl_easy_setopt(h, CURLOPT_URL, request.url().c_str());  // libcurl keeps a copy
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
  // The path goes out byte for byte as it was signed: "/./", "/../" and "//"
  // are legitimate parts of S3 keys.
  curl_easy_setopt(h, CURLOPT_PATH_AS_IS, 1L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(h, CURLOPT_SSL_CTX_FUNCTION, &onTlsContext);
  if (!options.ca_bundle.empty()) {
    // The bundle replaces the system's trust store, as it does for the SDKs;
    // with no CA folder beside it, libcurl also keeps the parsed bundle
    // between connections instead of reading it for each one.
    curl_easy_setopt(h, CURLOPT_CAINFO, options.ca_bundle.c_str());
    curl_easy_setopt(h, CURLOPT_CAPATH, nullptr);
  }
  const auto& proxy = request.endpoint.scheme == "https" ? options.https_proxy : options.http_proxy;
  if (proxy) curl_easy_setopt(h, CURLOPT_PROXY, proxy->c_str());
  if (options.no_proxy) curl_easy_setopt(h, CURLOPT_NOPROXY, options.no_proxy->c_str());
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS,
                   timeouts.connect_ms > 0 ? timeouts.connect_ms : options.connect_timeout_ms);
}

// The callbacks that fill the answer and watch for idle time, all on `t`,
// and the buffer sizes.
void setCallbacks(CURL* h, Transfer& t) {
  if (t.file) curl_easy_setopt(h, CURLOPT_UPLOAD_BUFFERSIZE, kFileUploadBuffer);
  curl_easy_setopt(h, CURLOPT_BUFFERSIZE, kReceiveBuffer);
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &onHeader);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, &t);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &onBody);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &t);
  curl_easy_setopt(h, CURLOPT_PREREQFUNCTION, &onConnected);
  curl_easy_setopt(h, CURLOPT_PREREQDATA, &t);
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &onProgress);
  curl_easy_setopt(h, CURLOPT_XFERINFODATA, &t);
}

// Runs the transfer with the header list and error buffer of the caller's
// frame. The handle outlives this call: it must not keep pointers to them.
CURLcode perform(CURL* h, curl_slist* headers, char* error_text) {
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error_text);
  const CURLcode code = curl_easy_perform(h);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, nullptr);
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, nullptr);
  return code;
}

// Throws what the callbacks caught, or a TransportError saying why the
// transfer got no complete answer.
void throwIfUnanswered(const HttpRequest& request, const Transfer& t, CURLcode code,
                       const char* error_text) {
  if (t.callback_error) std::rethrow_exception(t.callback_error);
  const std::string where = request.method + " " + urlForMessages(request) + ": ";
  if (t.sink_refused) throw TransportError(where + "the receiver refused the response body");
  if (t.body_too_large) {
    throw TransportError(where + "the answer is larger than " +
                         std::to_string(t.max_memory_body >> 20) + " MiB; refused");
  }
  if (t.body_short) {
    throw TransportError(where + request.body_file->path + " ended before the announced length");
  }
  if (t.timed_out) {
    throw TransportError(where + "no data for " + std::to_string(t.read_timeout_ms) +
                         " ms (read timeout)");
  }
  if (code != CURLE_OK) {
    const std::string reason = error_text[0] ? error_text : curl_easy_strerror(code);
    throw TransportError(where + reason);
  }
}

}  // namespace

CurlTransport::Options CurlTransport::Options::fromEnvironment(const Environment& env) {
  Options options;
  options.ca_bundle = env.nonEmpty("AWS_CA_BUNDLE").value_or("");
  options.http_proxy = lowerFirst(env.nonEmpty("http_proxy"), env.nonEmpty("HTTP_PROXY"));
  options.https_proxy = lowerFirst(env.nonEmpty("https_proxy"), env.nonEmpty("HTTPS_PROXY"));
  options.no_proxy = lowerFirst(env.nonEmpty("no_proxy"), env.nonEmpty("NO_PROXY"));
  return options;
}

CurlTransport::CurlTransport(Options options) : options_(std::move(options)) {
  globalInit();
}

HttpResponse CurlTransport::send(const HttpRequest& request, const BodySink* sink,
                                 const Timeouts& timeouts) {
  HttpResponse response;
  Transfer t;
  openBody(request, t);
  HeaderList headers = buildHeaders(request);
  PooledHandle handle;
  t.handle = handle.get();
  t.response = &response;
  t.sink = sink;
  t.max_memory_body = options_.max_memory_body;
  t.read_timeout_ms = timeouts.read_ms > 0 ? timeouts.read_ms : options_.read_timeout_ms;
  setConnection(t.handle, request, options_, timeouts);
  setMethod(t.handle, request, t);
  setCallbacks(t.handle, t);
  char error_text[CURL_ERROR_SIZE] = {0};
  const CURLcode code = perform(t.handle, headers.get(), error_text);
  throwIfUnanswered(request, t, code, error_text);
  long opened = 0;
  if (curl_easy_getinfo(t.handle, CURLINFO_NUM_CONNECTS, &opened) == CURLE_OK && opened > 0) {
    connections_opened += static_cast<std::uint64_t>(opened);
  }
  curl_easy_getinfo(t.handle, CURLINFO_RESPONSE_CODE, &response.status);
  if (t.chunked) response.sent_checksum = t.chunked->checksum().base64();
  return response;
}

std::uint64_t CurlTransport::connectionsOpened() {
  return connections_opened.load();
}

std::shared_ptr<HttpTransport> makeCurlTransport(const Environment& env) {
  return std::make_shared<CurlTransport>(CurlTransport::Options::fromEnvironment(env));
}

}  // namespace aws
