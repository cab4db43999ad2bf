// NKeys, the Ed25519 keys a NATS user may sign in with. NATS needs the user's public key along with
// the signatures its seed makes, and an NKey seed file holds the seed alone.
#pragma once

#include <string>

namespace velmora {

// The public key ("U..." followed by 55 more characters) of a user's NKey seed ("SU..."); empty
// when `seed` is not the seed of a user.
std::string UserPublicKeyOfSeed(const std::string& seed);

}  // namespace velmora
