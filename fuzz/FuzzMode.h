#pragma once

// Whether this run replays a corpus (the regression run: also through real
// files) or explores (in memory only, for depth). Set by
// LLVMFuzzerInitialize from the command line: a replay is "-runs=0" or no
// option at all.
bool FuzzThroughFiles();
