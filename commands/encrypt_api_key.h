// The enc_api_key command: a chained XOR cipher over a key given in hex.
#pragma once

#include "util/outcome.h"

// Longest key text accepted, in hexadecimal digits.
inline constexpr int kMaxApiKeyDigits = 2048;

// Handler of `enc_api_key`: prints the enciphered key as uppercase hex
// (kPrinted), or refuses empty, non-hex or over-long key text
// (kInvalidApiKey); kAllocationFailed when its buffers cannot be had.
Outcome vdEncryptApiKey(const char* keyText);

// Enciphers `count` bytes: each output byte is the previous output byte
// (0x5C before the first) XOR the input byte XOR the key byte at i mod 16.
void vdEncryptDataByte(const unsigned char* input, unsigned char* output, int count);
