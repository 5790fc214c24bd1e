#include "service/http_interface.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "service/curl_handles.h"
#include "service/transfer.h"
#include "support/log.h"

namespace {

// The client's one buffer: 4096 bytes for the raw headers, returned as
// NUL-terminated lines with one more NUL after the last; the body is read through the same
// buffer in chunks of at most this size.
constexpr std::size_t kBufferSize = 4096;

constexpr char kJsonHeaders[] =
    "Accept: application/json\r\n"
    "Content-Type:application/json;charset=UTF-8";
static_assert(sizeof kJsonHeaders - 1 == 69);

// Text up to its first NUL.
std::string_view UpToNul(const std::string& text) {
  return {text.c_str(), std::strlen(text.c_str())};
}

// The C runtime's atoi, with its saturation on overflow.
int AsciiToInt(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
    ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-'))
    negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > static_cast<long long>(INT_MAX) + 1)
      break;
  }
  if (negative)
    value = -value;
  if (value > INT_MAX)
    return INT_MAX;
  if (value < INT_MIN)
    return INT_MIN;
  return static_cast<int>(value);
}

bool HasHeader(std::string_view block, std::string_view name) {
  std::size_t start = 0;
  while (start < block.size()) {
    std::size_t end = block.find('\n', start);
    if (end == std::string_view::npos)
      end = block.size();
    std::string_view line = block.substr(start, end - start);
    if (line.size() > name.size() && line[name.size()] == ':') {
      bool same = true;
      for (std::size_t i = 0; i < name.size() && same; ++i)
        same = std::tolower(static_cast<unsigned char>(line[i])) ==
               std::tolower(static_cast<unsigned char>(name[i]));
      if (same)
        return true;
    }
    start = end + 1;
  }
  return false;
}

// The caller's header block, line by line, and none of curl's own defaults (Accept, Expect,
// a form Content-Type) that would change what the service receives.
SlistHandle HeaderList(std::string_view block) {
  curl_slist* list = nullptr;
  std::size_t start = 0;
  while (start < block.size()) {
    std::size_t end = block.find('\n', start);
    if (end == std::string_view::npos)
      end = block.size();
    std::string line(block.substr(start, end - start));
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    if (!line.empty())
      list = curl_slist_append(list, line.c_str());
    start = end + 1;
  }
  list = curl_slist_append(list, "Expect:");
  if (!HasHeader(block, "Accept"))
    list = curl_slist_append(list, "Accept:");
  if (!HasHeader(block, "Content-Type"))
    list = curl_slist_append(list, "Content-Type:");
  return SlistHandle(list);
}

// The status code of a status line ("HTTP/1.1 404 Not Found" gives 404); 0 without one.
long StatusOf(std::string_view statusLine) {
  const std::size_t space = statusLine.find(' ');
  if (space == std::string_view::npos)
    return 0;
  return AsciiToInt(statusLine.substr(space + 1, 3));
}

// What one request gathers through the curl callbacks.
struct Exchange {
  TransferWatch* watch = nullptr;
  std::size_t room = 0;  // body bytes still taken before the answer is cut off
  std::string statusLine;
  std::size_t rawHeaderSize = 0;
  bool headersDone = false;
  bool headerOverflow = false;
  bool notFound = false;
  bool overCap = false;  // the answer went on beyond its cap
  std::string chunk;     // the current body chunk, up to kBufferSize bytes
  std::string response;
  TransferError ended;  // what curl_easy_perform ended in, unless it ended well

  void FlushChunk() {
    response.append(chunk.data(), strnlen(chunk.data(), chunk.size()));
    chunk.clear();
  }
};

size_t OnHeaderLine(char* data, size_t size, size_t count, void* user) {
  auto& exchange = *static_cast<Exchange*>(user);
  const std::size_t length = size * count;
  exchange.watch->HeaderBytes(length);
  if (exchange.headersDone)
    return length;  // trailers of a chunked body
  std::string_view line(data, length);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
    line.remove_suffix(1);

  if (line.starts_with("HTTP/")) {
    // A new response: the interim ones (100 Continue) are not what the caller sees.
    exchange.statusLine = line;
    exchange.rawHeaderSize = 1;
  }
  if (line.empty()) {
    const std::size_t space = exchange.statusLine.find(' ');
    const bool interim = space != std::string::npos && space + 1 < exchange.statusLine.size() &&
                         exchange.statusLine[space + 1] == '1';
    if (interim)
      return length;
    exchange.headersDone = true;
    if (exchange.statusLine.find("404") != std::string::npos) {
      exchange.notFound = true;
      return 0;  // the body of a 404 is never read
    }
    return length;
  }
  exchange.rawHeaderSize += line.size() + 1;
  if (exchange.rawHeaderSize > kBufferSize) {
    exchange.headerOverflow = true;
    return 0;
  }
  return length;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto& exchange = *static_cast<Exchange*>(user);
  std::string_view rest(data, size * count);
  // Beyond the cap the transfer ends, and the text so far is the answer.
  const bool over = rest.size() > exchange.room;
  exchange.overCap = exchange.overCap || over;
  rest = rest.substr(0, exchange.room);
  exchange.room -= rest.size();
  while (!rest.empty()) {
    const std::size_t take = std::min(kBufferSize - exchange.chunk.size(), rest.size());
    exchange.chunk.append(rest.substr(0, take));
    rest.remove_prefix(take);
    if (exchange.chunk.size() == kBufferSize)
      exchange.FlushChunk();
  }
  return over ? 0 : size * count;
}

}  // namespace

