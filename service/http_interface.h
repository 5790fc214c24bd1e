// The one HTTPS client through which the tool talks to its service. Every request is a POST
// with HTTP/1.1 over TLS; the caller gets the response body back as narrow text, and a failed
// request only leaves its code in m_lastError and returns the text gathered so far (normally
// empty).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "service/transfer_error.h"

enum HttpInterfaceError : std::int32_t {
  OpenFailed = 1,       // the session or the request handle could not be made
  ConnectFailed = 2,    // the connection object refused the host or the port
  SendFailed = 3,       // no response headers: refused certificate, unreachable, timed out
  QueryInfoFailed = 4,  // the response headers do not fit the 4096-byte header buffer
  NotFound = 5,         // the status line holds "404"
  EmptyUrl = 14,
};

// Keys in ascending byte order.
using HttpParams = std::map<std::string, std::string>;

// What one request came back with.
struct HttpAnswer {
  std::string body;     // the text received: empty when the request failed
  TransferError error;  // why it failed, or why the body was cut short; kNone otherwise
};

class HttpInterface {
 public:
  static HttpInterface& Instance();

  // A request and what went wrong with it. A failed request (but one with an empty address,
  // which fails at once, untouched) writes one line "request failed (<code>): <why>"; a body
  // cut short, "request cut short: <why>, the text so far is the answer".
  HttpAnswer Send(const std::string& url, const std::string& headers, const std::string& body);
  // The same, the body alone.
  std::string Post(const std::string& url, const std::string& headers, const std::string& body);
  std::string PostParams(const std::string& url, HttpParams params);
  std::string PostJson(const std::string& url, const std::string& body);

  static void ParseUrl(std::string url, std::string& host, std::string& page, std::uint16_t& port);
  static std::string BuildRequestUrl(const std::string& url, const HttpParams& params);

  // Read-only views for diagnostics and tests.
  std::int32_t LastError() const { return m_lastError; }
  struct OpenHandles {
    bool internet = false;
    bool connect = false;
    bool request = false;
  };
  OpenHandles Handles() const;

  HttpInterface(const HttpInterface&) = delete;
  HttpInterface& operator=(const HttpInterface&) = delete;

 private:
  HttpInterface();
  ~HttpInterface();

  // The client's three handles are curl objects, kept open after a request until the next
  // Post or exit:
  //   m_hInternet  the session: a share handle (DNS cache and TLS sessions) that every
  //                request of this session joins;
  //   m_hConnect   the connection: a URL object holding scheme "https", the host and the
  //                port, before any page is known;
  //   m_hRequest   the request: an easy handle for one POST of one page, with its header
  //                list and its copy of the connection's URL completed by the page.
  struct Session;
  struct Connection;
  struct Request;

  // The steps of Post. Each makes its handle whole or leaves it null.
  bool OpenSession();
  bool OpenConnection(const std::string& host, std::uint16_t port);
  bool OpenRequest(const std::string& page);
  // Records `error` as the last one, logs why and gives the answer of a failed request: empty.
  HttpAnswer Fail(HttpInterfaceError error, TransferError why);
  void CloseHandles();

  std::unique_ptr<Session> m_hInternet;
  std::unique_ptr<Connection> m_hConnect;
  std::unique_ptr<Request> m_hRequest;
  std::int32_t m_lastError = 0;
};
