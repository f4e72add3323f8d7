#pragma once

// libsodium must be initialised once before any of its functions is used.
// True when it is ready; idempotent and safe from any thread.
bool sodiumReady();
