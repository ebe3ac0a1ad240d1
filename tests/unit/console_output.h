// What the console wrote while `body` ran, into a file of the test's own.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "console.h"

template <typename Body>
std::string ConsoleOutput(const Body& body) {
    const int fd = memfd_create("console", MFD_CLOEXEC);  // none: the console is gone, empty
    ConsoleBegin(fd);
    body();
    ConsoleEnd();
    std::string text(static_cast<std::size_t>(std::max<off_t>(lseek(fd, 0, SEEK_CUR), 0)), '\0');
    text.resize(
        static_cast<std::size_t>(std::max<ssize_t>(pread(fd, &text[0], text.size(), 0), 0)));
    close(fd);
    return text;
}
