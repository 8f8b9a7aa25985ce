#pragma once
// For the few functions every lookup and scan runs through.  Left to itself,
// GCC keeps them out of line in the extension, and an optional location
// returned through a call is stored in narrow pieces and read back whole,
// which stalls store forwarding on every probe.
#define BRINDLE_INLINE [[gnu::always_inline]] inline

// For entry points whose whole call tree should compile as one body.  The
// sanitizer builds skip it: instrumented, those bodies take minutes and
// gigabytes to compile, and nobody times those builds.
#if defined(__SANITIZE_ADDRESS__)
#define BRINDLE_FLATTEN
#else
#define BRINDLE_FLATTEN [[gnu::flatten]]
#endif
