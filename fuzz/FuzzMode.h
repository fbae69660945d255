#pragma once

// Whether this run replays a corpus (the regression run, which also checks
// the slower ways: through real files, in every locale) or explores (in
// memory, the cheap way, for depth). Set by LLVMFuzzerInitialize from the
// command line: a replay is "-runs=0" or no option at all.
bool FuzzReplaying();
