// The device's long-lived X25519 static key pair.
#pragma once

#include <cstdint>

#include "native/secure/velsecure_context.h"
#include "native/secure/velsecure_status.h"

// Generates a key pair from the context's random callback. On failure both outputs
// are wiped (a failed callback gives random_failed). Operation 3.
uint32_t velsecure_identity_generate(VelSecureContext_s* context, uint8_t private_key[32],
                                     uint8_t public_key[32], StatusRecord* status);

// Derives the public key of a stored private key; the output is wiped on failure.
// Operation 3.
uint32_t velsecure_identity_public_from_private(VelSecureContext_s* context,
                                                const uint8_t private_key[32],
                                                uint8_t public_key[32], StatusRecord* status);
