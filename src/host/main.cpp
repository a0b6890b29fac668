// The host's entry point. The browser's arguments (origin, manifest path, extension ID) and the
// environment are not used.
#include "host/library.hpp"

int main() { return npc::run_host(); }
