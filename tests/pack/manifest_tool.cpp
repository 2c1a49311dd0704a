// The checksum-list writer as a command: manifest_tool PACKAGE GAME_EXE OUT.
#include "pack/manifest.h"

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: manifest_tool PACKAGE GAME_EXE OUT\n");
        return 2;
    }
    std::string message;
    if (!WriteChecksumList(argv[1], argv[2], argv[3], message)) {
        std::fprintf(stderr, "%s\n", message.c_str());
        return 1;
    }
    return 0;
}
