// The build's choice of server certificate checking, alone in its unit: a
// program that links the tool's library with a definition of its own (the
// tests' checking build does) keeps this one out of the link.
#include "build_config.h"
#include "https_relay.h"

const char *const tls_ca_file = ESIMCTL_CA_FILE;
