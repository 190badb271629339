#pragma once

#include <functional>

namespace zorp::test {

// Runs `body` in a child process that has dropped root (uid and gid "nobody") when the tests
// run as root, so that file permissions are enforced as they are for a user. The body's return
// value is the result; -1 when the child could not run. Threads the test started must have
// been ended first: the fork waits (up to 10 s) until the calling thread is the only one.
int RunUnprivileged(const std::function<int()>& body);

}  // namespace zorp::test
