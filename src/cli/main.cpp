#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "cli.h"

int main(int argc, char** argv) {
    // Started with a standard descriptor closed, the first file opened would take its
    // number, and console text or an error line would land in the audio.
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd) {
            return 1;
        }
    }
    return NalvoMain(argc, argv, stdin);
}
