// Reading what a test's end of a pseudo-terminal (or any descriptor) has
// received, without blocking past a limit (Linux).
#pragma once

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>

namespace odu::testing {

// Up to `n` bytes from `fd`, as many as arrive within `limit`.
inline std::string ReadUpTo(int fd, size_t n, std::chrono::milliseconds limit = std::chrono::milliseconds(2000)) {
  std::string got;
  const auto end = std::chrono::steady_clock::now() + limit;
  while (got.size() < n && std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    ::poll(&p, 1, 10);
    char buf[256];
    const ssize_t r = ::read(fd, buf, std::min(sizeof buf, n - got.size()));
    if (r > 0) got.append(buf, static_cast<size_t>(r));
  }
  return got;
}

}  // namespace odu::testing
