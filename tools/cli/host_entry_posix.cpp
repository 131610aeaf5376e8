// The host's entry on POSIX: the arguments are UTF-8 bytes already.
#include "app/host.h"

int main(int argc, char** argv) { return quenvale_host::RunHost(argc, argv); }
