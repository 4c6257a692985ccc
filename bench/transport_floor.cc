#include "transport_floor.h"

#include <curl/curl.h>

#include <chrono>
#include <memory>

#include "Parser.h"
#include "WireText.h"
#include "support/peak_memory.h"

namespace bench {

namespace {

struct Received {
  uint64_t bytes = 0;
  std::string* keep = nullptr;  // the login answer is kept; pages are not
};

size_t OnData(char* data, size_t size, size_t count, void* user) {
  Received* received = static_cast<Received*>(user);
  received->bytes += size * count;
  if (received->keep != nullptr) received->keep->append(data, size * count);
  return size * count;
}

}  // namespace

TransportFloor FetchAndDiscard(const std::string& url, const std::string& caFile, const std::string& user,
                               const std::string& password, const std::vector<std::string>& targets) {
  TransportFloor floor;
  std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
  if (!curl) {
    floor.error = "libcurl cannot make a handle";
    return floor;
  }
  CURL* handle = curl.get();
  Received received;
  // As the wrapper's transport sets them, so that the floor differs from it only in what is done
  // with the bytes.
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &OnData);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &received);
  curl_easy_setopt(handle, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
  curl_easy_setopt(handle, CURLOPT_SSLVERSION, CURL_SSLVERSION_TLSv1_2);
  curl_easy_setopt(handle, CURLOPT_TLS13_CIPHERS,
                   "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256");
  curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, 512L * 1024L);
  curl_easy_setopt(handle, CURLOPT_CAINFO, caFile.c_str());
  curl_easy_setopt(handle, CURLOPT_PROXY, "");

  auto perform = [&](const std::string& target, const char* what) {
    curl_easy_setopt(handle, CURLOPT_URL, (url + target).c_str());
    long status = 0;
    const CURLcode code = curl_easy_perform(handle);
    if (code == CURLE_OK) curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    if (code != CURLE_OK || status != 200) {
      floor.error = std::string(what) + " failed: " + (code != CURLE_OK ? curl_easy_strerror(code)
                                                                        : "status " + std::to_string(status));
      return false;
    }
    return true;
  };

  std::string answer;
  std::string login = "{\"username\": ";
  Qumulo::AppendJsonString(login, user);
  login += ", \"password\": ";
  Qumulo::AppendJsonString(login, password);
  login += "}";
  curl_slist* loginHeaders = curl_slist_append(nullptr, "Content-Type: application/json");
  curl_easy_setopt(handle, CURLOPT_HTTPHEADER, loginHeaders);
  curl_easy_setopt(handle, CURLOPT_POSTFIELDS, login.c_str());
  received.keep = &answer;
  const bool loggedIn = perform("/v1/session/login", "login");
  curl_easy_setopt(handle, CURLOPT_POSTFIELDS, nullptr);
  curl_slist_free_all(loginHeaders);
  std::string token;
  if (!loggedIn) return floor;
  if (Qumulo::CParser().ParseLoginToken(answer, "login", token).IsError()) {
    floor.error = "the login answer holds no token";
    return floor;
  }
  received.keep = nullptr;
  received.bytes = 0;

  curl_slist* headers = curl_slist_append(nullptr, ("Authorization: Bearer " + token).c_str());
  curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
  const double cpuStart = CpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  bool ok = true;
  for (const std::string& target : targets) {
    if (!(ok = perform(target, "a page request"))) break;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpuSeconds = CpuSeconds() - cpuStart;
  curl_easy_setopt(handle, CURLOPT_HTTPHEADER, nullptr);
  curl_slist_free_all(headers);
  if (!ok) return floor;
  floor.seconds = seconds;
  floor.cpuSeconds = cpuSeconds;
  floor.bytes = received.bytes;
  return floor;
}

}  // namespace bench