// The three handles.
struct HttpInterface::Session {
  ShareHandle share;
};

struct HttpInterface::Connection {
  UrlHandle url;
};

struct HttpInterface::Request {
  SlistHandle headers;
  UrlHandle target;  // the connection's address completed by the page
  EasyHandle easy;   // last, so that it goes first

  // Sends the POST within the session and gathers the response.
  Exchange Send(CURLSH* session, const std::string& headerBlock, const std::string& body);
};

HttpInterface& HttpInterface::Instance() {
  static HttpInterface instance;
  return instance;
}

HttpInterface::HttpInterface() {
  EnsureCurlInitialised();
}

HttpInterface::~HttpInterface() {
  CloseHandles();
}

void HttpInterface::CloseHandles() {
  m_hRequest.reset();
  m_hConnect.reset();
  m_hInternet.reset();
}

HttpInterface::OpenHandles HttpInterface::Handles() const {
  return {m_hInternet != nullptr, m_hConnect != nullptr, m_hRequest != nullptr};
}

void HttpInterface::ParseUrl(std::string url, std::string& host, std::string& page,
                             std::uint16_t& port) {
  port = 443;
  std::string s = std::move(url);
  const std::size_t scheme = s.find("https://");
  if (scheme != std::string::npos)
    s.erase(0, scheme + 8);
  const std::size_t slash = s.find('/');
  host = slash == std::string::npos ? s : s.substr(0, slash);
  const std::size_t colon = host.find(':');
  if (colon != std::string::npos) {
    port = static_cast<std::uint16_t>(
        static_cast<unsigned>(AsciiToInt(std::string_view(host).substr(colon + 1))));
    host.resize(colon);
  }
  if (slash == std::string::npos)
    return;
  page = s.substr(slash);
}

std::string HttpInterface::BuildRequestUrl(const std::string& url, const HttpParams& params) {
  std::string query;
  for (const auto& [key, value] : params)
    query += key + "=" + value + "&";
  if (query.empty())
    return url;
  query.pop_back();
  return url + "?" + query;
}

std::string HttpInterface::PostParams(const std::string& url, HttpParams params) {
  return Post(BuildRequestUrl(url, params), std::string(), std::string());
}

std::string HttpInterface::PostJson(const std::string& url, const std::string& body) {
  return Post(url, kJsonHeaders, body);
}

std::string HttpInterface::Post(const std::string& url, const std::string& headers,
                                const std::string& body) {
  return Send(url, headers, body).body;
}

HttpAnswer HttpInterface::Send(const std::string& url, const std::string& headers,
                               const std::string& body) {
  if (url.empty()) {
    m_lastError = EmptyUrl;
    return {};
  }
  CloseHandles();
  if (!OpenSession())
    return Fail(OpenFailed, TransferError::Curl(CURLE_FAILED_INIT, "no curl share handle"));

  std::uint16_t port = 443;
  std::string host;
  std::string page;
  LogLine("port=", port);
  ParseUrl(url, host, page, port);
  LogLine("port after parse=", port);
  std::printf("lpUrl:%s,\nstrHostName:%s,\nstrPageName:%s,\nport:%d\n", url.c_str(), host.c_str(),
              page.c_str(), static_cast<int>(port));
  std::fflush(stdout);

  if (!OpenConnection(host, port))
    return Fail(ConnectFailed, TransferError::Curl(CURLE_URL_MALFORMAT, "no address for host \"" +
                                                                            host + "\" and port " +
                                                                            std::to_string(port)));
  if (!OpenRequest(page))
    return Fail(OpenFailed,
                TransferError::Curl(CURLE_URL_MALFORMAT, "no request for page \"" + page + "\""));
  Exchange exchange = m_hRequest->Send(m_hInternet->share.get(), headers, body);
  if (exchange.headerOverflow)
    return Fail(QueryInfoFailed, TransferError::Of(TransferError::Kind::kHeaders));
  if (!exchange.headersDone)
    return Fail(SendFailed, std::move(exchange.ended));
  if (exchange.notFound)
    return Fail(NotFound,
                TransferError::Status(StatusOf(exchange.statusLine), exchange.statusLine));
  // Whatever ended the body (its end, a broken connection, a bound), the text so far counts.
  exchange.FlushChunk();
  if (exchange.ended.failed())
    LogLine("request cut short: ", exchange.ended.Text(), ", the text so far is the answer");
  return {std::move(exchange.response), std::move(exchange.ended)};
}

