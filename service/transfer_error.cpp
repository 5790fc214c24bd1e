#include "service/transfer_error.h"

#include <cstring>

std::string TransferError::Text() const {
  switch (kind) {
    case Kind::kNone:
      return "no error";
    case Kind::kCurl:
      return "curl error " + std::to_string(curlCode) + ": " + detail;
    case Kind::kHttpStatus:
      return "HTTP status " + std::to_string(httpStatus) +
             (detail.empty() ? "" : " (" + detail + ")");
    case Kind::kBound:
      return detail;
    case Kind::kHeaders:
      return "the response headers exceed 4096 bytes";
    case Kind::kFile:
      return detail + ": " + (fileErrno != 0 ? std::strerror(fileErrno) : "no further reason");
    case Kind::kRefused:
      return "the file is not the one announced";
    case Kind::kName:
      return "the file name \"" + detail + "\" is no plain file name";
  }
  return {};
}

TransferError TransferError::Of(Kind kind, std::string detail) {
  return {.kind = kind, .detail = std::move(detail)};
}

TransferError TransferError::Curl(int code, std::string text) {
  return {.kind = Kind::kCurl, .curlCode = code, .detail = std::move(text)};
}

TransferError TransferError::Status(long status, std::string statusLine) {
  return {.kind = Kind::kHttpStatus, .httpStatus = status, .detail = std::move(statusLine)};
}

TransferError TransferError::Bound(std::string which) {
  return Of(Kind::kBound, std::move(which));
}

TransferError TransferError::File(std::string step, int errorNumber) {
  return {.kind = Kind::kFile, .fileErrno = errorNumber, .detail = std::move(step)};
}
