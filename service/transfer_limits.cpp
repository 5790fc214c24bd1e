#include "service/transfer_limits.h"

namespace {
TransferLimits& Limits() {
  static TransferLimits limits;
  return limits;
}
}  // namespace

void SetTransferLimits(const TransferLimits& limits) {
  Limits() = limits;
}

TransferLimits CurrentTransferLimits() {
  return Limits();
}
