#include "support/Unprivileged.h"

#include <sys/wait.h>
#include <unistd.h>

namespace zorp::test {

int RunUnprivileged(const std::function<int()>& body) {
    pid_t pid = ::fork();
    if (pid < 0) {
        return -1;
    }
    if (pid == 0) {
        if (::geteuid() == 0) {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
                ::_exit(255);
            }
        }
        ::_exit(body() & 0xFF);
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
        return -1;
    }
    int code = WEXITSTATUS(status);
    return code == 255 ? -1 : code;
}

}  // namespace zorp::test
