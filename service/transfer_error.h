// Why a service request or the firmware download failed, as far as the tool can tell: what
// the request or the transfer returns, and what its one log line says.
#pragma once

#include <string>

struct TransferError {
  enum class Kind {
    kNone,        // nothing went wrong
    kCurl,        // curl ended the transfer: `curlCode`, `detail` curl's own text
    kHttpStatus,  // the answer's status: `httpStatus`, `detail` the status line if known
    kBound,       // a bound of the transfer limits was reached: `detail` says which
    kHeaders,     // the answer's header lines exceed the client's buffer
    kFile,        // the file could not be made, written or named: `detail` the step, `fileErrno`
    kRefused,     // the file is not the one announced (its check logged why)
    kName,        // the file name the service gave is no plain name: `detail` the name
  };

  Kind kind = Kind::kNone;
  int curlCode = 0;  // a CURLcode
  long httpStatus = 0;
  int fileErrno = 0;
  std::string detail;

  bool failed() const { return kind != Kind::kNone; }
  // One line's worth, e.g. "curl error 7: Failed to connect to localhost port 8443: Connection
  // refused", "HTTP status 404", "no byte for 30000 ms (the idle bound)".
  std::string Text() const;

  static TransferError Of(Kind kind, std::string detail = {});
  static TransferError Curl(int code, std::string text);
  static TransferError Status(long status, std::string statusLine = {});
  static TransferError Bound(std::string which);
  static TransferError File(std::string step, int error);
};