HttpAnswer HttpInterface::Fail(HttpInterfaceError error, TransferError why) {
  m_lastError = error;
  LogLine("request failed (", static_cast<int>(error), "): ", why.Text());
  return {std::string(), std::move(why)};
}

bool HttpInterface::OpenSession() {
  ShareHandle share(curl_share_init());
  if (!share)
    return false;
  curl_share_setopt(share.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  curl_share_setopt(share.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  m_hInternet = std::make_unique<Session>(Session{std::move(share)});
  return true;
}

bool HttpInterface::OpenConnection(const std::string& host, std::uint16_t port) {
  UrlHandle url(curl_url());
  if (!url || curl_url_set(url.get(), CURLUPART_SCHEME, "https", 0) != CURLUE_OK ||
      curl_url_set(url.get(), CURLUPART_HOST, host.c_str(), 0) != CURLUE_OK ||
      curl_url_set(url.get(), CURLUPART_PORT, std::to_string(port).c_str(), 0) != CURLUE_OK)
    return false;
  m_hConnect = std::make_unique<Connection>(Connection{std::move(url)});
  return true;
}

bool HttpInterface::OpenRequest(const std::string& page) {
  auto request = std::make_unique<Request>();
  request->easy.reset(curl_easy_init());
  request->target.reset(curl_url_dup(m_hConnect->url.get()));
  if (!request->easy || !request->target)
    return false;
  // The page is the object name of the request: its path and, after the first "?", its query.
  CURLU* target = request->target.get();
  const std::size_t question = page.find('?');
  const std::string path = page.substr(0, question);
  if (curl_url_set(target, CURLUPART_PATH, path.empty() ? "/" : path.c_str(), 0) != CURLUE_OK)
    return false;
  if (question != std::string::npos &&
      curl_url_set(target, CURLUPART_QUERY, page.c_str() + question + 1, 0) != CURLUE_OK)
    return false;
  m_hRequest = std::move(request);
  return true;
}

Exchange HttpInterface::Request::Send(CURLSH* session, const std::string& headerBlock,
                                      const std::string& body) {
  headers = HeaderList(UpToNul(headerBlock));
  const std::string_view content = UpToNul(body);
  CURL* e = easy.get();
  curl_easy_setopt(e, CURLOPT_SHARE, session);
  curl_easy_setopt(e, CURLOPT_CURLU, target.get());
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "https");
  curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(e, CURLOPT_POST, 1L);
  curl_easy_setopt(e, CURLOPT_POSTFIELDS, content.data());
  curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(content.size()));
  curl_easy_setopt(e, CURLOPT_USERAGENT, "Http-connect");
  curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers.get());

  TransferWatch watch(TransferWatch::Kind::Request, CurrentTransferLimits());
  Exchange exchange;
  exchange.watch = &watch;
  exchange.room = watch.limits().answerCap;
  curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &OnHeaderLine);
  curl_easy_setopt(e, CURLOPT_HEADERDATA, &exchange);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &OnBody);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, &exchange);
  ApplyTransferSettings(e, watch);
  char errorText[CURL_ERROR_SIZE] = {};
  curl_easy_setopt(e, CURLOPT_ERRORBUFFER, errorText);
  const CURLcode result = curl_easy_perform(e);
  // The callbacks point at this call's state: the handle lives on, they must not.
  curl_easy_setopt(e, CURLOPT_HEADERDATA, nullptr);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, nullptr);
  curl_easy_setopt(e, CURLOPT_XFERINFODATA, nullptr);
  curl_easy_setopt(e, CURLOPT_ERRORBUFFER, nullptr);
  exchange.watch = nullptr;
  if (exchange.overCap)
    exchange.ended = TransferError::Bound("more than " + std::to_string(watch.limits().answerCap) +
                                          " bytes (the answer bound)");
  else if (result != CURLE_OK)
    exchange.ended = TransferErrorOf(e, result, watch, errorText);
  return exchange;
}
