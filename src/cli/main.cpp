#include <cstdio>

#include "cli.h"

int main(int argc, char** argv) {
    return NalvoMain(argc, argv, stdin);
}
