// Signatures made by another program, so that the vendor's private key can stay where that
// program keeps it (a hardware token, a signing service). Part of zav-mkimage, not of the
// update library.
#pragma once

#include <string>

#include "hiddfu/signature.h"

namespace hiddfu {

// Runs `command` through /bin/sh for each signature. It gets the bytes to sign on its standard
// input, which is a file (tools that want to know the input's size find it), and answers the
// 64-byte Ed25519 signature on its standard output; exit status 0 means it signed. Its
// standard error passes through.
Signer ExternalSigner(std::string command);

}  // namespace hiddfu
