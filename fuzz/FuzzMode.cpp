#include "fuzz/FuzzMode.h"

#include <cstring>

namespace {

bool replaying = false;

} // namespace

bool FuzzReplaying() {
    return replaying;
}

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    bool options = false;
    for (int i = 1; i < *argc; ++i) {
        const char* arg = (*argv)[i];
        if (std::strcmp(arg, "-runs=0") == 0) {
            replaying = true;
            return 0;
        }
        options = options || arg[0] == '-';
    }
    replaying = !options;
    return 0;
}
