// Compiled with one library's include folders only: the header named by
// WHORLGEN_PROBE_HEADER must not be found when the layers forbid it.
#include WHORLGEN_PROBE_HEADER
