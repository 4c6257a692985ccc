#include "Connection.h"

#include <algorithm>
#include <chrono>
#include <system_error>
#include <thread>

#include "ErrorCodes.h"
#include "FXErrorUtil.h"
#include "HttpTransport.h"
#include "LogWriter.h"
#include "Parser.h"
#include "WireText.h"

namespace Qumulo {

namespace {

constexpr long kMaxBackoffMillis = 10000;
constexpr long kMaxRetryAfterSeconds = 60;
const char kLoginPath[] = "/v1/session/login";

long BackoffMillis(const TransportOptions& options, int attempt) {
  long delay = std::max(0L, options.backoffMillis);
  for (int i = 1; i < attempt && delay < kMaxBackoffMillis; ++i) delay *= 2;
  return std::min(delay, kMaxBackoffMillis);
}

void Wipe(std::string& secret) {
  std::fill(secret.begin(), secret.end(), '\0');
  secret.clear();
}

}  // namespace

struct CConnection::PrefetchedRequest {
  std::string path;
  std::thread thread;
  CQiError result;
  HttpResponse response;
  bool threw = false;  // the request threw (out of memory): result and response are not to be read
};

CConnection::CConnection() : CConnection(TransportOptions::Default()) {}

CConnection::CConnection(const TransportOptions& options)
    : m_options(options), m_transport(new HttpTransport(options)) {}

CConnection::~CConnection() {
  FinishPrefetch();
  Wipe(m_password);
  Wipe(m_token);
}

std::unique_ptr<CConnection::PrefetchedRequest> CConnection::FinishPrefetch() {
  std::unique_ptr<PrefetchedRequest> done = std::move(m_prefetch);
  if (done && done->thread.joinable()) done->thread.join();
  return done;
}

void CConnection::Prefetch(const std::string& path) {
  FinishPrefetch();
  std::unique_ptr<PrefetchedRequest> request(new PrefetchedRequest());
  request->path = path;
  PrefetchedRequest* running = request.get();
  try {
    // Only this thread uses the connection until FinishPrefetch joins it.
    running->thread = std::thread([this, running]() {
      // An exception leaving a thread ends the process: the failure goes to the call that wanted
      // this answer instead.
      try {
        running->result = SendNow("GET", running->path, std::string(), true, running->response);
      } catch (...) {
        running->threw = true;
      }
    });
  } catch (const std::system_error&) {
    return;  // no thread to spare: the request is simply made when it is asked for
  }
  m_prefetch = std::move(request);
}

void CConnection::TakeBody(std::string& buffer) {
  FinishPrefetch();
  m_transport->SwapBody(buffer);
}

CQiError CConnection::Connect(const std::string& url, const std::string& userName, const std::string& password) {
  if (!m_transport->IsValid()) {
    return FXErrorUtil::ErrorWin32(QW_HERE, kErrorOutOfMemory, "cannot set up HTTP transfers for %s: %s", url.c_str(),
                                   curl_easy_strerror(m_transport->SetupResult()));
  }
  // The credentials must never travel in clear text.
  if (url.compare(0, 8, "https://") != 0) {
    return FXErrorUtil::ErrorWin32(QW_HERE, kErrorInvalidParameter,
                                   "cannot connect to %s: only https:// URLs are accepted", url.c_str());
  }
  m_url = url;
  while (!m_url.empty() && m_url.back() == '/') m_url.pop_back();
  m_userName = userName;
  Wipe(m_password);
  m_password = password;
  Wipe(m_token);
  if (m_options.insecure && FXLogEnabled(0)) {
    g_ptrLogWriter->Write(0, __PRETTY_FUNCTION__, __LINE__, 0, 0,
                          "warning: TLS certificate verification is switched off for %s; the cluster's identity is "
                          "not checked",
                          m_url.c_str());
  }
  HttpResponse response;
  CQiError result = Send("POST", kLoginPath, std::string(), true, response);
  if (result.IsError()) return result.Push(QW_HERE, "cannot log in to %s as %s", m_url.c_str(), m_userName.c_str());
  return CQiError::Success();
}

CQiError CConnection::Send(const std::string& method, const std::string& path, const std::string& body,
                           bool idempotent, HttpResponse& response) {
  std::unique_ptr<PrefetchedRequest> prefetched = FinishPrefetch();
  if (prefetched && method == "GET" && path == prefetched->path) {
    if (prefetched->threw) {
      return FXErrorUtil::ErrorWin32(QW_HERE, kErrorOutOfMemory, "GET %s: the request made ahead ran out of memory",
                                     path.c_str());
    }
    response = prefetched->response;
    response.body = &m_transport->Body();
    return prefetched->result;
  }
  return SendNow(method, path, body, idempotent, response);
}

CQiError CConnection::SendNow(const std::string& method, const std::string& path, const std::string& body,
                              bool idempotent, HttpResponse& response) {
  const bool isLogin = path == kLoginPath;
  response = HttpResponse();
  if (!m_transport->IsValid()) {
    return FXErrorUtil::ErrorWin32(QW_HERE, kErrorOutOfMemory, "%s %s: no HTTP transfer handle", method.c_str(),
                                   path.c_str());
  }
  if (m_url.empty() || (!isLogin && m_token.empty())) {
    return FXErrorUtil::ErrorWin32(QW_HERE, kErrorNotConnected, "%s %s: not connected to the cluster", method.c_str(),
                                   path.c_str());
  }

  // The login body carries the password: built here, sent, wiped.
  std::string loginBody;
  if (isLogin) {
    loginBody = "{\"username\": ";
    AppendJsonString(loginBody, m_userName);
    loginBody += ", \"password\": ";
    AppendJsonString(loginBody, m_password);
    loginBody += "}";
  }
  const std::string& requestBody = isLogin ? loginBody : body;
  const std::string url = m_url + path;
  const int maxAttempts = idempotent ? std::max(1, m_options.maxAttempts) : 1;
  bool renewedSession = false;
  CQiError failure;
  using Clock = std::chrono::steady_clock;
  const long deadlineSeconds = std::max(1L, m_options.requestTimeoutSeconds);
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(deadlineSeconds);
  auto millisLeft = [&deadline]() {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
  };

  for (int attempt = 1;;) {
    long status = 0;
    response.attempts = attempt;
    const CURLcode code =
        m_transport->Perform(method, url, requestBody, isLogin ? std::string() : m_token, millisLeft(), status);
    response.status = status;
    response.body = &m_transport->Body();

    bool retryable = false;
    if (code == CURLE_WRITE_ERROR && m_transport->LastBodyRefusal() != HttpTransport::BodyRefusal::kNone) {
      // Refused on purpose; another try would be refused the same way.
      if (m_transport->LastBodyRefusal() == HttpTransport::BodyRefusal::kTooLarge) {
        failure = FXErrorUtil::ErrorWin32(QW_HERE, kErrorInvalidData,
                                          "%s %s at %s: the answer is larger than the limit of %zu bytes; refused",
                                          method.c_str(), path.c_str(), m_url.c_str(), m_transport->MaxResponseBytes());
      } else {
        failure = FXErrorUtil::ErrorWin32(QW_HERE, kErrorOutOfMemory, "%s %s at %s: no memory for the answer",
                                          method.c_str(), path.c_str(), m_url.c_str());
      }
    } else if (code != CURLE_OK) {
      retryable = IsRetryableCurl(code);
      const char* detail = m_transport->ErrorDetail();
      failure = FXErrorUtil::ErrorWin32(QW_HERE, ErrorCodeFromCurl(code), "%s %s at %s: %s%s%s%s", method.c_str(),
                                        path.c_str(), m_url.c_str(), curl_easy_strerror(code), *detail ? " (" : "",
                                        detail, *detail ? ")" : "");
      if (code == CURLE_OPERATION_TIMEDOUT) {
        // Which bound cut it off, and so what to raise for a cluster that is slow rather than hung.
        failure = failure.Push(QW_HERE,
                               "%s %s: a request may take %ld s in all and must move %ld bytes within every %ld s "
                               "(TransportOptions requestTimeoutSeconds, lowSpeedBytes, lowSpeedTimeSeconds)",
                               method.c_str(), path.c_str(), deadlineSeconds, m_options.lowSpeedBytes,
                               m_options.lowSpeedTimeSeconds);
      }
    } else if (status >= 200 && status <= 299) {
      Wipe(loginBody);
      if (!isLogin) return CQiError::Success();
      CParser parser;
      std::string token;
      CQiError parsed = parser.ParseLoginToken(m_transport->Body(), method + " " + path, token);
      m_transport->WipeBody();
      if (parsed.IsError()) return parsed.Push(QW_HERE);
      Wipe(m_token);
      m_token.swap(token);
      return CQiError::Success();
    } else if ((status == 401 || status == 307) && !isLogin && !renewedSession) {
      // The session expired in the middle of the job: log in once more and repeat the request. The
      // cluster refused it before acting on it, so even a creation is safe to repeat. The cluster's
      // own clients read a redirect the same way; it is never followed, so the token stays here.
      renewedSession = true;
      if (FXLogEnabled(1)) {
        g_ptrLogWriter->Write(1, __PRETTY_FUNCTION__, __LINE__, 0, 0, "%s %s: %s, logging in again", method.c_str(),
                              path.c_str(), status == 401 ? "session expired" : "redirected");
      }
      HttpResponse loginResponse;
      CQiError login = SendNow("POST", kLoginPath, std::string(), true, loginResponse);
      if (login.IsError()) {
        Wipe(loginBody);
        return login.Push(QW_HERE, "%s %s: the session expired and logging in again failed", method.c_str(),
                          path.c_str());
      }
      continue;
    } else {
      retryable = IsRetryableHttpStatus(status);
      CParser parser;
      // Shown the way the cluster's own clients show it: "Error <status>: <error_class>: <description>".
      const std::string description = parser.ParseErrorDescription(m_transport->Body());
      const char* what = status == 401 && isLogin ? " (login refused)"
                         : status == 401          ? " (session refused)"
                         : status == 307 && isLogin ? " (redirected; not followed)"
                         : status == 307 ? " (redirected again after logging in again; not followed)"
                                         : "";
      failure = FXErrorUtil::ErrorWin32(QW_HERE, ErrorCodeFromHttpStatus(status), "%s %s: Error %ld%s%s%s",
                                        method.c_str(), path.c_str(), status, description.empty() ? "" : ": ",
                                        description.c_str(), what);
    }

    if (!retryable || attempt >= maxAttempts) break;
    long delay = BackoffMillis(m_options, attempt);
    // A throttling cluster says how long to wait; heeded up to a minute, and never past the deadline.
    const long retryAfter = m_transport->RetryAfterSeconds();
    if (code == CURLE_OK && retryAfter >= 0) delay = std::min(retryAfter, kMaxRetryAfterSeconds) * 1000;
    if (delay >= millisLeft()) {
      failure = failure.Push(QW_HERE, "%s %s: no time left for another try within the request's %ld s",
                             method.c_str(), path.c_str(), deadlineSeconds);
      break;
    }
    if (FXLogEnabled(1)) {
      g_ptrLogWriter->Write(1, __PRETTY_FUNCTION__, __LINE__, 0, 0, "%s; retrying in %ld ms (attempt %d of %d)",
                            failure.Messages().front().c_str(), delay, attempt + 1, maxAttempts);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    ++attempt;
  }
  Wipe(loginBody);
  if (response.attempts > 1) {
    return failure.Push(QW_HERE, "%s %s: gave up after %d attempts", method.c_str(), path.c_str(), response.attempts);
  }
  return failure;
}

}  // namespace Qumulo
