#include "fuzz/FuzzMode.h"

#include <cstring>

namespace {

bool throughFiles = false;

} // namespace

bool FuzzThroughFiles() {
    return throughFiles;
}

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    bool options = false;
    for (int i = 1; i < *argc; ++i) {
        const char* arg = (*argv)[i];
        if (std::strcmp(arg, "-runs=0") == 0) {
            throughFiles = true;
            return 0;
        }
        options = options || arg[0] == '-';
    }
    throughFiles = !options;
    return 0;
}
