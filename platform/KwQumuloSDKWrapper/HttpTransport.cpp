#include "HttpTransport.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>

namespace Qumulo {

namespace {
const std::string kNoBody;

// libcurl's process-wide set-up, done once for all threads. A failure (no memory) is returned, not
// remembered: a later connection tries again, while no handle is made on a half-made set-up.
CURLcode InitializeCurl() {
  static std::mutex mutex;
  static bool initialized = false;
  std::lock_guard<std::mutex> lock(mutex);
  if (initialized) return CURLE_OK;
  const CURLcode result = curl_global_init(CURL_GLOBAL_DEFAULT);
  initialized = result == CURLE_OK;
  return result;
}

void WipeText(std::string& secret) {
  std::fill(secret.begin(), secret.end(), '\0');
  secret.clear();
}

// Keeps the first failure of a run of option settings.
void KeepFirst(CURLcode& first, CURLcode code) {
  if (first == CURLE_OK) first = code;
}
}  // namespace

const std::string& HttpResponse::Body() const { return body ? *body : kNoBody; }

HttpTransport::HttpTransport(const TransportOptions& options)
    : m_curl(nullptr), m_maxResponseBytes(options.maxResponseBytes) {
  m_errorBuffer[0] = '\0';
  m_setupResult = InitializeCurl();
  if (m_setupResult != CURLE_OK) return;
  m_curl = curl_easy_init();
  if (m_curl == nullptr) {
    m_setupResult = CURLE_OUT_OF_MEMORY;
    return;
  }

  KeepFirst(m_setupResult, curl_easy_setopt(m_curl, CURLOPT_NOSIGNAL, 1L));
  KeepFirst(m_setupResult, curl_easy_setopt(m_curl, CURLOPT_ERRORBUFFER, m_errorBuffer));
  KeepFirst(m_setupResult, curl_easy_setopt(m_curl, CURLOPT_WRITEFUNCTION, &HttpTransport::OnData));
  KeepFirst(m_setupResult, curl_easy_setopt(m_curl, CURLOPT_WRITEDATA, this));
  // The credentials must never travel in clear text, and never to another host by a redirect.
  KeepFirst(m_setupResult, curl_easy_setopt(m_curl, CURLOPT_PROTOCOLS_STR, "https"));
  KeepFirst(m_setupResult, curl_easy_setopt(m_curl, CURLOPT_FOLLOWLOCATION, 0L));
  KeepFirst(m_setupResult, curl_easy_setopt(m_curl, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1));
  KeepFirst(m_setupResult, curl_easy_setopt(m_curl, CURLOPT_SSLVERSION, CURL_SSLVERSION_TLSv1_2));
  // AES-128-GCM first: as strong as needed here and the cheapest to run over megabytes of pages.
  KeepFirst(m_setupResult, curl_easy_setopt(m_curl, CURLOPT_TLS13_CIPHERS,
                   "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256"));
  KeepFirst(m_setupResult, curl_easy_setopt(m_curl, CURLOPT_TCP_KEEPALIVE, 1L));
  // Difference pages run to megabytes: larger reads mean fewer trips through the TLS layer.
  KeepFirst(m_setupResult, curl_easy_setopt(m_curl, CURLOPT_BUFFERSIZE, 512L * 1024L));
  KeepFirst(m_setupResult, curl_easy_setopt(m_curl, CURLOPT_CONNECTTIMEOUT, std::max(1L, options.connectTimeoutSeconds)));
  // libcurl checks a rate held over the window: fewer bytes than asked within it means a rate below
  // bytes / seconds throughout, so a drip of a few bytes a second is cut off like silence.
  const long stallWindow = std::max(1L, options.lowSpeedTimeSeconds);
  const long stallRate = std::max(1L, (std::max(1L, options.lowSpeedBytes) + stallWindow - 1) / stallWindow);
  KeepFirst(m_setupResult, curl_easy_setopt(m_curl, CURLOPT_LOW_SPEED_LIMIT, stallRate));
  KeepFirst(m_setupResult, curl_easy_setopt(m_curl, CURLOPT_LOW_SPEED_TIME, stallWindow));
  if (options.insecure) {
    KeepFirst(m_setupResult, curl_easy_setopt(m_curl, CURLOPT_SSL_VERIFYPEER, 0L));
    KeepFirst(m_setupResult, curl_easy_setopt(m_curl, CURLOPT_SSL_VERIFYHOST, 0L));
  } else if (!options.pinnedPublicKey.empty() && options.caFile.empty()) {
    // The pinned key is the trust anchor: libcurl compares it on every handshake whatever the chain.
    KeepFirst(m_setupResult, curl_easy_setopt(m_curl, CURLOPT_SSL_VERIFYPEER, 0L));
    KeepFirst(m_setupResult, curl_easy_setopt(m_curl, CURLOPT_SSL_VERIFYHOST, 0L));
  } else {
    KeepFirst(m_setupResult, curl_easy_setopt(m_curl, CURLOPT_SSL_VERIFYPEER, 1L));
    KeepFirst(m_setupResult, curl_easy_setopt(m_curl, CURLOPT_SSL_VERIFYHOST, 2L));
    if (!options.caFile.empty()) KeepFirst(m_setupResult, curl_easy_setopt(m_curl, CURLOPT_CAINFO, options.caFile.c_str()));
  }
  if (!options.insecure && !options.pinnedPublicKey.empty())
    KeepFirst(m_setupResult, curl_easy_setopt(m_curl, CURLOPT_PINNEDPUBLICKEY, options.pinnedPublicKey.c_str()));
  // "" switches off the proxy environment variables as well.
  KeepFirst(m_setupResult, curl_easy_setopt(m_curl, CURLOPT_PROXY, options.proxy.c_str()));
}

HttpTransport::~HttpTransport() {
  if (m_curl != nullptr) curl_easy_cleanup(m_curl);
  FreeHeaders();
}

void HttpTransport::FreeHeaders() {
  // The list holds the token in its Authorization line.
  for (curl_slist* header = m_headers; header != nullptr; header = header->next) {
    std::fill(header->data, header->data + std::strlen(header->data), '\0');
  }
  curl_slist_free_all(m_headers);
  m_headers = nullptr;
  WipeText(m_headersToken);
}

void HttpTransport::WipeBody() { std::fill(m_body.begin(), m_body.end(), '\0'); }

void HttpTransport::SetHeaders(const std::string& bearerToken) {
  if (m_headersBuilt && bearerToken == m_headersToken) return;
  FreeHeaders();
  m_headers = curl_slist_append(m_headers, "Accept: application/json");
  m_headers = curl_slist_append(m_headers, "Content-Type: application/json");
  m_headers = curl_slist_append(m_headers, "Expect:");
  if (!bearerToken.empty()) {
    std::string authorization = "Authorization: Bearer " + bearerToken;
    m_headers = curl_slist_append(m_headers, authorization.c_str());
    std::fill(authorization.begin(), authorization.end(), '\0');
  }
  m_headersToken = bearerToken;
  m_headersBuilt = true;
}

size_t HttpTransport::OnData(char* data, size_t size, size_t count, void* self) noexcept {
  HttpTransport* transport = static_cast<HttpTransport*>(self);
  try {
    return transport->Append(data, size * count) ? size * count : 0;
  } catch (...) {
    transport->m_bodyRefusal = BodyRefusal::kOutOfMemory;
    return 0;
  }
}

bool HttpTransport::Append(const char* data, size_t bytes) {
  if (m_body.empty()) {
    // Headers are in by the first chunk: grow once to the announced length instead of per chunk,
    // and refuse at once what could never fit.
    curl_off_t announced = -1;
    if (curl_easy_getinfo(m_curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) == CURLE_OK && announced > 0) {
      if (static_cast<uint64_t>(announced) > m_maxResponseBytes) {
        m_bodyRefusal = BodyRefusal::kTooLarge;
        return false;
      }
      const size_t wanted = static_cast<size_t>(announced) + kReceivePadding;
      if (m_body.capacity() < wanted) m_body.reserve(wanted);
    }
  }
  if (bytes > m_maxResponseBytes - std::min(m_body.size(), m_maxResponseBytes)) {
    m_bodyRefusal = BodyRefusal::kTooLarge;
    return false;
  }
  const size_t needed = m_body.size() + bytes + kReceivePadding;
  if (m_body.capacity() < needed) m_body.reserve(std::max(needed, std::min(m_body.capacity() * 2, m_maxResponseBytes + kReceivePadding)));
  m_body.append(data, bytes);
  return true;
}

CURLcode HttpTransport::Perform(const std::string& method, const std::string& url, const std::string& body,
                                const std::string& bearerToken, long timeoutMillis, long& status) {
  status = 0;
  m_retryAfterSeconds = -1;
  m_body.clear();
  m_errorBuffer[0] = '\0';
  m_bodyRefusal = BodyRefusal::kNone;
  if (m_curl == nullptr) return m_setupResult != CURLE_OK ? m_setupResult : CURLE_FAILED_INIT;

  SetHeaders(bearerToken);
  // An option that does not take (an unsupported feature, no memory) must not leave a request
  // going out with less than was asked: TLS settings above all.
  CURLcode options = m_setupResult;
  KeepFirst(options, curl_easy_setopt(m_curl, CURLOPT_HTTPHEADER, m_headers));
  KeepFirst(options, curl_easy_setopt(m_curl, CURLOPT_URL, url.c_str()));
  KeepFirst(options, curl_easy_setopt(m_curl, CURLOPT_TIMEOUT_MS, std::max(1L, timeoutMillis)));
  // The handle keeps options between requests, so every request sets its method afresh.
  if (method == "GET") {
    KeepFirst(options, curl_easy_setopt(m_curl, CURLOPT_HTTPGET, 1L));
    KeepFirst(options, curl_easy_setopt(m_curl, CURLOPT_CUSTOMREQUEST, nullptr));
  } else if (method == "POST" || !body.empty()) {
    KeepFirst(options, curl_easy_setopt(m_curl, CURLOPT_POST, 1L));
    KeepFirst(options, curl_easy_setopt(m_curl, CURLOPT_POSTFIELDS, body.data()));
    KeepFirst(options, curl_easy_setopt(m_curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size())));
    KeepFirst(options, curl_easy_setopt(m_curl, CURLOPT_CUSTOMREQUEST, method == "POST" ? nullptr : method.c_str()));
  } else {
    KeepFirst(options, curl_easy_setopt(m_curl, CURLOPT_HTTPGET, 1L));
    KeepFirst(options, curl_easy_setopt(m_curl, CURLOPT_CUSTOMREQUEST, method.c_str()));
  }

  const CURLcode result = options != CURLE_OK ? options : curl_easy_perform(m_curl);
  // The body may be a login request: leave libcurl no pointer to it.
  curl_easy_setopt(m_curl, CURLOPT_POSTFIELDS, nullptr);
  if (result == CURLE_OK) {
    curl_easy_getinfo(m_curl, CURLINFO_RESPONSE_CODE, &status);
    curl_off_t retryAfter = 0;
    if ((status == 429 || status == 503) && curl_easy_getinfo(m_curl, CURLINFO_RETRY_AFTER, &retryAfter) == CURLE_OK &&
        retryAfter > 0) {
      m_retryAfterSeconds = static_cast<long>(std::min<curl_off_t>(retryAfter, 86400));
    }
  }
  return result;
}

}  // namespace Qumulo
