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
  TransferError error;
  error.kind = kind;
  error.detail = std::move(detail);
  return error;
}

TransferError TransferError::Curl(int code, std::string text) {
  TransferError error;
  error.kind = Kind::kCurl;
  error.curlCode = code;
  error.detail = std::move(text);
  return error;
}

TransferError TransferError::Status(long status, std::string statusLine) {
  TransferError error;
  error.kind = Kind::kHttpStatus;
  error.httpStatus = status;
  error.detail = std::move(statusLine);
  return error;
}

TransferError TransferError::Bound(std::string which) {
  TransferError error;
  error.kind = Kind::kBound;
  error.detail = std::move(which);
  return error;
}

TransferError TransferError::File(std::string step, int errorNumber) {
  TransferError error;
  error.kind = Kind::kFile;
  error.fileErrno = errorNumber;
  error.detail = std::move(step);
  return error;
}
