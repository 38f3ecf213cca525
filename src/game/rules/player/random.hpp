// The per-thread random generator of the default player: seeded from the operating
// system's entropy source on first use in a thread, and again in a forked child.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nonagame {

// Fills out[0..len) from the operating system's entropy source (getrandom, then
// /dev/urandom); false when neither gives the bytes.
bool os_entropy(unsigned char* out, std::size_t len);

// A uniform integer in [0, bound), bound >= 1, without modulo bias.
std::uint32_t uniform_index(std::uint32_t bound);

}  // namespace nonagame
