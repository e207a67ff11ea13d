// The name a copy is written under before it is renamed over its target:
// ".qmr-" and eight random letters or digits, then ".tmp". Short, so that it
// fits beside a target of any length; hidden, so that it stays out of the way;
// and of a fixed form, so that a later run recognises one left by a killed run.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <string_view>
#include <thread>

namespace qmr {

inline constexpr char kTemporaryDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
inline constexpr std::string_view kTemporaryPrefix = ".qmr-";
inline constexpr std::string_view kTemporarySuffix = ".tmp";
inline constexpr size_t kTemporaryRandomLength = 8;

// A temporary name from eight draws of `next()`.
template <typename Random>
std::string temporary_name(Random& next) {
  std::string name(kTemporaryPrefix);
  for (size_t i = 0; i < kTemporaryRandomLength; ++i) name += kTemporaryDigits[next() % 36];
  name += kTemporarySuffix;
  return name;
}

// A seed of the calling thread's own for drawing temporary names: workers
// that start together must not draw the same names, or each would find the
// others' temporaries in the way of its own.
inline std::uint32_t temporary_seed(std::uint32_t process) {
  thread_local const char here = 0;
  const auto thread = std::hash<std::thread::id>()(std::this_thread::get_id());
  const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
  return process ^ static_cast<std::uint32_t>(thread) ^ static_cast<std::uint32_t>(thread >> 32) ^
         static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(&here)) ^
         static_cast<std::uint32_t>(now) ^ static_cast<std::uint32_t>(now >> 32);
}

// What one try of a temporary name came to: done (made, or failed for a
// reason of its own, which the try keeps), or the name was taken.
enum class NameTry : std::uint8_t { kDone, kTaken };

// Tries fresh temporary names with `attempt` until one is not taken, 16 at
// most; false when every one was taken. The names are drawn from the calling
// thread's own generator, seeded with `process`.
template <typename Attempt>
bool with_temporary_name(std::uint32_t process, Attempt&& attempt) {
  thread_local std::minstd_rand generator(temporary_seed(process));
  for (int i = 0; i < 16; ++i) {
    if (attempt(temporary_name(generator)) == NameTry::kDone) return true;
  }
  return false;
}

constexpr bool is_temporary_name(std::string_view name) {
  if (name.size() != kTemporaryPrefix.size() + kTemporaryRandomLength + kTemporarySuffix.size() ||
      name.substr(0, kTemporaryPrefix.size()) != kTemporaryPrefix ||
      name.substr(name.size() - kTemporarySuffix.size()) != kTemporarySuffix) {
    return false;
  }
  for (const char c : name.substr(kTemporaryPrefix.size(), kTemporaryRandomLength)) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z'))) return false;
  }
  return true;
}

}  // namespace qmr
