#include <cstdio>

#include "Kova/General_Center/Center_Relay/center_main.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::printf("usage : Kova_General_Center [Domain Port]\n");
        return -1;
    }
    return Kova::General_Center::main(argc, argv);
}
