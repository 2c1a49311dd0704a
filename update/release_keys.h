#pragma once

// The studio's public keys that may sign the checksum list, as PEM texts, ending in a null pointer. Defined by a
// source the build generates from the keys it is configured with (none: the table holds only the null pointer), in
// a library of its own, so that one build can link the same updater with other keys.
extern const char* const RELEASE_KEY_PEMS[];
